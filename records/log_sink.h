// LogSink: the in-memory log. It keeps the most recent report records, stamped with
// the time, and takes them from any thread without ever making the logging thread
// wait. It is also a TextLogger, for code that only has a text or a format string,
// and a LoggingParameters record, whose severity is its threshold and whose maximum
// number of messages is the length of its queue (0 or less: no limit).
//
// Typical usage:
//   LogSink sink;
//   SetTextLogger(&sink);
//   LogText(&sink, kSeverityError, u"Disk full");
//   std::vector<LogSinkEntry> entries;
//   sink.TakeMessages(entries);  // oldest first
//
// Threads: any thread logs. Logging only tries the sink's lock; when another thread
// holds it the message is dropped and counted, and the count is reported in the queue
// as "%d message%s could not be logged" just before the next message that gets in.
// The queue and the total count are touched only under the lock.
//
// Configuration may run while other threads log: the threshold and the maximum are
// read and written atomically, so change them only through SetLogSeverity,
// SetMaxNumberOfLogMessages or ReadXml, never by assigning the fields. One thread at a
// time configures the sink.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "core/format.h"
#include "core/log_message.h"
#include "core/mutual_exclusion.h"
#include "core/text_logger.h"
#include "platform/clock.h"
#include "records/logging_parameters.h"

namespace qav {

struct LogSinkEntry {
    platform::FileTime time;  // UTC
    int32_t severity;
    LogMessage message;
};

class LogSink : public MessageLogger, public TextLogger, public virtual LoggingParameters {
  public:
    // Threshold Warning, at most 200 messages.
    LogSink();
    ~LogSink() override = default;
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    // The threshold: messages below it are neither kept nor counted.
    int GetLevel() override;
    void Log(int severity, const LogMessage& message) override;
    // The text is UTF-8.
    void LogText(int severity, std::string_view text) override;
    // Formatted texts are cut to 499 characters.
    void LogFormatV(int severity, std::string_view format, FormatArgs args) override;

    // Appends whatever the threshold; never waits for the lock (see above).
    void AddMessage(int severity, const LogMessage& message);

    // Moves the queued entries, oldest first, to the end of `out`. Waits for the lock.
    void TakeMessages(std::vector<LogSinkEntry>& out);
    // Messages appended since construction, loss reports included. Waits for the lock.
    uint32_t GetTotalCount();

    void SetLogSeverity(int32_t severity);
    void SetMaxNumberOfLogMessages(int32_t maximum);
    // Reads the record and stores the two values atomically.
    void ReadXml(XmlElement element) override;

  protected:
    // For tests that need the lock held by another thread.
    MutualExclusion& GetMutex() { return m_mutex; }

  private:
    static constexpr size_t kFormatCapacity = 500;

    // REQUIRES: m_mutex held. The first entry dropped goes to `released`.
    void Append(platform::FileTime time, int severity, const LogMessage& message,
                std::optional<LogSinkEntry>& released);

    std::deque<LogSinkEntry> m_queue;  // GUARDED_BY(m_mutex)
    MutualExclusion m_mutex;
    // Incremented by threads that found the lock busy; taken by the next that got it.
    std::atomic<int32_t> m_lostMessages{0};
    uint32_t m_totalCount = 0;  // GUARDED_BY(m_mutex); wraps
};

}  // namespace qav
