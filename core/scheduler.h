// The scheduler of timed jobs: runs named jobs, once or again and again, on the polling
// thread between socket waits. All timed work of the system (keep-alives, retries,
// network-change tests, clean-ups) is a job.
//
// A job is a callback object (Run and Abort), a run function and an abort function (any
// of them may be null), two 32-bit parameters and a delay in microseconds. A job whose
// Run sets `again` is scheduled again, one period after its callbacks returned, with a
// new sequence id. Jobs due at the same time run in no particular order.
//
// Typical usage:
//   scheduler.Schedule(3000000, "Network Changes Test", this, nullptr, nullptr, 0, 0);
//   ...
//   scheduler.RemoveTasks1(this, nullptr);   // before `this` dies; its Abort is called
//
// Threads: any thread may schedule, remove and find jobs; one polling thread calls Poll,
// GetTimeToNextTask and Wait. Callbacks (Run, Abort and the functions) are called without
// the scheduler's lock, so they may schedule or remove jobs. Poll only tries the lock and
// never waits for it. A removal that matches a job while it runs keeps it from being
// scheduled again; its abort callbacks are then called on the polling thread as soon as
// its run returns, so an object may only be destroyed after that.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "core/stopwatch.h"

namespace qav {

class Event;
class Scheduler;

// The callback object of a job.
class ScheduledJob {
  public:
    virtual void Run(Scheduler& scheduler, uint32_t parameter1, uint32_t parameter2,
                     bool& again) = 0;
    virtual void Abort(Scheduler& scheduler, uint32_t parameter1, uint32_t parameter2) = 0;

  protected:
    ~ScheduledJob() = default;
};

using JobRunFunction = void (*)(Scheduler& scheduler, uint32_t parameter1, uint32_t parameter2,
                                bool& again);
using JobAbortFunction = void (*)(Scheduler& scheduler, uint32_t parameter1, uint32_t parameter2);

// One job as the heap holds it, by value.
struct JobEntry {
    static constexpr int32_t kValid = 1;
    static constexpr int32_t kRemoved = 2;

    int64_t period;    // microseconds: the delay, used again when the job runs again
    int64_t due;       // raw clock units
    const char* name;  // not copied: callers pass literals
    ScheduledJob* job;
    JobRunFunction run;
    JobAbortFunction abort;
    uint32_t parameter1;
    uint32_t parameter2;
    uint32_t sequenceId;
    int32_t state;

    // Matches by the object (when `object` is not null) or by the run function (when
    // `function` is not null).
    bool Matches(const ScheduledJob* object, JobRunFunction function) const {
        return (object != nullptr && job == object) || (function != nullptr && run == function);
    }
};

// Job entries arranged as a (4-ary) heap with the earliest due time at the top. Removal is
// lazy: an entry is only marked and is dropped when it reaches the top or at a rebuild.
// Not locked: the scheduler guards it.
class JobEntriesHeap {
  public:
    static constexpr size_t kReservedEntries = 50;

    explicit JobEntriesHeap(size_t reserve = kReservedEntries) { m_entries.reserve(reserve); }

    bool IsEmpty() const { return m_entries.empty(); }
    size_t Size() const { return m_entries.size(); }
    // REQUIRES: not empty.
    JobEntry& Top() { return m_entries.front(); }
    void Push(const JobEntry& entry);
    void Pop();

    // The first valid entry in storage order that matches, or null.
    JobEntry* Find1(const ScheduledJob* object, JobRunFunction function);
    // Also requires both parameters to be equal.
    JobEntry* Find3(const ScheduledJob* object, JobRunFunction function, uint32_t parameter1,
                    uint32_t parameter2);

    // Marks every valid entry that matches as Find1 does removed and appends copies of
    // them to `removed`, in storage order. Returns how many.
    int RemoveMatching(const ScheduledJob* object, JobRunFunction function,
                       std::vector<JobEntry>& removed);
    // Lowers every due time (removed entries too) by `difference`; the order stays.
    void LowerDueTimes(int64_t difference);
    // Takes the valid entries of `from` and empties it.
    void MoveValidItemsFrom(JobEntriesHeap& from);

    // Storage order, for counting and dumps.
    const std::vector<JobEntry>& Entries() const { return m_entries; }

