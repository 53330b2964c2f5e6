#include "core/polling_thread.h"

#include <cstdlib>
#include <utility>

#include "core/stopwatch.h"
#include "core/system_time.h"
#include "core/text_logger.h"
#include "core/trace_frame.h"
#include "platform/state_report.h"

namespace qav {

void PollingThread::SetOwner(PollingThreadOwner* owner) {
    MutualExclusionLock lock(m_mutex);
    if (!IsStopRequested()) {
        m_owner = owner;
    }
}

bool PollingThread::StartThread(const char* name) {
    RefPtr<ThreadStartRecord> record(new ThreadStartRecord(this, nullptr, name));
    // The new thread's reference; taken over by ThreadMain.
    record->AddRef();
    MutualExclusionLock lock(m_mutex);
    // Threads that ended by themselves are reaped here rather than piling up.
    std::erase_if(m_handles,
                  [](platform::ThreadHandle& handle) { return platform::JoinThread(handle, 0); });
    platform::ThreadHandle handle;
    int error = 0;
    if (!platform::StartThread(handle, record->name().c_str(), &PollingThread::ThreadMain,
                               record.get(), error)) {
        m_lastError.store(error, std::memory_order_relaxed);
        lock.Unlock();
        if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
            logger->LogFormat(kSeverityError, "Error creating thread \"%s\": (%ld) %ls",
                              record->name(), error, GetErrorText(error));
        }
        record->Release();
        return false;
    }
    m_handles.push_back(std::move(handle));
    return true;
}

namespace {

// The thread object whose loop runs on this thread, if any: a stop from inside its own
// loop cannot wait for that loop.
thread_local const PollingThread* t_runningLoop = nullptr;

}  // namespace

bool PollingThread::Stop(int timeoutMs) {
    m_stopRequested.store(true);  // ordered before the Set below for Run's check
    m_running.store(false, std::memory_order_release);
    m_wakeEvent.Set();
    RefPtr<PollingThreadOwner> owner;
    {
        MutualExclusionLock lock(m_mutex);
        owner = std::move(m_owner);
        // A turn waiting in its waiter does not see the wake event. Interrupted under the
        // lock that an ending loop takes: the waiter lives at least as long as a loop runs,
        // and no longer than that is promised.
        if (m_runningLoops > 0) {
            if (Waiter* waiter = m_waiter.load(std::memory_order_acquire)) {
                waiter->Interrupt();
            }
        }
    }
    bool allEnded = true;
    if (t_runningLoop != this) {
        allEnded = JoinThreads(timeoutMs);
    }
    // The owner reference goes last: it may be what keeps the caller alive.
    owner.Reset();
    return allEnded;
}

bool PollingThread::JoinThreads(int timeoutMs) {
    const int64_t deadline =
        Stopwatch::ReadRawClock() + Stopwatch::MicrosecondsToRaw(int64_t{timeoutMs} * 1000);
    auto timeLeft = [&] {
        if (timeoutMs < 0) {
            return -1;
        }
        const int64_t left =
            Stopwatch::RawToMicroseconds(deadline - Stopwatch::ReadRawClock()) / 1000;
        return left > 0 ? static_cast<int>(left) : 0;
    };
    // Stops from other threads take turns, so that a second one waits for the threads
    // that the first is joining instead of finding no handle left and returning early.
    MutualExclusionLock joining(m_joinMutex, timeoutMs < 0 ? -1 : timeLeft());
    if (!joining.IsLocked()) {
        return false;
    }
    std::vector<platform::ThreadHandle> handles;
    {
        MutualExclusionLock lock(m_mutex);
        handles.swap(m_handles);
    }
    std::vector<platform::ThreadHandle> running;
    for (platform::ThreadHandle& handle : handles) {
        if (!platform::JoinThread(handle, timeLeft())) {
            running.push_back(std::move(handle));
        }
    }
    if (running.empty()) {
        return true;
    }
    // Kept, so that a later stop still waits for them.
    MutualExclusionLock lock(m_mutex);
    for (platform::ThreadHandle& handle : running) {
        m_handles.push_back(std::move(handle));
    }
    return false;
}

