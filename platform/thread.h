// Threads of the operating system: ids, sleeping and yielding, and joinable named
// threads.
//
// Typical usage:
//   platform::ThreadHandle handle;
//   int error = 0;
//   if (!platform::StartThread(handle, "Worker", &WorkerMain, argument, error)) { ... }
//   ...
//   if (!platform::JoinThread(handle, 5000)) platform::DetachThread(handle);
//
// Threads: a ThreadHandle belongs to one thread at a time (the one that started it, or
// whoever it was handed to); the functions on different handles may run concurrently.
#pragma once

#include <cstdint>

namespace qav::platform {

// The kernel's id of the calling thread (gettid). Never 0 and never 0xFFFFFFFF, the
// value the system uses for "no thread".
uint32_t CurrentThreadId();

// Sleeps for the given milliseconds; 0 yields the processor.
void SleepMilliseconds(int milliseconds);

void YieldProcessor();

// A hint to the processor that the caller is in a short retry loop (a pause instruction):
// no system call, no sleep.
void PauseProcessor();

// The routine a new thread runs; its result is the thread's exit code.
using ThreadRoutine = int (*)(void* argument);

// Names are cut to this many bytes (the kernel keeps 15 and a NUL), never inside a
// UTF-8 sequence.
constexpr int kMaxThreadNameBytes = 15;

struct ThreadControl;

// One started thread that has not been joined or detached yet, or nothing. A handle
// that is destroyed or assigned over while it holds a thread detaches that thread: the
// thread runs on and its resources go when it ends.
class ThreadHandle {
  public:
    ThreadHandle() = default;
    ~ThreadHandle();
    ThreadHandle(ThreadHandle&& other) noexcept;
    ThreadHandle& operator=(ThreadHandle&& other) noexcept;
    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;

    bool HoldsThread() const { return m_control != nullptr; }
    // True when called on the thread this handle holds.
    bool IsCurrentThread() const;
    // True once the thread's entry routine has returned (the thread may still be
    // finishing its exit); false for an empty handle.
    bool HasEnded() const;

  private:
    friend bool StartThread(ThreadHandle&, const char*, ThreadRoutine, void*, int&);
    friend bool JoinThread(ThreadHandle&, int, int*);
    friend void DetachThread(ThreadHandle&);

    ThreadControl* m_control = nullptr;
};

// Starts a thread named `name` (null or empty: unnamed) that runs entry(argument), with
// the platform's default stack. A thread the handle held before is detached first. On
// failure returns false, leaves the handle empty and sets `error` to the system's code.
bool StartThread(ThreadHandle& handle, const char* name, ThreadRoutine entry, void* argument,
                 int& error);

// Waits up to `timeoutMs` milliseconds (negative: no limit) for the thread to end, then
// reaps it, empties the handle and stores the exit code in `*exitCode` when given. False
// when the handle is empty, when the wait ran out (the handle still holds the thread)
// and when called on the held thread itself, which can never see its own end.
bool JoinThread(ThreadHandle& handle, int timeoutMs, int* exitCode = nullptr);

// Lets the held thread run on by itself; its resources go when it ends. Empties the
// handle; nothing happens for an empty handle.
void DetachThread(ThreadHandle& handle);

}  // namespace qav::platform
