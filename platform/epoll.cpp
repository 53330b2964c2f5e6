#include "platform/epoll.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/poll.h"

namespace qav::platform {

static_assert(kPollInput == EPOLLIN && kPollOutput == EPOLLOUT && kPollError == EPOLLERR &&
              kPollHangUp == EPOLLHUP);

namespace {

// The kernel's events are taken in slices of this many: its record is packed on some
// machines, so it is copied into ours rather than handed out.
constexpr size_t kSlice = 128;

bool Control(int set, int operation, int descriptor, uint32_t events, uint64_t key, bool oneShot,
             int& errorCode) {
    epoll_event event{};
    event.events = (events & (EPOLLIN | EPOLLOUT)) | (oneShot ? EPOLLONESHOT : 0u);
    event.data.u64 = key;
    if (::epoll_ctl(set, operation, descriptor, &event) == 0) {
        return true;
    }
    errorCode = errno;
    return false;
}

}  // namespace

bool EpollSet::Open() {
    if (m_descriptor >= 0) {
        return true;
    }
    m_descriptor = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_descriptor < 0) {
        m_openError = errno;
        return false;
    }
    return true;
}

EpollSet::~EpollSet() {
    Close();
}

void EpollSet::Close() {
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
        m_descriptor = -1;
    }
}

bool EpollSet::Add(int descriptor, uint32_t events, uint64_t key, bool oneShot, int& errorCode) {
    return Control(m_descriptor, EPOLL_CTL_ADD, descriptor, events, key, oneShot, errorCode);
}

bool EpollSet::Modify(int descriptor, uint32_t events, uint64_t key, bool oneShot, int& errorCode) {
    return Control(m_descriptor, EPOLL_CTL_MOD, descriptor, events, key, oneShot, errorCode);
}

bool EpollSet::Remove(int descriptor, int& errorCode) {
    // A non-null event for kernels before 2.6.9, which required one.
    epoll_event unused{};
    if (::epoll_ctl(m_descriptor, EPOLL_CTL_DEL, descriptor, &unused) == 0) {
        return true;
    }
    errorCode = errno;
    return false;
}

int EpollSet::Wait(EpollEvent* events, size_t capacity, int timeoutMs, int& errorCode) {
    epoll_event ready[kSlice];
    const int wanted = static_cast<int>(std::min(capacity, kSlice));
    const int result = ::epoll_wait(m_descriptor, ready, wanted, timeoutMs < 0 ? -1 : timeoutMs);
    if (result < 0) {
        const int code = errno;
        if (code == EINTR) {
            return 0;
        }
        errorCode = code;
        return -1;
    }
    for (int i = 0; i < result; ++i) {
        events[i].events = ready[i].events & (EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP);
        events[i].key = ready[i].data.u64;
    }
    return result;
}

}  // namespace qav::platform
