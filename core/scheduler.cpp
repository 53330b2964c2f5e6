#include "core/scheduler.h"

#include <algorithm>
#include <climits>
#include <limits>

#include "core/date_time.h"
#include "core/event.h"
#include "core/format.h"
#include "core/text_logger.h"
#include "core/trace_frame.h"

namespace qav {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

int64_t SaturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? kMax : kMin;
    }
    return sum;
}

// Takes the lock again when leaving its scope, also when a callback throws, so that the
// caller's lock guard stays right.
class Unlocked {
  public:
    explicit Unlocked(MutualExclusion& mutex) : m_mutex(mutex) { m_mutex.Unlock(); }
    ~Unlocked() { m_mutex.Lock(); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

  private:
    MutualExclusion& m_mutex;
};

}  // namespace

// ---- JobEntriesHeap ----

// A 4-ary heap: half the depth of a binary one, so that half as many of the large entries
// move on each pop; the four children of an entry lie side by side in memory.
namespace {

constexpr size_t kArity = 4;

void SiftUp(std::vector<JobEntry>& entries, size_t at) {
    const JobEntry entry = entries[at];
    while (at > 0) {
        const size_t parent = (at - 1) / kArity;
        if (entries[parent].due <= entry.due) {
            break;
        }
        entries[at] = entries[parent];
        at = parent;
    }
    entries[at] = entry;
}

void SiftDown(std::vector<JobEntry>& entries, size_t at) {
    const size_t count = entries.size();
    const JobEntry entry = entries[at];
    JobEntry* data = entries.data();
    for (;;) {
        const size_t first = at * kArity + 1;
        if (first >= count) {
            break;
        }
        size_t earliest = first;
        if (first + kArity <= count) {
            // All four children: pairwise minima, which the compiler turns into moves.
            const size_t left = data[first + 1].due < data[first].due ? first + 1 : first;
            const size_t right = data[first + 3].due < data[first + 2].due ? first + 3 : first + 2;
            earliest = data[right].due < data[left].due ? right : left;
        } else {
            for (size_t child = first + 1; child < count; ++child) {
                if (data[child].due < data[earliest].due) {
                    earliest = child;
                }
            }
        }
        if (data[earliest].due >= entry.due) {
            break;
        }
        data[at] = data[earliest];
        at = earliest;
    }
    data[at] = entry;
}

}  // namespace

void JobEntriesHeap::Push(const JobEntry& entry) {
    QAV_TRACE("JEH::PQ");
    m_entries.push_back(entry);
    SiftUp(m_entries, m_entries.size() - 1);
}

void JobEntriesHeap::Pop() {
    m_entries.front() = m_entries.back();
    m_entries.pop_back();
    if (!m_entries.empty()) {
        SiftDown(m_entries, 0);
    }
}

JobEntry* JobEntriesHeap::Find1(const ScheduledJob* object, JobRunFunction function) {
    QAV_TRACE("JEH::Find1");
    for (JobEntry& entry : m_entries) {
        if (entry.state == JobEntry::kValid && entry.Matches(object, function)) {
            return &entry;
        }
    }
    return nullptr;
}

JobEntry* JobEntriesHeap::Find3(const ScheduledJob* object, JobRunFunction function,
                                uint32_t parameter1, uint32_t parameter2) {
    QAV_TRACE("JEH::Find3");
    for (JobEntry& entry : m_entries) {
        if (entry.state == JobEntry::kValid && entry.parameter1 == parameter1 &&
            entry.parameter2 == parameter2 && entry.Matches(object, function)) {
            return &entry;
        }
    }
    return nullptr;
}

int JobEntriesHeap::RemoveMatching(const ScheduledJob* object, JobRunFunction function,
                                   std::vector<JobEntry>& removed) {
    QAV_TRACE("JEH::Find1");
    int count = 0;
    for (JobEntry& entry : m_entries) {
        if (entry.state == JobEntry::kValid && entry.Matches(object, function)) {
            entry.state = JobEntry::kRemoved;
            removed.push_back(entry);
            ++count;
        }
    }
    return count;
}

