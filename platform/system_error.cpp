#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

namespace qav::platform {

int LastErrorCode() {
    return errno;
}

void SetLastErrorCode(int code) {
    errno = code;
}

namespace {

// strerror_r comes in two shapes; both are handled without caring which glibc gave us.
[[maybe_unused]] const char* PickMessage(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* PickMessage(const char* result, const char*) {
    return result;
}

}  // namespace

std::string ErrorMessage(int code) {
    char buffer[256] = {};
    const char* message = PickMessage(strerror_r(code, buffer, sizeof buffer), buffer);
    std::string text = message != nullptr ? message : "Unknown error " + std::to_string(code);
    const size_t cut = text.find_first_of("\r\n");
    if (cut != std::string::npos) {
        text.resize(cut);
    }
    return text;
}

}  // namespace qav::platform
