// Scheduling and running 10,000 timed jobs: the scheduler (lock, lazy removal, trace
// frames, a clock reading per job) against a bare binary heap of timers.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

#include "core/scheduler.h"

namespace {

constexpr int kJobs = 10000;

int64_t gRaw = 0;
int64_t ReadRaw() {
    return gRaw;
}
int64_t gRuns = 0;

void CountRun(qav::Scheduler&, uint32_t, uint32_t, bool&) {
    ++gRuns;
}
void CountRunPlain(void*, uint32_t) {
    ++gRuns;
}

// Spread over a millisecond, out of order.
int64_t DelayOf(int i) {
    return (static_cast<int64_t>(i) * 7919) % 1000;
}

class BenchScheduler : public qav::Scheduler {
  public:
    int32_t AddRef() override { return 1; }
    int32_t Release() override { return 1; }
};

void ScheduleAndPollQav(benchmark::State& state) {
    qav::Stopwatch::SetClockForTesting(true, 1, &ReadRaw);
    BenchScheduler scheduler;
    for (auto _ : state) {
        for (int i = 0; i < kJobs; ++i) {
            scheduler.Schedule(DelayOf(i), "bench", nullptr, &CountRun, nullptr, i, 0);
        }
        gRaw += 1000;
        scheduler.Poll();
    }
    benchmark::DoNotOptimize(gRuns);
    state.SetItemsProcessed(state.iterations() * kJobs);
    qav::Stopwatch::ResetClockForTesting();
}

struct Timer {
    int64_t due;
    void (*callback)(void*, uint32_t);
    void* argument;
    uint32_t parameter;
    bool operator>(const Timer& other) const { return due > other.due; }
};

void ScheduleAndPollPriorityQueue(benchmark::State& state) {
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers;
    int64_t now = 0;
    for (auto _ : state) {
        for (int i = 0; i < kJobs; ++i) {
            timers.push(Timer{now + DelayOf(i), &CountRunPlain, nullptr, static_cast<uint32_t>(i)});
        }
        now += 1000;
        while (!timers.empty() && timers.top().due <= now) {
            const Timer timer = timers.top();
            timers.pop();
            timer.callback(timer.argument, timer.parameter);
        }
    }
    benchmark::DoNotOptimize(gRuns);
    state.SetItemsProcessed(state.iterations() * kJobs);
}

BENCHMARK(ScheduleAndPollQav)->Name("schedule_poll_10000_jobs/qav");
BENCHMARK(ScheduleAndPollPriorityQueue)->Name("schedule_poll_10000_jobs/anchor");

}  // namespace
