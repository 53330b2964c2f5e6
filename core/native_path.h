// The system's paths (UTF-16, '\' or '/' as separators) in the operating system's
// form: strict UTF-8 with '/' separators.
//
// No state: any thread may call it.
#pragma once

#include <string>

#include "core/wide_text.h"

namespace qav {

// False for a path that holds a NUL or a lone surrogate: such a path names nothing the
// operating system could be asked about, and cutting or replacing the bad part could
// name a different file. The caller reports EINVAL.
bool ToNativePath(WStringView path, std::string& out);

}  // namespace qav
