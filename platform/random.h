// Random bytes from the kernel, for values that an outsider must not be able to guess
// (the identifiers that bind an answer to its query).
#pragma once

#include <cstddef>

namespace qav::platform {

// Fills `buffer` with `length` random bytes. False when the source cannot be read; the
// buffer may then be partly filled.
bool FillRandomBytes(void* buffer, size_t length);

}  // namespace qav::platform
