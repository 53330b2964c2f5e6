// Cost of the two things nearly every function of the system does: pushing a trace
// frame with variables, and taking its object's lock.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <mutex>

#include "core/mutual_exclusion.h"
#include "core/trace_frame.h"

namespace {

[[gnu::noinline]] int32_t TracedCall(int32_t value) {
    QAV_TRACE("BENCH::Call");
    int32_t iValue = value;
    const char* szName = "bench";
    QAV_TRACE_VAR("iValue", iValue, qav::kTraceInt32);
    QAV_TRACE_VAR("szName", szName, qav::kTraceText);
    benchmark::DoNotOptimize(szName);
    return iValue + 1;
}

[[gnu::noinline]] int32_t FrameOnlyCall(int32_t value) {
    QAV_TRACE("BENCH::Call");
    int32_t iValue = value;
    const char* szName = "bench";
    benchmark::DoNotOptimize(szName);
    return iValue + 1;
}

[[gnu::noinline]] int32_t PlainCall(int32_t value) {
    int32_t iValue = value;
    const char* szName = "bench";
    benchmark::DoNotOptimize(szName);
    return iValue + 1;
}

// Calls `call` once per iteration, feeding each result into the next call.
void Calls(benchmark::State& state, int32_t (*call)(int32_t)) {
    int32_t value = 0;
    for (auto _ : state) {
        value = call(value);
    }
    benchmark::DoNotOptimize(value);
}

void MutexLockUnlock(benchmark::State& state) {
    qav::MutualExclusion mutex;
    for (auto _ : state) {
        mutex.Lock(-1);
        mutex.Unlock();
    }
}

void MutexLockUnlockAnchor(benchmark::State& state) {
    std::recursive_mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}

}  // namespace

BENCHMARK_CAPTURE(Calls, traced, TracedCall)->Name("trace_push_pop_two_variables/qav");
BENCHMARK_CAPTURE(Calls, plain, PlainCall)->Name("trace_push_pop_two_variables/anchor");
BENCHMARK_CAPTURE(Calls, frame_only, FrameOnlyCall)->Name("trace_push_pop/qav");
BENCHMARK_CAPTURE(Calls, plain, PlainCall)->Name("trace_push_pop/anchor");
BENCHMARK(MutexLockUnlock)->Name("mutex_lock_unlock_uncontended/qav");
BENCHMARK(MutexLockUnlockAnchor)->Name("mutex_lock_unlock_uncontended/anchor");
