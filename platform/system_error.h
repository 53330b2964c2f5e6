// Error codes of the operating system and their texts.
#pragma once

#include <string>

namespace qav::platform {

// The calling thread's last error code (errno).
int LastErrorCode();
void SetLastErrorCode(int code);

// The system's message for an error code, in UTF-8, cut at its first CR or LF.
std::string ErrorMessage(int code);

}  // namespace qav::platform
