#include "platform/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace qav::platform {

bool FillClosedStandardDescriptors(int& errorCode) {
    errorCode = 0;
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // Not close-on-exec: a standard descriptor is meant to be inherited. The lowest
        // free number is this one whenever the ones below it are open, which the loop's
        // order makes so; the dup2 only covers a race with another opener.
        const int opened = ::open("/dev/null", (descriptor == 0 ? O_RDONLY : O_WRONLY) | O_NOCTTY);
        if (opened < 0) {
            errorCode = errno;
            return false;
        }
        if (opened != descriptor) {
            const bool moved = ::dup2(opened, descriptor) == descriptor;
            const int moveError = errno;
            ::close(opened);
            if (!moved) {
                errorCode = moveError;
                return false;
            }
        }
    }
    return true;
}

}  // namespace qav::platform
