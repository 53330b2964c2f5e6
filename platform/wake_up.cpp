#include "platform/wake_up.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace qav::platform {

WakeUpDescriptor::WakeUpDescriptor()
    : m_descriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_openError(m_descriptor < 0 ? errno : 0) {}

WakeUpDescriptor::~WakeUpDescriptor() {
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
}

bool WakeUpDescriptor::Signal() {
    if (m_descriptor < 0) {
        return false;
    }
    const uint64_t one = 1;
    for (;;) {
        const ssize_t written = ::write(m_descriptor, &one, sizeof one);
        if (written == sizeof one) {
            return true;
        }
        // EAGAIN: the counter is at its limit, so the descriptor is readable anyway.
        if (written < 0 && errno == EINTR) {
            continue;
        }
        return written < 0 && errno == EAGAIN;
    }
}

void WakeUpDescriptor::Drain() {
    if (m_descriptor < 0) {
        return;
    }
    uint64_t count = 0;
    // One read takes the whole counter; EAGAIN means there was nothing to take.
    while (::read(m_descriptor, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

}  // namespace qav::platform
