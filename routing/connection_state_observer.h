// Told of each connection that an automatic connection opens or loses: the start of the
// main-server connection may give one, to show the user which path carries the node.
//
// Threads: each automatic connection calls it one call at a time, in the order of the
// changes, without its locks held: mostly on the polling thread, but a change made on
// another thread (a Disconnect) is told on that thread, or on the one already telling
// earlier changes.
//
// Once the automatic connection's Disconnect has returned, the observer has heard every
// change and is never called again by it, so what it writes to may go then. Disconnect
// waits for a call in progress on another thread to end, so an observer must not wait
// for a thread that may be calling Disconnect on the same connection (joining it, or
// taking a lock that thread holds around the call): each would wait for the other. It
// may call Disconnect itself; that call does not wait for it.
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
