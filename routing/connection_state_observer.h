// Told of each connection that an automatic connection opens or loses: the start of the
// main-server connection may give one, to show the user which path carries the node.
//
// Threads: called on the polling thread, without locks of the automatic connection held.
#pragma once

#include <cstdint>
#include <string>

#include "core/ref_counted.h"

namespace qav {

class ConnectionContext;

class ConnectionStateObserver : public virtual RefCounted {
  public:
    // `context` connected (true) or was lost (false) through the local address
    // `localAddress` whose priority is `priority`.
    virtual void ConnectionStateChanged(ConnectionContext* context, const std::string& localAddress,
                                        int32_t priority, bool connected) = 0;

  protected:
    ~ConnectionStateObserver() = default;
};

}  // namespace qav
