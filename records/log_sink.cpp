#include "records/log_sink.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <optional>
#include <utility>

#include "core/text_utils.h"
#include "core/wide_text.h"

namespace qav {

namespace {

// The threshold and the maximum are plain fields of the record, read by every logging
// thread while a configuring thread may change them.
static_assert(std::atomic_ref<int32_t>::required_alignment <= alignof(int32_t));

int32_t LoadShared(int32_t& field) {
    return std::atomic_ref<int32_t>(field).load(std::memory_order_relaxed);
}

void StoreShared(int32_t& field, int32_t value) {
    std::atomic_ref<int32_t>(field).store(value, std::memory_order_relaxed);
}

LogMessage MessageFromUtf8(std::string_view text) {
    WString wide;
    Utf8ToWide(text.data(), static_cast<int>(std::min<size_t>(text.size(), INT_MAX)), wide,
               nullptr);
    return LogMessage(wide);
}

}  // namespace

LogSink::LogSink() {
    // The record's fields belong to the virtual base; the sink decides their start values.
    StoreShared(m_logSeverity, kSeverityWarning);
    StoreShared(m_maxNumberOfLogMessages, 200);
}

int LogSink::GetLevel() {
    return LoadShared(m_logSeverity);
}

void LogSink::Log(int severity, const LogMessage& message) {
    if (severity >= GetLevel()) {
        AddMessage(severity, message);
    }
}

void LogSink::LogText(int severity, std::string_view text) {
    if (severity >= GetLevel()) {
        AddMessage(severity, MessageFromUtf8(text));
    }
}

void LogSink::LogFormatV(int severity, std::string_view format, FormatArgs args) {
    if (severity < GetLevel()) {
        return;
    }
    char text[kFormatCapacity];
    FormatTextV(text, sizeof text, format, args);  // a text too long is cut, and terminated
    AddMessage(severity, MessageFromUtf8(text));
}

void LogSink::AddMessage(int severity, const LogMessage& message) {
    // Declared before the lock, so that the oldest entry's document is freed after the
    // unlock: the queue usually holds its last reference.
    std::optional<LogSinkEntry> released;
    // A look before the try keeps losers from writing to the lock's cache line. It also
    // turns a report made from inside the sink by the lock's owner into a loss, where the
    // recursive lock would let it into the middle of an append.
    if (m_mutex.LockingThreadId() != MutualExclusion::kNoThread) {
        m_lostMessages.fetch_add(1, std::memory_order_relaxed);
        WakeUpReader();
        return;
    }
    // Built before the lock: the shorter the lock is held, the fewer messages are lost.
    std::optional<LogSinkEntry> report = TakeLossReport();
    {
        MutualExclusionLock lock(m_mutex, 0);
        if (!lock.IsLocked()) {
            // The messages the report stood for are lost still, and this one with them.
            const int32_t reported = report.has_value() ? report->lostMessages : 0;
            m_lostMessages.fetch_add(1 + reported, std::memory_order_relaxed);
        } else {
            const platform::FileTime now = platform::CurrentFileTime();
            AppendLossReport(now, report, released);
            Append(LogSinkEntry{now, severity, message}, released);
        }
    }
    WakeUpReader();
}

std::optional<LogSinkEntry> LogSink::TakeLossReport() {
    // Counted by threads that never held the lock, so it is taken whole, not read and reset.
    const int32_t lost = m_lostMessages.exchange(0, std::memory_order_relaxed);
    if (lost <= 0) {
        return std::nullopt;
    }
    const WString text =
        FormatWString(u"%d message%s could not be logged", lost, lost == 1 ? u"" : u"s");
    return LogSinkEntry{0, kSeverityWarning, LogMessage(text), lost};
}

void LogSink::AppendLossReport(platform::FileTime time, std::optional<LogSinkEntry>& report,
                               std::optional<LogSinkEntry>& released) {
    if (report.has_value()) {
        report->time = time;
        Append(std::move(*report), released);
    }
}

void LogSink::Append(LogSinkEntry entry, std::optional<LogSinkEntry>& released) {
    const int32_t maximum = LoadShared(m_maxNumberOfLogMessages);
    if (maximum > 0) {
        while (m_queue.size() >= static_cast<size_t>(maximum)) {
            LogSinkEntry& oldest = m_queue.front();
            m_droppedMessages +=
                oldest.lostMessages > 0 ? static_cast<uint32_t>(oldest.lostMessages) : 1u;
            if (!released.has_value()) {
                released.emplace(std::move(oldest));
            }
            m_queue.pop_front();
        }
    }
    m_queue.push_back(std::move(entry));
    ++m_totalCount;
}

void LogSink::WakeUpReader() {
    if (Event* event = m_wakeUp.load(std::memory_order_acquire)) {
        event->Set();
    }
}

uint32_t LogSink::TakeMessages(std::vector<LogSinkEntry>& out) {
    std::optional<LogSinkEntry> released;
    std::deque<LogSinkEntry> taken;
    uint32_t dropped = 0;
    // A loss at the end of a burst has no later message to report it.
    std::optional<LogSinkEntry> report = TakeLossReport();
    {
        // Held only for the swap, so that a reader makes loggers lose as little as possible.
        MutualExclusionLock lock(m_mutex);
        AppendLossReport(platform::CurrentFileTime(), report, released);
        taken.swap(m_queue);
        dropped = std::exchange(m_droppedMessages, 0);
    }
    out.insert(out.end(), std::make_move_iterator(taken.begin()),
               std::make_move_iterator(taken.end()));
    return dropped;
}

void LogSink::SetWakeUpEvent(Event* event) {
    m_wakeUp.store(event, std::memory_order_release);
}

uint32_t LogSink::GetTotalCount() {
    MutualExclusionLock lock(m_mutex);
    return m_totalCount;
}

void LogSink::SetLogSeverity(int32_t severity) {
    StoreShared(m_logSeverity, severity);
}

void LogSink::SetMaxNumberOfLogMessages(int32_t maximum) {
    StoreShared(m_maxNumberOfLogMessages, maximum);
}

void LogSink::ReadXml(XmlElement element) {
    // Read into a copy, so that loggers never see a half-written field.
    LoggingParameters read;
    read.m_logSeverity = LoadShared(m_logSeverity);
    read.m_maxNumberOfLogMessages = LoadShared(m_maxNumberOfLogMessages);
    read.m_autoRefresh = m_autoRefresh;
    read.ReadXml(element);
    StoreShared(m_logSeverity, read.m_logSeverity);
    StoreShared(m_maxNumberOfLogMessages, read.m_maxNumberOfLogMessages);
    m_autoRefresh = read.m_autoRefresh;
}

}  // namespace qav
