#include "platform/thread.h"

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace qav::platform {

uint32_t CurrentThreadId() {
    // The id does not change for the thread's life; asking the kernel once is enough.
    thread_local const uint32_t id = static_cast<uint32_t>(gettid());
    return id;
}

void SleepMilliseconds(int milliseconds) {
    if (milliseconds <= 0) {
        YieldProcessor();
        return;
    }
    timespec wait{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

void YieldProcessor() {
    sched_yield();
}

}  // namespace qav::platform
