#include "core/log_sink_link.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "core/event.h"
#include "core/text_logger.h"

namespace qav {
namespace {

using namespace std::chrono_literals;

// A sink whose Log can be held in the middle of a call. The events are the test's: the
// sink may be gone before whoever sets them has returned.
class HeldSink final : public MessageLogger {
  public:
    HeldSink(int level, Event& inside, Event& proceed)
        : m_level(level), m_inside(inside), m_proceed(proceed) {}
    int GetLevel() override { return m_level; }
    void Log(int /*severity*/, const LogMessage& /*message*/) override {
        m_inside.Set();
        m_proceed.Wait(5000);
        ++calls;  // the sink's own state, after the wait
    }

    std::atomic<int> calls{0};

  private:
    const int m_level;
    Event& m_inside;
    Event& m_proceed;
};

TEST(LogSinkLink, HandsOutTheSinkOnlyForSeveritiesItAdmits) {
    RefPtr<LogSinkLink> link(new LogSinkLink);
    EXPECT_FALSE(link->LoggerFor(kSeverityError)) << "no sink set";
    Event inside, proceed;
    proceed.Set();
    HeldSink sink(kSeverityWarning, inside, proceed);
    link->Set(&sink);
    EXPECT_FALSE(link->LoggerFor(kSeverityStatus)) << "below the sink's level";
    {
        auto logger = link->LoggerFor(kSeverityWarning);
        ASSERT_TRUE(logger);
        logger->Log(kSeverityWarning, LogMessage(u"admitted"));
    }
    EXPECT_EQ(sink.calls, 1);
    link->Set(nullptr);
    EXPECT_FALSE(link->LoggerFor(kSeverityError)) << "cleared";
}

// The owner of a sink frees it once it has replaced it; a call in progress on another
// thread must have ended by then.
TEST(LogSinkLink, ReplacingTheSinkWaitsForTheCallsInProgress) {
    RefPtr<LogSinkLink> link(new LogSinkLink);
    Event inside, proceed;
    auto* sink = new HeldSink(kSeverityStatus, inside, proceed);
    link->Set(sink);
    std::thread caller([&] {
        if (auto logger = link->LoggerFor(kSeverityWarning)) {
            logger->Log(kSeverityWarning, LogMessage(u"slow"));
        }
    });
    ASSERT_TRUE(inside.Wait(5000)) << "the call never reached the sink";
    std::atomic<bool> replaced{false};
    std::thread owner([&] {
        link->Set(nullptr);
        replaced = true;
        delete sink;  // what an owner does once the sink is out
    });
    std::this_thread::sleep_for(50ms);  // time enough for a Set that does not wait
    EXPECT_FALSE(replaced) << "the sink was replaced in the middle of a call";
    proceed.Set();
    caller.join();
    owner.join();
    EXPECT_TRUE(replaced);
}

}  // namespace
}  // namespace qav
