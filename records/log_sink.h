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
//   uint32_t dropped = sink.TakeMessages(entries);  // oldest first
//
// Threads: any thread logs. Logging only tries the sink's lock, a few times without
// sleeping (its holders keep it for an append or a swap), never waiting for a holder;
// when the tries fail the message is dropped and counted, and the count is reported in
// the queue as "%d message%s could not be logged" just before the next message that gets
// in, or at the end of what the next TakeMessages takes. A message that cannot be kept
// for lack of memory is counted the same way. A message pushed out of a full queue is
// counted too, and TakeMessages hands the count out: no message goes unaccounted. The
// queue and the counts are touched only under the lock.
//
// A reader that prints messages as they come sets a wake-up event: the sink sets it,
// outside its lock, whenever a message is queued or lost.
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

#include "core/event.h"
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
    // For a loss report, the number of messages it stands for; 0 for any other message.
    int32_t lostMessages = 0;
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
    // Counts one message that could not be built; reported as any other loss.
    void CountLostMessage() override;
    // Counts `count` messages lost on their way out of the sink (a reader that could not
    // keep them); reported as any other loss.
    void CountLostMessages(int32_t count);

    // Moves the queued entries, oldest first, to the end of `out`, a report of any loss
    // not yet reported last. Returns how many messages the maximum pushed out of the
    // queue since the last call (a loss report pushed out counts as the messages it
    // stands for). Waits for the lock, and holds it only to swap the queue out.
    uint32_t TakeMessages(std::vector<LogSinkEntry>& out);
    // Messages appended since construction, loss reports included. Waits for the lock.
    uint32_t GetTotalCount();

    // Set whenever a message is queued or lost; null (the default) for none. The event
    // must outlive the sink's use of it: clear it, or destroy the sink, first.
    void SetWakeUpEvent(Event* event);

    void SetLogSeverity(int32_t severity);
    void SetMaxNumberOfLogMessages(int32_t maximum);
    // Reads the record and stores the two values atomically.
    void ReadXml(XmlElement element) override;

  protected:
    // For tests that need the lock held by another thread.
    MutualExclusion& GetMutex() { return m_mutex; }

  private:
    static constexpr size_t kFormatCapacity = 500;
    // Tries of the lock before a message counts as lost. The pauses between them double,
    // so that all of them together take a few microseconds at most.
    static constexpr int kLockAttempts = 8;

    // Locks m_mutex within kLockAttempts tries; false when another thread held it all
    // along, or when the calling thread holds it already (a report made from inside the
    // sink, which the recursive lock would let into the middle of an append).
    bool TryLockBriefly();

    // REQUIRES: m_mutex held. The first entry dropped goes to `released`.
    void Append(LogSinkEntry entry, std::optional<LogSinkEntry>& released);
    // The report of the messages lost so far, which it takes from the count; none when
    // nothing was lost. Built outside the lock.
    std::optional<LogSinkEntry> TakeLossReport();
    // REQUIRES: m_mutex held. Queues the report taken, if any, stamped with `time`, and
    // empties `report`.
    void AppendLossReport(platform::FileTime time, std::optional<LogSinkEntry>& report,
                          std::optional<LogSinkEntry>& released);
    void WakeUpReader();

    std::deque<LogSinkEntry> m_queue;  // GUARDED_BY(m_mutex)
    MutualExclusion m_mutex;
    // Incremented by threads that found the lock busy; taken by the next that got it.
    std::atomic<int32_t> m_lostMessages{0};
    uint32_t m_totalCount = 0;  // GUARDED_BY(m_mutex); wraps
    // Pushed out by the maximum since the last TakeMessages. GUARDED_BY(m_mutex)
    uint32_t m_droppedMessages = 0;
    std::atomic<Event*> m_wakeUp{nullptr};
};

}  // namespace qav
