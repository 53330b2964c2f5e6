#include "platform/poll.h"

#include <poll.h>
#include <sys/select.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace qav::platform {

static_assert(sizeof(PollRecord) == sizeof(pollfd));
static_assert(offsetof(PollRecord, descriptor) == offsetof(pollfd, fd));
static_assert(offsetof(PollRecord, events) == offsetof(pollfd, events));
static_assert(offsetof(PollRecord, returnedEvents) == offsetof(pollfd, revents));
static_assert(kPollInput == POLLIN && kPollOutput == POLLOUT && kPollError == POLLERR &&
              kPollHangUp == POLLHUP && kPollInvalid == POLLNVAL);
static_assert(SelectSets::kSelectLimit == FD_SETSIZE);
static_assert(sizeof(fd_set) == sizeof(unsigned long) * (FD_SETSIZE / (8 * sizeof(unsigned long))));

int Poll(PollRecord* records, size_t count, int timeoutMs, int& errorCode) {
    // The record is the kernel's pollfd in all but name (checked above).
    const int result = ::poll(reinterpret_cast<pollfd*>(records), static_cast<nfds_t>(count),
                              timeoutMs < 0 ? -1 : timeoutMs);
    if (result >= 0) {
        return result;
    }
    const int code = errno;
    if (code == EINTR) {
        for (size_t i = 0; i < count; ++i) {
            records[i].returnedEvents = 0;
        }
        return 0;
    }
    errorCode = code;
    return -1;
}

void SelectSets::Clear() {
    std::memset(m_words, 0, sizeof m_words);
    m_highest = -1;
    m_skipped = 0;
}

bool SelectSets::Add(int descriptor, uint32_t sets) {
    if (descriptor < 0 || descriptor >= kSelectLimit) {
        ++m_skipped;
        return false;
    }
    const Word bit = Word{1} << (descriptor % kWordBits);
    for (int set = 0; set < 3; ++set) {
        if ((sets & (1u << set)) != 0) {
            m_words[set][descriptor / kWordBits] |= bit;
        }
    }
    if (descriptor > m_highest) {
        m_highest = descriptor;
    }
    return true;
}

bool SelectSets::Contains(int descriptor, uint32_t set) const {
    if (descriptor < 0 || descriptor >= kSelectLimit) {
        return false;
    }
    const int index = set == kRead ? 0 : set == kWrite ? 1 : set == kException ? 2 : -1;
    if (index < 0) {
        return false;
    }
    return (m_words[index][descriptor / kWordBits] >> (descriptor % kWordBits) & 1) != 0;
}

int Select(SelectSets& sets, int timeoutMs, int& errorCode) {
    // fd_set is an array of the same words in the same bit order as our sets; copying keeps
    // the kernel's type separate from ours.
    fd_set read;
    fd_set write;
    fd_set exception;
    std::memcpy(&read, sets.m_words[0], sizeof read);
    std::memcpy(&write, sets.m_words[1], sizeof write);
    std::memcpy(&exception, sets.m_words[2], sizeof exception);
    timeval timeout{timeoutMs / 1000, static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
    const int result =
        ::select(sets.m_highest + 1, &read, &write, &exception, timeoutMs < 0 ? nullptr : &timeout);
    if (result > 0) {
        std::memcpy(sets.m_words[0], &read, sizeof read);
        std::memcpy(sets.m_words[1], &write, sizeof write);
        std::memcpy(sets.m_words[2], &exception, sizeof exception);
        return result;
    }
    const int code = errno;
    // After a time-out the kernel has emptied the sets; after a failure or an interruption
    // their contents are not defined, so nothing is left to be mistaken for readiness.
    std::memset(sets.m_words, 0, sizeof sets.m_words);
    if (result == 0 || code == EINTR) {
        return 0;
    }
    errorCode = code;
    return -1;
}

}  // namespace qav::platform
