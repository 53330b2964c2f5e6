// The content type announced for a file served over HTTP, from a fixed table of file
// extensions; the same table says whether a file is a picture.
//
// No state: any thread may call any function.
#pragma once

#include <cstddef>
#include <string>

#include "core/wide_text.h"

namespace qav {

// The type of a file whose name ends in ".<extension>" (the extension without its dot,
// `length` bytes, any case). True with the table's type when the lower-cased extension
// is one of the table's. Otherwise false and "application/" followed by the lower-cased
// extension, or "application/octet-stream" when the extension is empty or holds a byte
// a content type may not carry (it goes into a response header as it stands).
bool MimeTypeOfExtension(const char* extension, size_t length, std::string& out);

// True when the table knows the extension as an "image/..." type.
bool IsImageExtension(const char* extension, size_t length);

// True when the path's extension (after its last '.', provided no '\' or '/' follows
// that dot) is an image extension. A path without one is not an image.
bool IsImageFile(WStringView path);

}  // namespace qav
