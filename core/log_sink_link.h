// The log sink of the network packets manager as everything it made sees it: one shared
// link instead of a copy of the sink in each receiver entry and address, so that a sink set
// later reaches the objects made earlier, and an object that outlives the manager logs
// nowhere once the manager has cleared the link.
//
// The sink is not reference counted (its owner frees it), so the link hands it out as a
// counted Logger, and replacing or clearing the sink waits until every Logger of the old
// one is let go: once Set has returned, no call into the old sink is in progress or can
// begin, and its owner may free it.
//
// Typical usage:
//   if (auto logger = link->LoggerFor(kSeverityWarning)) {
//       LogMessage message(u"Lost local address");
//       logger->Log(kSeverityWarning, message);
//   }
//
// Threads: any. Hold a Logger only for the calls at hand: Set waits for it, so a thread
// that holds one must not call Set on the same link.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/event.h"
#include "core/log_message.h"
#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"

namespace qav {

class LogSinkLink final : public RefCountedObject<RefCounted> {
  public:
    class Logger;

    LogSinkLink() = default;

    // Null: nowhere. Returns once no call into the sink set before is in progress.
    void Set(MessageLogger* sink);

    // The sink when it admits `severity`, else null, so that a report nobody keeps is
    // never built.
    RefPtr<Logger> LoggerFor(int severity) const;

  private:
    ~LogSinkLink() override = default;

    mutable MutualExclusion m_mutex;
    RefPtr<Logger> m_logger;  // guarded by m_mutex
};

// One installed sink, as the link hands it out.
class LogSinkLink::Logger final : public MessageLogger {
  public:
    int GetLevel() override { return m_sink->GetLevel(); }
    void Log(int severity, const LogMessage& message) override { m_sink->Log(severity, message); }
    void CountLostMessage() override { m_sink->CountLostMessage(); }


    int32_t AddRef() { return m_references.fetch_add(1, std::memory_order_relaxed) + 1; }
    int32_t Release();

  private:
    friend class LogSinkLink;

    // Set when the last reference to a replaced logger is gone.
    class Retirement final : public RefCountedObject<RefCounted> {
      public:
        Event done;

      private:
        ~Retirement() override = default;
    };

    explicit Logger(MessageLogger* sink) : m_sink(sink) {}
    ~Logger() = default;

    MessageLogger* const m_sink;
    std::atomic<int32_t> m_references{0};
    // Written once, by the replacing Set while it still holds its reference; read by the
    // last Release.
    RefPtr<Retirement> m_retirement;
};

}  // namespace qav
