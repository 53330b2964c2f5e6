// The log sink of the network packets manager as everything it made sees it: one shared
// link instead of a copy of the sink in each receiver entry and address, so that a sink set
// later reaches the objects made earlier, and an object that outlives the manager logs
// nowhere once the manager has cleared the link.
//
// Typical usage:
//   if (MessageLogger* logger = link->LoggerFor(kSeverityWarning)) {
//       LogMessage message(u"Lost local address");
//       logger->Log(kSeverityWarning, message);
//   }
//
// Threads: any. The sink set must stay valid until it is replaced or cleared.
#pragma once

#include <atomic>

#include "core/log_message.h"
#include "core/ref_counted.h"

namespace qav {

class LogSinkLink final : public RefCountedObject<RefCounted> {
  public:
    LogSinkLink() = default;

    // Null: nowhere.
    void Set(MessageLogger* sink) { m_sink.store(sink, std::memory_order_release); }

    // The sink when it admits `severity`, else null, so that a report nobody keeps is
    // never built.
    MessageLogger* LoggerFor(int severity) const {
        MessageLogger* sink = m_sink.load(std::memory_order_acquire);
        return sink != nullptr && sink->GetLevel() <= severity ? sink : nullptr;
    }

  private:
    ~LogSinkLink() override = default;

    std::atomic<MessageLogger*> m_sink{nullptr};
};

}  // namespace qav