void JobEntriesHeap::LowerDueTimes(int64_t difference) {
    QAV_TRACE("JEH::SRT");
    int64_t iDifference = difference;
    QAV_TRACE_VAR("iDifference", iDifference, kTraceInt64);
    // A monotone shift keeps the heap order, even where it saturates.
    const int64_t shift = difference == kMin ? kMax : -difference;
    for (JobEntry& entry : m_entries) {
        entry.due = SaturatingAdd(entry.due, shift);
    }
}

void JobEntriesHeap::MoveValidItemsFrom(JobEntriesHeap& from) {
    QAV_TRACE("JEH::MVIF");
    for (const JobEntry& entry : from.m_entries) {
        if (entry.state == JobEntry::kValid) {
            m_entries.push_back(entry);
        }
    }
    for (size_t at = m_entries.size() / kArity + 1; at-- > 0;) {
        if (at < m_entries.size()) {
            SiftDown(m_entries, at);
        }
    }
    from.m_entries.clear();
}

// ---- Scheduler ----

// A job whose callbacks run now. Lives on the polling thread's stack and is listed in
// m_running so that removals and finds still see the job while it is out of the heap.
struct Scheduler::RunningJob {
    JobEntry entry;
    bool removed = false;
    RunningJob* next = nullptr;
};

// Lists a running job for the time of its callbacks; takes it off the list even when a
// callback throws.
class Scheduler::RunningScope {
  public:
    // REQUIRES: m_mutex held.
    RunningScope(Scheduler& scheduler, RunningJob& running)
        : m_scheduler(scheduler), m_running(running) {
        running.next = scheduler.m_running;
        scheduler.m_running = &running;
    }
    ~RunningScope() {
        if (m_listed) {
            m_scheduler.m_mutex.Lock();
            UnlistLocked();
            m_scheduler.m_mutex.Unlock();
        }
    }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

    // REQUIRES: m_mutex held.
    void UnlistLocked() {
        for (RunningJob** link = &m_scheduler.m_running; *link != nullptr; link = &(*link)->next) {
            if (*link == &m_running) {
                *link = m_running.next;
                break;
            }
        }
        m_listed = false;
    }

  private:
    Scheduler& m_scheduler;
    RunningJob& m_running;
    bool m_listed = true;
};

Scheduler::Scheduler() {
    m_clock.Start();
    m_lastClock = m_clock.GetAccumulatedRaw();
}

Scheduler::~Scheduler() {
    // Aborts may schedule new jobs; those are aborted in the next round. The bound keeps
    // an abort that always schedules again from holding the destruction forever.
    for (int round = 0; round < 16; ++round) {
        AbortAll();
        MutualExclusionLock lock(m_mutex, -1);
        if (m_heap.IsEmpty()) {
            break;
        }
    }
}

int64_t Scheduler::UpdateClock() {
    m_clock.Update();
    return m_clock.GetAccumulatedRaw();
}

void Scheduler::CorrectClockGoingBack(int64_t clock) {
    if (clock < m_lastClock) {
        m_heap.LowerDueTimes(m_lastClock - clock);
    }
    m_lastClock = clock;
}

bool Scheduler::IssuedSince(uint32_t startCounter, uint32_t sequenceId) const {
    // Unsigned differences stay right when the 32-bit counter wraps.
    return sequenceId - startCounter - 1u < m_sequenceCounter - startCounter;
}

int Scheduler::Schedule(int64_t delayMicroseconds, const char* name, ScheduledJob* job,
                        JobRunFunction run, JobAbortFunction abort, uint32_t parameter1,
                        uint32_t parameter2) {
    QAV_TRACE("SCH::Sch");
    MutualExclusionLock lock(m_mutex, -1);
    ScheduleLocked(delayMicroseconds, name, job, run, abort, parameter1, parameter2);
    return 1;
}

