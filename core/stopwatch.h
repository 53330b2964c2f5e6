// The time base of every timing in the system: a process-wide monotonic clock read in raw
// units, with per-object accumulation of elapsed time, and the process-wide source of
// random numbers and of the Unix time.
//
// Raw units: the high-resolution counter is CLOCK_MONOTONIC read in whole microseconds, a
// 1 MHz counter, so one raw unit is one microsecond. In the millisecond-tick mode (only
// selected by tests, as the fallback for a counter slower than 1 MHz) a raw unit is one
// millisecond of a 32-bit tick count that wraps. Delays and durations are always given
// in microseconds; convert with RawToMicroseconds and MicrosecondsToRaw at the edges.
//
// Typical usage:
//   Stopwatch watch;
//   watch.Start();
//   ...
//   if (watch.HasElapsed(3000000)) { ... }   // more than 3 s since Start
//
// Threads: ReadRawClock and the conversions are safe from any thread. One Stopwatch
// object belongs to one thread at a time (its owner locks around it when shared).
#pragma once

#include <cstdint>

namespace qav {

class Stopwatch {
  public:
    using RawClockFunction = int64_t (*)();

    // Cleared and not running.
    Stopwatch();

    // Begins a new measurement: nothing accumulated, running.
    void Start();
    // Adds the raw time since the last reading. A reading that steps back (or a tick
    // count that wraps) adds nothing for that step: the accumulated time never decreases.
    void Update();

    // Both update first when running.
    int64_t GetElapsedMicroseconds();
    // True when strictly more than `microseconds` has accumulated.
    bool HasElapsed(int64_t microseconds);

    int64_t GetAccumulatedRaw() const { return m_accumulatedRaw; }
    bool IsRunning() const { return m_running; }

    static int64_t ReadRawClock();
    // Truncated toward zero; saturated instead of overflowing.
    static int64_t RawToMicroseconds(int64_t raw);
    static int64_t MicrosecondsToRaw(int64_t microseconds);

    // Test hook: selects the counter mode and, when `readRaw` is not null, the function
    // that reads the raw clock. `ticksPerMicrosecond` (at least 1) is used in the
    // high-resolution mode only. Call before any thread that times anything starts.
    static void SetClockForTesting(bool highResolution, int64_t ticksPerMicrosecond,
                                   RawClockFunction readRaw);
    // Back to the default: CLOCK_MONOTONIC in microseconds.
    static void ResetClockForTesting();

  private:
    bool m_running = false;
    int64_t m_lastRaw = 0;
    int64_t m_accumulatedRaw = 0;
};

// Process-wide; built on first use and destroyed at process exit.
// Threads: any thread.
class RandomSource {
  public:
    static RandomSource& Instance();

    virtual ~RandomSource() = default;
    // The standard runtime's pseudo-random integer (0 to RAND_MAX).
    virtual int32_t Next();
    // The current UTC time in whole seconds since 1970-01-01.
    virtual int32_t UnixTime();
    // Returns the value unchanged.
    virtual int32_t Pass(int32_t value);
};

}  // namespace qav
