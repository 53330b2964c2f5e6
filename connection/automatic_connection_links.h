// What a connection context made by an automatic connection knows of its maker: the
// owner it reports its state changes to (it holds a reference to it), and, while it is
// connected, the owner's choice among its parallel connections, which the protocol asks
// when it resends through the best path.
//
// Threads: both are called on the polling thread.
#pragma once

#include <cstdint>
#include <string>

#include "core/ref_counted.h"

namespace qav {

class ConnectionContext;

class ConnectionContextOwner : public virtual RefCounted {
  public:
    // `context` has connected (true) or is gone (false); `localAddress` and `priority` are
    // the context's own.
    virtual void HandleConnectionStateChange(ConnectionContext* context,
                                             const std::string& localAddress, int32_t priority,
                                             bool connected) = 0;

  protected:
    ~ConnectionContextOwner() = default;
};

class AutomaticConnectionManager {
  public:
    // The context to send through: `ownContext` itself while there are fewer than two
    // paths (and `preferred` is left alone), else the best one, also put with a reference
    // into `preferred` (empty when there is none).
    virtual ConnectionContext* GetPreferredConnectionContext(
        ConnectionContext* ownContext, RefPtr<ConnectionContext>& preferred) = 0;
    // The mean free share of the paths' write queues, over those whose share lies in
    // [0, 1]; -1 when none does.
    virtual double GetAverageQueueStatus() = 0;
    // The smallest age of an oldest queued write over the paths; 0 without paths.
    virtual int64_t GetSmallestOldestQueueDelayTime() = 0;
    // How many paths there are.
    virtual int32_t GetConnectionCount() = 0;

  protected:
    ~AutomaticConnectionManager() = default;
};

}  // namespace qav