void Scheduler::ScheduleLocked(int64_t delayMicroseconds, const char* name, ScheduledJob* job,
                               JobRunFunction run, JobAbortFunction abort, uint32_t parameter1,
                               uint32_t parameter2) {
    // A negative delay would put the job before jobs already due; it means "now".
    const int64_t delay = std::max<int64_t>(delayMicroseconds, 0);
    const int64_t clock = UpdateClock();
    CorrectClockGoingBack(clock);
    const uint32_t sequenceId = ++m_sequenceCounter;
    m_heap.Push(JobEntry{delay, SaturatingAdd(clock, Stopwatch::MicrosecondsToRaw(delay)), name,
                         job, run, abort, parameter1, parameter2, sequenceId, JobEntry::kValid});
    if (m_wakeEvent != nullptr && m_heap.Top().sequenceId == sequenceId) {
        m_wakeEvent->Set();
    }
}

void Scheduler::CallAbort(const JobEntry& entry) {
    if (entry.job != nullptr) {
        entry.job->Abort(*this, entry.parameter1, entry.parameter2);
    }
    if (entry.abort != nullptr) {
        entry.abort(*this, entry.parameter1, entry.parameter2);
    }
}

void Scheduler::AbortEntry(JobEntry& entry, bool rebuild) {
    QAV_TRACE("SCH::AE");
    entry.state = JobEntry::kRemoved;
    const JobEntry removed = entry;
    ++m_iNumInvalidItems;
    if (rebuild) {
        CheckRebuildEntriesHeap();
    }
    Unlocked unlocked(m_mutex);
    CallAbort(removed);
}

void Scheduler::CheckRebuildEntriesHeap() {
    QAV_TRACE("SCH::CREH");
    int32_t iQueueLength = static_cast<int32_t>(m_heap.Size());
    QAV_TRACE_VAR("iQueueLength", iQueueLength, kTraceInt32);
    QAV_TRACE_VAR("m_iNumInvalidItems", m_iNumInvalidItems, kTraceInt32);
    const size_t length = m_heap.Size();
    if (length >= 10 && length < 2 * static_cast<size_t>(m_iNumInvalidItems)) {
        JobEntriesHeap rebuilt(std::max(length, JobEntriesHeap::kReservedEntries));
        rebuilt.MoveValidItemsFrom(m_heap);
        std::swap(m_heap, rebuilt);
        m_iNumInvalidItems = 0;
    }
}

Scheduler::RunningJob* Scheduler::FindRunning(const ScheduledJob* object, JobRunFunction function,
                                              bool withParameters, uint32_t parameter1,
                                              uint32_t parameter2) {
    for (RunningJob* running = m_running; running != nullptr; running = running->next) {
        const JobEntry& entry = running->entry;
        if (!running->removed && entry.Matches(object, function) &&
            (!withParameters ||
             (entry.parameter1 == parameter1 && entry.parameter2 == parameter2))) {
            return running;
        }
    }
    return nullptr;
}

bool Scheduler::RemoveTasks2(ScheduledJob* job, JobRunFunction run, uint32_t parameter1,
                             uint32_t parameter2) {
    QAV_TRACE("SCH::RemT2");
    MutualExclusionLock lock(m_mutex, -1);
    if (JobEntry* entry = m_heap.Find3(job, run, parameter1, parameter2)) {
        AbortEntry(*entry, true);
        return true;
    }
    if (RunningJob* running = FindRunning(job, run, true, parameter1, parameter2)) {
        running->removed = true;
        return true;
    }
    return false;
}

int Scheduler::RemoveTasks1(ScheduledJob* job, JobRunFunction run) {
    QAV_TRACE("SCH::RemT1");
    std::vector<JobEntry> removedEntries;
    int removed = 0;
    {
        MutualExclusionLock lock(m_mutex, -1);
        // Everything that matches is marked before the first abort lets the lock go: a
        // running job that returns during an abort must find itself removed instead of
        // going back into the heap, and a matching entry must not start running meanwhile.
        // Jobs that the aborts schedule are then not this call's to remove.
        while (RunningJob* running = FindRunning(job, run, false, 0, 0)) {
            running->removed = true;
            ++removed;
        }
        removed += m_heap.RemoveMatching(job, run, removedEntries);
        m_iNumInvalidItems += static_cast<int32_t>(removedEntries.size());
        CheckRebuildEntriesHeap();
    }
    for (const JobEntry& entry : removedEntries) {
        QAV_TRACE("SCH::AE");
        CallAbort(entry);
    }
    return removed;
}

