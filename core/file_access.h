// Reads a whole text file into UTF-16 after working out how it is encoded.
//
// No state: any thread may call these.
#pragma once

#include "core/file.h"
#include "core/wide_text.h"

namespace qav {

// Encodings of text files.
constexpr int kTextEncodingUtf8 = 1;  // also any 8-bit text without a mark
constexpr int kTextEncodingUtf16Le = 2;
constexpr int kTextEncodingUtf16Be = 3;

class FileAccess {
  public:
    // Looks at the first bytes of the file: a byte-order mark, or for a file without
    // one, which of its first two bytes is 0. False for a file of fewer than 2 bytes and
    // for one starting with two zero bytes. Leaves the file's position after what it
    // read.
    static bool DetectTextFileEncoding(File& file, int& encoding, int& byteOrderMarkLength);

    // The file's text without its byte-order mark. UTF-8 is decoded up to its first
    // invalid sequence; a trailing odd byte of UTF-16 is dropped. `text` is left alone
    // on failure. A file that cannot be read as one text (above 2 GiB) fails.
    static bool ReadTextFile(WStringView path, WString& text);
};

}  // namespace qav
