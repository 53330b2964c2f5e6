// Told of each connection that an automatic connection opens or loses: the start of the
// main-server connection may give one, to show the user which path carries the node.
//
// Threads: each automatic connection calls it one call at a time, in the order of the
// changes, without its locks held: mostly on the polling thread, but a change made on
// another thread (a Disconnect) is told on that thread, or on the one already telling
// earlier changes.
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
