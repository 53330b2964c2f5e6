#include "platform/output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/clock.h"

namespace qav::platform {

size_t WriteOutput(int descriptor, const char* data, size_t length, int timeoutMs, int wakeUp,
                   int& errorCode) {
    errorCode = 0;
    const uint64_t deadline =
        timeoutMs < 0 ? 0 : MonotonicNanoseconds() + static_cast<uint64_t>(timeoutMs) * 1000000u;
    size_t written = 0;
    while (written < length) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const uint64_t now = MonotonicNanoseconds();
            wait = now >= deadline ? 0 : static_cast<int>((deadline - now + 999999u) / 1000000u);
        }
        pollfd records[2] = {{descriptor, POLLOUT, 0}, {wakeUp, POLLIN, 0}};
        const int ready = ::poll(records, wakeUp >= 0 ? 2 : 1, wait);
        if (ready < 0 && errno != EINTR) {
            errorCode = errno;
            return written;
        }
        if (ready > 0 && (records[1].revents & POLLIN) != 0) {
            return written;
        }
        if (ready > 0 && (records[0].revents & POLLNVAL) != 0) {
            errorCode = EBADF;
            return written;
        }
        // Room, or an error or hang-up that the write itself reports.
        if (ready > 0 && records[0].revents != 0) {
            const size_t chunk = length - written < kOutputChunk ? length - written : kOutputChunk;
            const ssize_t put = ::write(descriptor, data + written, chunk);
            if (put > 0) {
                written += static_cast<size_t>(put);
                continue;
            }
            if (put < 0 && errno != EINTR && errno != EAGAIN) {
                errorCode = errno;
                return written;
            }
        }
        if (ready == 0 && wait == 0) {
            return written;  // the time ran out
        }
    }
    return written;
}

}  // namespace qav::platform