void Scheduler::AbortAll() {
    QAV_TRACE("SCH::AbAll");
    int32_t iNumAborted = 0;
    const char* szTaskName = "undefined";
    QAV_TRACE_VAR("iNumAborted", iNumAborted, kTraceInt32);
    QAV_TRACE_VAR("szTaskName", szTaskName, kTraceText);
    JobEntriesHeap taken;
    {
        MutualExclusionLock lock(m_mutex, -1);
        for (RunningJob* running = m_running; running != nullptr; running = running->next) {
            running->removed = true;
        }
        // The whole heap is taken at once: jobs that the aborts schedule stay scheduled.
        std::swap(taken, m_heap);
        m_iNumInvalidItems = 0;
    }
    while (!taken.IsEmpty()) {
        const JobEntry entry = taken.Top();
        taken.Pop();
        if (entry.state == JobEntry::kValid) {
            szTaskName = entry.name;
            CallAbort(entry);
            ++iNumAborted;
        }
    }
}

bool Scheduler::FindTask2(ScheduledJob* job, JobRunFunction run) {
    QAV_TRACE("SCH::FindT2");
    MutualExclusionLock lock(m_mutex, -1);
    return m_heap.Find1(job, run) != nullptr || FindRunning(job, run, false, 0, 0) != nullptr;
}

bool Scheduler::FindTask1(ScheduledJob* job, JobRunFunction run, uint32_t parameter1,
                          uint32_t parameter2) {
    QAV_TRACE("SCH::FindT1");
    MutualExclusionLock lock(m_mutex, -1);
    return m_heap.Find3(job, run, parameter1, parameter2) != nullptr ||
           FindRunning(job, run, true, parameter1, parameter2) != nullptr;
}

int Scheduler::Poll() {
    bool hasNext = false;
    int64_t timeToNext = 0;
    return RunDueJobs("SCH::Poll", 0, hasNext, timeToNext);
}

bool Scheduler::GetTimeToNextTask(int64_t& microseconds) {
    bool hasNext = false;
    RunDueJobs("SCH::GTTNTP", -1, hasNext, microseconds);
    return hasNext;
}

int Scheduler::RunDueJobs(const char* tag, int timeout, bool& hasNext, int64_t& timeToNext) {
    QAV_TRACE(tag);
    const char* szTaskName = "undefined";
    int32_t iNumTasksExecuted = 0;
    bool bIsLocked = false;
    QAV_TRACE_VAR("szTaskName", szTaskName, kTraceText);
    QAV_TRACE_VAR("iNumTasksExecuted", iNumTasksExecuted, kTraceInt32);
    QAV_TRACE_VAR("bIsLocked", bIsLocked, kTraceBool);
    hasNext = false;

    MutualExclusionLock lock(m_mutex, timeout);
    bIsLocked = lock.IsLocked();
    if (!bIsLocked) {
        return 1;
    }
    // Only jobs scheduled before this call run in it: a job that asks to run again with
    // a period of 0 waits for the next call instead of holding this one for ever.
    const uint32_t startCounter = m_sequenceCounter;
    int result = 1;
    bool logged = false;
    while (!m_heap.IsEmpty()) {
        JobEntry& top = m_heap.Top();
        szTaskName = top.name;
        if (top.state == JobEntry::kRemoved) {
            m_heap.Pop();
            --m_iNumInvalidItems;
            result = 2;
            continue;
        }
        const int64_t clock = UpdateClock();
        CorrectClockGoingBack(clock);
        if (top.due > clock || IssuedSince(startCounter, top.sequenceId)) {
            hasNext = true;
            timeToNext = top.due > clock ? Stopwatch::RawToMicroseconds(top.due - clock) : 0;
            break;
        }
        result = 2;
        RunningJob running{top};
        m_heap.Pop();
        const JobEntry& entry = running.entry;
        bool again = false;
        {
            RunningScope scope(*this, running);
            lock.Unlock();
            bIsLocked = false;
            if (entry.job != nullptr) {
                entry.job->Run(*this, entry.parameter1, entry.parameter2, again);
            }
            if (entry.run != nullptr) {
                entry.run(*this, entry.parameter1, entry.parameter2, again);
            }
            // Waits even in Poll: the job must leave the running list, and whoever holds
            // the lock never calls out while holding it.
            bIsLocked = lock.Relock(-1);
            scope.UnlistLocked();
        }
        // Back to the heap in the same hold of the lock that took it off the running
        // list, so that a removal cannot fall between the two.
        if (again && !running.removed) {
            ScheduleLocked(entry.period, entry.name, entry.job, entry.run, entry.abort,
                           entry.parameter1, entry.parameter2);
        }
        ++iNumTasksExecuted;
        TextLogger* logger = nullptr;
        if (m_verbose.load(std::memory_order_relaxed) && iNumTasksExecuted >= 32 &&
            (iNumTasksExecuted & (iNumTasksExecuted - 1)) == 0) {
            logger = TextLoggerFor(kSeverityWarning);
        }
        if (running.removed || logger != nullptr) {
            lock.Unlock();
            bIsLocked = false;
            if (running.removed) {
                CallAbort(entry);
            }
            if (logger != nullptr) {
                logger->LogFormat(kSeverityWarning, "Executing tasks (%d) Last is \"%s\".",
                                  iNumTasksExecuted, entry.name);
                logged = true;
            }
            bIsLocked = lock.Relock(timeout);
            if (!bIsLocked) {
                break;
            }
        }
    }
    lock.Unlock();
    bIsLocked = false;
    if (logged) {
        if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
            logger->LogFormat(kSeverityWarning, "Tasks execution end (%d).", iNumTasksExecuted);
        }
    }
    return result;
}

