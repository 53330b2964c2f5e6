#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/event.h"
#include "platform/futex.h"

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

void PauseProcessor() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Shared by the handle and the thread; whichever lets go last frees it. The bounded
// join waits on `endedEvent`, set when the entry routine has returned, and only then
// calls pthread_join, which by that time returns almost at once.
struct ThreadControl {
    std::atomic<int32_t> references{2};
    std::atomic<bool> ended{false};
    EventWord endedEvent;
    pthread_t thread{};
    ThreadRoutine entry = nullptr;
    void* argument = nullptr;
    int exitCode = 0;  // written by the thread before `ended`, read after it
    char name[kMaxThreadNameBytes + 1] = {};
};

namespace {

void ReleaseControl(ThreadControl* control) {
    if (control->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete control;
    }
}

void CopyThreadName(const char* name, char (&out)[kMaxThreadNameBytes + 1]) {
    if (name == nullptr) {
        return;
    }
    size_t length = strnlen(name, kMaxThreadNameBytes + 1);
    if (length > kMaxThreadNameBytes) {
        length = kMaxThreadNameBytes;
        // Back off to the start of the sequence the cut would split.
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    memcpy(out, name, length);
    out[length] = '\0';
}

void* ThreadStart(void* raw) {
    auto* control = static_cast<ThreadControl*>(raw);
    if (control->name[0] != '\0') {
        pthread_setname_np(pthread_self(), control->name);
    }
    control->exitCode = control->entry(control->argument);
    control->ended.store(true, std::memory_order_release);
    control->endedEvent.Set();
    ReleaseControl(control);
    return nullptr;
}

}  // namespace

ThreadHandle::~ThreadHandle() {
    DetachThread(*this);
}

ThreadHandle::ThreadHandle(ThreadHandle&& other) noexcept : m_control(other.m_control) {
    other.m_control = nullptr;
}

ThreadHandle& ThreadHandle::operator=(ThreadHandle&& other) noexcept {
    if (this != &other) {
        DetachThread(*this);
        m_control = other.m_control;
        other.m_control = nullptr;
    }
    return *this;
}

bool ThreadHandle::IsCurrentThread() const {
    return m_control != nullptr && pthread_equal(pthread_self(), m_control->thread) != 0;
}

bool ThreadHandle::HasEnded() const {
    return m_control != nullptr && m_control->ended.load(std::memory_order_acquire);
}

bool StartThread(ThreadHandle& handle, const char* name, ThreadRoutine entry, void* argument,
                 int& error) {
    DetachThread(handle);
    auto* control = new (std::nothrow) ThreadControl;
    if (control == nullptr) {
        error = ENOMEM;
        return false;
    }
    control->entry = entry;
    control->argument = argument;
    CopyThreadName(name, control->name);
    // No attributes: the platform's default stack, which is never smaller than what
    // the sanitizers and deep call chains need.
    const int result = pthread_create(&control->thread, nullptr, &ThreadStart, control);
    if (result != 0) {
        delete control;
        error = result;
        return false;
    }
    handle.m_control = control;
    return true;
}

bool JoinThread(ThreadHandle& handle, int timeoutMs, int* exitCode) {
    ThreadControl* control = handle.m_control;
    if (control == nullptr || handle.IsCurrentThread()) {
        return false;
    }
    if (!control->endedEvent.WaitUntil(DeadlineAfter(timeoutMs))) {
        return false;
    }
    pthread_join(control->thread, nullptr);
    if (exitCode != nullptr) {
        *exitCode = control->exitCode;
    }
    handle.m_control = nullptr;
    ReleaseControl(control);
    return true;
}

void DetachThread(ThreadHandle& handle) {
    ThreadControl* control = handle.m_control;
    if (control == nullptr) {
        return;
    }
    pthread_detach(control->thread);
    handle.m_control = nullptr;
    ReleaseControl(control);
}

}  // namespace qav::platform