bool PollingThread::TakeScheduler(RefPtr<Scheduler>& scheduler) {
    RefPtr<PollingThreadOwner> owner;
    {
        MutualExclusionLock lock(m_mutex);
        owner = m_owner;
    }
    if (!owner) {
        return false;
    }
    scheduler = owner->GetScheduler();
    return true;
}

int PollingThread::Run(void* /*argument*/) {
    RefPtr<PollingThread> self(this);
    RefPtr<Scheduler> scheduler;
    if (!TakeScheduler(scheduler)) {
        return 0;
    }
    // Reset before the first look at the stop request: a stop from now on leaves the
    // event set, so no wait of this run can sleep through it. A stop that came before
    // may have set it for another loop of this object: set it again for that one.
    m_wakeEvent.Reset();
    if (IsStopRequested()) {
        m_wakeEvent.Set();
    }
    // Undone on every way out, a job that throws included, before `self` lets go.
    class RunningScope {
      public:
        // Counted before the loop's first look at the stop request, so that a stop either
        // finds the loop counted or the loop finds the stop.
        explicit RunningScope(PollingThread& thread)
            : m_thread(thread), m_outerLoop(std::exchange(t_runningLoop, &thread)) {
            {
                MutualExclusionLock lock(m_thread.m_mutex);
                ++m_thread.m_runningLoops;
            }
            m_thread.m_running.store(true, std::memory_order_release);
        }
        ~RunningScope() {
            if (!m_thread.IsStopRequested()) {
                m_thread.m_endedUnexpectedly.store(true);
            }
            m_thread.m_running.store(false, std::memory_order_release);
            {
                MutualExclusionLock lock(m_thread.m_mutex);
                --m_thread.m_runningLoops;
            }
            t_runningLoop = m_outerLoop;
        }
        RunningScope(const RunningScope&) = delete;
        RunningScope& operator=(const RunningScope&) = delete;

      private:
        PollingThread& m_thread;
        const PollingThread* m_outerLoop;
    } runningScope(*this);
    while (!IsStopRequested()) {
        int wait = kMaxWaitMs;
        // Every turn works on the scheduler taken above: the owner may drop its own.
        if (scheduler) {
            scheduler->Poll();
        }
        if (IsStopRequested()) {
            break;
        }
        int64_t microseconds = 0;
        if (scheduler && scheduler->GetTimeToNextTask(microseconds) &&
            microseconds / 1000 < kMaxWaitMs) {
            wait = microseconds > 0 ? static_cast<int>(microseconds / 1000) : 0;
        }
        // The jobs run just now may have stopped the loop, and whoever stopped it may free
        // the waiter as soon as this thread has ended.
        if (IsStopRequested()) {
            break;
        }
        if (Waiter* waiter = m_waiter.load(std::memory_order_acquire)) {
            const int result = waiter->Wait(wait);
            if (result == Waiter::kHandled || result == Waiter::kBusyOrTimeout) {
                continue;
            }
        }
        const int64_t start = Stopwatch::ReadRawClock();
        m_wakeEvent.Wait(wait);
        m_idleTime.fetch_add(Stopwatch::ReadRawClock() - start, std::memory_order_relaxed);
    }
    return 0;
}

namespace {

// Everything of a thread's start that runs inside its trace frame.
int RunTraced(ThreadStartRecord& record) {
    QAV_TRACE("Win32 Thread Main");
    RandomSource::Instance();
    srand(static_cast<unsigned>(static_cast<uint64_t>(GetSystemTimeMicroseconds()) & 0xFFFFFFFFu));
    uint32_t threadId = platform::CurrentThreadId();
    const char* threadName = record.name().c_str();
    QAV_TRACE_VAR("szThreadName", threadName, kTraceText);
    QAV_TRACE_VAR("dwThreadID", threadId, kTraceInt32);
    return record.owner()->Run(record.argument());
}

}  // namespace

int Thread::ThreadMain(void* raw) {
    auto* record = static_cast<ThreadStartRecord*>(raw);
    int result = 1;
    try {
        record->owner()->m_threadId.store(platform::CurrentThreadId(), std::memory_order_relaxed);
        result = RunTraced(*record);
    } catch (...) {
        result = 1;
    }
    record->Release();
    platform::FreeThreadExVarsStorage();
    return result;
}

}  // namespace qav