int Scheduler::CountDueTasks() {
    QAV_TRACE("JEH::CPPT");
    MutualExclusionLock lock(m_mutex, -1);
    const int64_t clock = UpdateClock();
    // The reading is stored as Poll stores it, so that a step back is made up only once.
    CorrectClockGoingBack(clock);
    int count = 0;
    for (const JobEntry& entry : m_heap.Entries()) {
        if (entry.state == JobEntry::kValid && entry.due <= clock) {
            ++count;
        }
    }
    return count;
}

int Scheduler::Print(char* buffer, size_t size) {
    MutualExclusionLock lock(m_mutex, -1);
    const int64_t clock = UpdateClock();
    const int header = FormatText(buffer, size, "Job Entries Heap Time=%lld Removed=%d\r\n", clock,
                                  m_iNumInvalidItems);
    if (header < 0) {
        if (size > 0) {
            buffer[0] = '\0';
        }
        return 0;
    }
    size_t written = static_cast<size_t>(header);
    for (const JobEntry& entry : m_heap.Entries()) {
        if (entry.state != JobEntry::kValid) {
            continue;
        }
        char timeText[30];
        const int timeLength =
            entry.period < 5000000
                ? FormatText(timeText, sizeof timeText, "%.3f seconds",
                             static_cast<double>(entry.period) * 1e-6)
                : FormatDuration(timeText, sizeof timeText, entry.period / 1000000);
        if (timeLength <= 0) {
            break;
        }
        const int line = FormatText(buffer + written, size - written, "[%d] %s: %s [rt=%lld]\r\n",
                                    entry.sequenceId, entry.name, timeText, entry.due);
        if (line < 0) {
            buffer[written] = '\0';
            break;
        }
        written += static_cast<size_t>(line);
    }
    return static_cast<int>(written);
}

void Scheduler::Wait(Event& event) {
    QAV_TRACE("SCH::Wait");
    {
        MutualExclusionLock lock(m_mutex, -1);
        m_wakeEvent = &event;
    }
    bool hasNext = false;
    int64_t timeToNext = 0;
    RunDueJobs("SCH::GTTNTP", -1, hasNext, timeToNext);
    int timeout = -1;
    if (hasNext) {
        timeout = static_cast<int>(std::min<int64_t>(timeToNext / 1000, INT_MAX));
    }
    event.Wait(timeout);
    event.Reset();
    MutualExclusionLock lock(m_mutex, -1);
    m_wakeEvent = nullptr;
}

int Scheduler::GetQueueLength() {
    QAV_TRACE("SCH::GQL");
    MutualExclusionLock lock(m_mutex, -1);
    return static_cast<int>(m_heap.Size());
}

}  // namespace qav
