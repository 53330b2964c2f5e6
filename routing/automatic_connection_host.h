// The protocol manager as an automatic connection sees it: where its contexts are kept,
// where their events go, the local addresses it follows, the stream maps it cleans up
// after a monitor, and the settings it hands to each new context. The manager implements
// it; the automatic connection holds it with a reference until it disconnects.
//
// Threads: any; the automatic connection calls it on the polling thread.
#pragma once

#include <cstdint>

#include "core/log_sink_link.h"
#include "core/ref_counted.h"
#include "core/scheduler.h"
#include "webserver/stream_key.h"

namespace qav {

class ConnectionEventSink;
class ConnectionSet;
class GuestMonitorChannelsMap;
class NetworkPacketsManager;
class StreamsMap;

class AutomaticConnectionHost : public virtual RefCounted {
  public:
    // Set once the host releases its resources: no new context is made then.
    virtual bool IsStopping() const = 0;
    virtual ConnectionSet& GetConnectionSet() = 0;
    virtual NetworkPacketsManager& GetNetworkPacketsManager() = 0;
    // Where the transports of new contexts report their events.
    virtual ConnectionEventSink* GetConnectionEventSink() = 0;
    // Where reports go, held by counted reference so that a replaced sink is never freed
    // under a report.
    virtual RefPtr<LogSinkLink> GetLogSinkLink() = 0;
    // Seconds of silence after which a connection is given up.
    virtual int32_t GetDisconnectionTime() const = 0;
    // The scheduler whose jobs run on the polling thread, with a reference; null once
    // stopped.
    virtual RefPtr<Scheduler> GetScheduler() = 0;
    virtual StreamsMap& GetStreamsMap() = 0;
    virtual GuestMonitorChannelsMap& GetGuestMonitorChannelsMap() = 0;
    // Sends a Stop Streaming command for the stream to its device.
    virtual void SendStopStreamingCommand(const StreamKey& key) = 0;

  protected:
    ~AutomaticConnectionHost() = default;
};

}  // namespace qav