  private:
    std::vector<JobEntry> m_entries;
};

// Abstract: the class that owns and embeds the scheduler supplies AddRef and Release.
class Scheduler : public RefCounted {
  public:
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Adds a job due after `delayMicroseconds` (a negative delay counts as 0). Returns 1.
    virtual int Schedule(int64_t delayMicroseconds, const char* name, ScheduledJob* job,
                         JobRunFunction run, JobAbortFunction abort, uint32_t parameter1,
                         uint32_t parameter2);
    // Removes the first job that matches the object or the run function (each only when
    // not null) and has both parameters equal; its abort callbacks are called.
    virtual bool RemoveTasks2(ScheduledJob* job, JobRunFunction run, uint32_t parameter1,
                              uint32_t parameter2);
    // Removes every job that matches the object or the run function; returns how many.
    // Jobs scheduled by the abort callbacks it calls are kept.
    virtual int RemoveTasks1(ScheduledJob* job, JobRunFunction run);
    // Removes every job, calling the abort callbacks of the valid ones. Jobs scheduled by
    // those callbacks are kept.
    virtual void AbortAll();
    // Matches as RemoveTasks1 does.
    virtual bool FindTask2(ScheduledJob* job, JobRunFunction run);
    // Matches as RemoveTasks2 does.
    virtual bool FindTask1(ScheduledJob* job, JobRunFunction run, uint32_t parameter1,
                           uint32_t parameter2);
    // Runs the jobs that are due, but none scheduled during this call. Returns 1 when
    // nothing was done or the lock was busy, 2 when a job ran or a removed entry was
    // dropped. Polling thread.
    virtual int Poll();
    // Runs the due jobs as Poll does (waiting for the lock), then gives the time until the
    // next job (0 when one is already due). False when no job is left. Polling thread.
    virtual bool GetTimeToNextTask(int64_t& microseconds);
    // The number of valid jobs whose due time has come.
    virtual int CountDueTasks();
    // A text dump: a header line and one line per valid job. Never writes more than
    // `size` characters (NUL included); returns the characters written.
    virtual int Print(char* buffer, size_t size);
    // Runs the due jobs, then sleeps until the next job is due, a job scheduled meanwhile
    // becomes the next one, or `event` is set. Resets `event`. Polling thread.
    virtual void Wait(Event& event);
    // Entries in the heap, removed ones included.
    virtual int GetQueueLength();

    // When on, long runs of jobs in one poll are logged to the process-wide text logger.
    void SetVerbose(bool verbose) { m_verbose.store(verbose, std::memory_order_relaxed); }

  protected:
    Scheduler();
    // Aborts every job.
    virtual ~Scheduler();

  private:
    struct RunningJob;
    class RunningScope;

    // REQUIRES: m_mutex held (all of these).
    // Updates the clock and returns it.
    int64_t UpdateClock();
    // Marks every valid entry that matches as Find1 does removed and appends copies of
    // them to `removed`, in storage order. Returns how many.
    int RemoveMatching(const ScheduledJob* object, JobRunFunction function,
                       std::vector<JobEntry>& removed);
    // Lowers every due time when the clock went back below the last reading, and stores
    // the clock as the last reading.
    void CorrectClockGoingBack(int64_t clock);
    void ScheduleLocked(int64_t delayMicroseconds, const char* name, ScheduledJob* job,
                        JobRunFunction run, JobAbortFunction abort, uint32_t parameter1,
                        uint32_t parameter2);
    // True when `sequenceId` was given out after the counter stood at `startCounter`.
    bool IssuedSince(uint32_t startCounter, uint32_t sequenceId) const;
    // Held once: marks the entry removed, then calls its abort callbacks with the lock
    // released and takes the lock again.
    void AbortEntry(JobEntry& entry, bool rebuild);
    void CheckRebuildEntriesHeap();
    // The first running job that matches and was not removed yet, or null.
    RunningJob* FindRunning(const ScheduledJob* object, JobRunFunction function,
                            bool withParameters, uint32_t parameter1, uint32_t parameter2);

    // The loop shared by Poll, GetTimeToNextTask and Wait: `timeout` is the lock's
    // time-out (0 for Poll). `hasNext` and `timeToNext` report the next job.
    int RunDueJobs(const char* tag, int timeout, bool& hasNext, int64_t& timeToNext);
    void CallAbort(const JobEntry& entry);

    MutualExclusion m_mutex;
    Stopwatch m_clock;
    JobEntriesHeap m_heap;
    Event* m_wakeEvent = nullptr;
    uint32_t m_sequenceCounter = 0;
    int32_t m_iNumInvalidItems = 0;
    int64_t m_lastClock = 0;
    std::atomic<bool> m_verbose{false};
    RunningJob* m_running = nullptr;  // jobs whose callbacks run now, newest first
};

}  // namespace qav
