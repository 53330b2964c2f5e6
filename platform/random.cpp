#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace qav::platform {

bool FillRandomBytes(void* buffer, size_t length) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t filled = 0;
    while (filled < length) {
        const ssize_t got = ::getrandom(bytes + filled, length - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        filled += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace qav::platform
