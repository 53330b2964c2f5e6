// Helpers shared by the tests of the polling thread and of its owners.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "core/scheduler.h"

namespace qav::test_support {

// Polls `condition` for up to 5 s: long enough for any loaded machine.
inline bool Eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 500 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// Counts its runs and aborts; runs `body` inside Run and asks to run again if `repeat`.
class CountingJob final : public ScheduledJob {
  public:
    explicit CountingJob(bool repeat = false, std::function<void()> body = {})
        : m_repeat(repeat), m_body(std::move(body)) {}

    void Run(Scheduler&, uint32_t, uint32_t, bool& again) override {
        if (m_body) {
            m_body();
        }
        runs.fetch_add(1);
        again = m_repeat;
    }
    void Abort(Scheduler&, uint32_t, uint32_t) override { aborts.fetch_add(1); }

    std::atomic<int> runs{0};
    std::atomic<int> aborts{0};

  private:
    bool m_repeat;
    std::function<void()> m_body;
};

}  // namespace qav::test_support
