// For tests only: rounds of a race between the test's thread and one other, bounded by a
// count of rounds and by time, whichever ends first.
//
// Typical usage:
//   RefPtr<Thing> thing;
//   const int rounds = test_support::RunRaceRounds(
//       kRounds, [&](int) { thing = MakeThing(); },        // alone, before the race
//       [&](int) { thing->Connect(); },                    // this thread, racing
//       [&](int) { thing->End(); },                        // the other thread, racing
//       [&](int round) { EXPECT_FALSE(thing->IsConnected()) << round; });  // alone, after
//
// The two threads meet three times a round: to arm, to go and to finish. A thread that
// arrives first spins a little while for the other, so that on free cores both leave a
// meeting within a few hundred nanoseconds and the race is met, and then sleeps on a futex
// word, so that on busy cores it gives its core away instead of costing a scheduler slice
// per round (a yield spin cannot be woken and waits out whatever runs beside it).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/futex.h"

namespace qav::test_support {

// Long enough for a woken thread to be running again on a free core, short enough that a
// round on busy cores costs little more than the sleep it ends in.
inline constexpr std::chrono::microseconds kRaceSpin{200};

// How long a race test runs at most: a loaded machine runs fewer rounds, never longer.
inline constexpr std::chrono::seconds kRaceTimeLimit{5};

// Two threads, each calling Meet(), leave together once both have arrived.
class RaceMeeting {
  public:
    void Meet() {
        const uint32_t generation = m_generation.load();
        if (m_arrived.fetch_add(1) == 1) {
            m_arrived.store(0);
            m_generation.store(generation + 1);
            if (m_sleeping.exchange(false)) {
                platform::FutexWake(m_generation, 1);
            }
            return;
        }
        const auto spinUntil = std::chrono::steady_clock::now() + kRaceSpin;
        for (int spins = 0; m_generation.load() == generation; ++spins) {
            if (spins % 64 == 0 && std::chrono::steady_clock::now() > spinUntil) {
                break;
            }
        }
        // Announced before each last look, so that the other thread's wake cannot be
        // missed. Only a wake clears it: a sleeper woken early announces itself again.
        while (m_generation.load() == generation) {
            m_sleeping.store(true);
            if (m_generation.load() != generation) {
                break;
            }
            platform::FutexWait(m_generation, generation, platform::kNoDeadline);
        }
    }

  private:
    std::atomic<uint32_t> m_arrived{0};
    std::atomic<uint32_t> m_generation{0};
    std::atomic<bool> m_sleeping{false};
};

// Runs rounds 1, 2, ... until `rounds` are done or `limit` has passed. `prepare` and
// `check` run on the calling thread while the other thread waits; `mine` on the calling
// thread and `theirs` on another, both let go at once. Returns the number of rounds run.
template <typename Prepare, typename Mine, typename Theirs, typename Check>
int RunRaceRounds(int rounds, Prepare prepare, Mine mine, Theirs theirs, Check check,
                  std::chrono::steady_clock::duration limit = kRaceTimeLimit) {
    RaceMeeting meeting;
    std::atomic<bool> done{false};
    std::thread other([&] {
        for (int round = 1;; ++round) {
            meeting.Meet();  // armed
            if (done.load()) {
                return;
            }
            meeting.Meet();  // go
            theirs(round);
            meeting.Meet();  // finished
        }
    });
    const auto stopAt = std::chrono::steady_clock::now() + limit;
    int round = 1;
    for (; round <= rounds && std::chrono::steady_clock::now() < stopAt; ++round) {
        prepare(round);
        meeting.Meet();
        meeting.Meet();
        mine(round);
        meeting.Meet();
        check(round);
    }
    done.store(true);
    meeting.Meet();
    other.join();
    return round - 1;
}

}  // namespace qav::test_support
