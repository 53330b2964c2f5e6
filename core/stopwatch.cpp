#include "core/stopwatch.h"

#include <atomic>
#include <cstdlib>
#include <limits>

#include "core/system_time.h"
#include "platform/clock.h"

namespace qav {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

int64_t MonotonicMicroseconds() {
    return static_cast<int64_t>(platform::MonotonicNanoseconds() / 1000);
}

// The 32-bit millisecond tick count of the fallback mode.
int64_t MonotonicTicks() {
    return static_cast<int64_t>((platform::MonotonicNanoseconds() / 1000000) & 0xFFFFFFFFu);
}

// The process-wide clock settings. CLOCK_MONOTONIC is always there and its microsecond
// reading is a 1 MHz counter, so the settings are known before any Stopwatch exists;
// atomics only so that the test hook may change them.
std::atomic<bool> gHighResolution{true};
std::atomic<int64_t> gTicksPerMicrosecond{1};
std::atomic<Stopwatch::RawClockFunction> gReadRaw{&MonotonicMicroseconds};

int64_t SaturatingMultiply(int64_t value, int64_t factor) {
    int64_t result = 0;
    if (__builtin_mul_overflow(value, factor, &result)) {
        return (value < 0) != (factor < 0) ? kMin : kMax;
    }
    return result;
}

}  // namespace

Stopwatch::Stopwatch() = default;

void Stopwatch::Start() {
    m_lastRaw = ReadRawClock();
    m_accumulatedRaw = 0;
    m_running = true;
}

void Stopwatch::Update() {
    const int64_t now = ReadRawClock();
    int64_t delta = 0;
    if (!__builtin_sub_overflow(now, m_lastRaw, &delta) && delta > 0) {
        int64_t sum = 0;
        m_accumulatedRaw = __builtin_add_overflow(m_accumulatedRaw, delta, &sum) ? kMax : sum;
    }
    m_lastRaw = now;
}

int64_t Stopwatch::GetElapsedMicroseconds() {
    if (m_running) {
        Update();
    }
    return RawToMicroseconds(m_accumulatedRaw);
}

bool Stopwatch::HasElapsed(int64_t microseconds) {
    if (m_running) {
        Update();
    }
    if (gHighResolution.load(std::memory_order_relaxed)) {
        return m_accumulatedRaw > MicrosecondsToRaw(microseconds);
    }
    return SaturatingMultiply(m_accumulatedRaw, 1000) > microseconds;
}

int64_t Stopwatch::ReadRawClock() {
    return gReadRaw.load(std::memory_order_relaxed)();
}

int64_t Stopwatch::RawToMicroseconds(int64_t raw) {
    if (gHighResolution.load(std::memory_order_relaxed)) {
        return raw / gTicksPerMicrosecond.load(std::memory_order_relaxed);
    }
    return SaturatingMultiply(raw, 1000);
}

int64_t Stopwatch::MicrosecondsToRaw(int64_t microseconds) {
    if (gHighResolution.load(std::memory_order_relaxed)) {
        return SaturatingMultiply(microseconds,
                                  gTicksPerMicrosecond.load(std::memory_order_relaxed));
    }
    return microseconds / 1000;
}

void Stopwatch::SetClockForTesting(bool highResolution, int64_t ticksPerMicrosecond,
                                   RawClockFunction readRaw) {
    gHighResolution.store(highResolution, std::memory_order_relaxed);
    gTicksPerMicrosecond.store(ticksPerMicrosecond >= 1 ? ticksPerMicrosecond : 1,
                               std::memory_order_relaxed);
    if (readRaw == nullptr) {
        readRaw = highResolution ? &MonotonicMicroseconds : &MonotonicTicks;
    }
    gReadRaw.store(readRaw, std::memory_order_relaxed);
}

void Stopwatch::ResetClockForTesting() {
    SetClockForTesting(true, 1, nullptr);
}

RandomSource& RandomSource::Instance() {
    static RandomSource instance;
    return instance;
}

int32_t RandomSource::Next() {
    return std::rand();
}

int32_t RandomSource::UnixTime() {
    const int64_t seconds = GetSystemTimeMicroseconds() / 1000000 - kSecondsFrom1601To1970;
    return static_cast<int32_t>(seconds);
}

int32_t RandomSource::Pass(int32_t value) {
    return value;
}

}  // namespace qav
