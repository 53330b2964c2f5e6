#include "records/log_sink.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <optional>
#include <utility>

#include "core/text_utils.h"
#include "core/wide_text.h"
#include "platform/thread.h"

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

bool LogSink::TryLockBriefly() {
    int pauses = 1;
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        const uint32_t holder = m_mutex.LockingThreadId();
        if (holder == platform::CurrentThreadId()) {
            return false;
        }
        // A look before the try keeps losers from writing to the lock's cache line.
        if (holder == MutualExclusion::kNoThread && m_mutex.Lock(0)) {
            return true;
        }
        for (int pause = 0; pause < pauses; ++pause) {
            platform::PauseProcessor();
        }
        pauses *= 2;
    }
    return false;
}

void LogSink::CountLostMessages(int32_t count) {
    if (count > 0) {
        m_lostMessages.fetch_add(count, std::memory_order_relaxed);
        WakeUpReader();
    }
}

void LogSink::CountLostMessage() {
    CountLostMessages(1);
}

void LogSink::AddMessage(int severity, const LogMessage& message) {
    // Declared before the lock, so that the oldest entry's document is freed after the
    // unlock: the queue usually holds its last reference.
    std::optional<LogSinkEntry> released;
    std::optional<LogSinkEntry> report;
    try {
        // Built before the lock: the shorter the lock is held, the fewer messages are lost.
        report = TakeLossReport();
        if (!TryLockBriefly()) {
            // The messages the report stood for are lost still, and this one with them.
            const int32_t reported = report.has_value() ? report->lostMessages : 0;
            report.reset();
            CountLostMessages(1 + reported);
            return;
        }
        struct Unlock {
            MutualExclusion& mutex;
            ~Unlock() { mutex.Unlock(); }
        } unlock{m_mutex};
        const platform::FileTime now = platform::CurrentFileTime();
        AppendLossReport(now, report, released);
        Append(LogSinkEntry{now, severity, message}, released);
    } catch (const std::bad_alloc&) {
        // The queue could not grow: what was not appended is lost, and counted (a report
        // that got in was taken out of its optional).
        const int32_t reported = report.has_value() ? report->lostMessages : 0;
        CountLostMessages(1 + reported);
        return;
    }
    WakeUpReader();
}

std::optional<LogSinkEntry> LogSink::TakeLossReport() {
    // Counted by threads that never held the lock, so it is taken whole, not read and reset.
    const int32_t lost = m_lostMessages.exchange(0, std::memory_order_relaxed);
    if (lost <= 0) {
        return std::nullopt;
    }
    try {
        const WString text =
            FormatWString(u"%d message%s could not be logged", lost, lost == 1 ? u"" : u"s");
        return LogSinkEntry{0, kSeverityWarning, LogMessage(text), lost};
    } catch (const std::bad_alloc&) {
        // Given back, for a later report that finds the memory.
        m_lostMessages.fetch_add(lost, std::memory_order_relaxed);
        return std::nullopt;
    }
}

void LogSink::AppendLossReport(platform::FileTime time, std::optional<LogSinkEntry>& report,
                               std::optional<LogSinkEntry>& released) {
    if (report.has_value()) {
        report->time = time;
        Append(std::move(*report), released);
        report.reset();
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
    std::deque<LogSinkEntry> taken;
    uint32_t dropped = 0;
    // A loss at the end of a burst has no later message to report it. Built before the
    // lock and given to the reader after it: the loss happened before the take, so the
    // report closes what the take hands out.
    std::optional<LogSinkEntry> report = TakeLossReport();
    {
        // Held only for the swap, so that a reader makes loggers lose as little as possible.
        MutualExclusionLock lock(m_mutex);
        taken.swap(m_queue);
        dropped = std::exchange(m_droppedMessages, 0);
        m_totalCount += report.has_value() ? 1 : 0;
    }
    if (report.has_value()) {
        report->time = platform::CurrentFileTime();
    }
    try {
        out.reserve(out.size() + taken.size() + (report.has_value() ? 1 : 0));
    } catch (const std::bad_alloc&) {
        // The reader has no room for them: they are lost, and counted, so that a later
        // take that finds the memory reports them.
        int64_t lost = report.has_value() ? report->lostMessages : 0;
        for (const LogSinkEntry& entry : taken) {
            lost += entry.lostMessages > 0 ? entry.lostMessages : 1;
        }
        m_lostMessages.fetch_add(static_cast<int32_t>(std::min<int64_t>(lost, INT32_MAX)),
                                 std::memory_order_relaxed);
        return dropped;
    }
    out.insert(out.end(), std::make_move_iterator(taken.begin()),
               std::make_move_iterator(taken.end()));
    if (report.has_value()) {
        out.push_back(std::move(*report));
    }
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
