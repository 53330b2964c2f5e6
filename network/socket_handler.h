// What a socket object implements to be driven by the socket wait loop: it names its
// descriptor and the events it waits for, and receives the calls for the events that
// arrive. Servers, reliable connections and datagram listeners implement it beside their
// reference count.
//
// Typical usage:
//   class Listener : public RefCountedObject<SocketHandler> { ... };
//   manager.AddHandler(listener);   // the manager keeps a reference while registered
//
// Threads: every operation is called by a thread inside SocketHandlerManager::Wait.
// GetWaitEvents (and GetSocket when registered) run under the manager's lock and must not
// call back into the manager; the Handle* and ProcessInput calls run without any lock of
// the manager and may add or remove handlers, this one included.
#pragma once

#include <cstdint>

#include "core/ref_counted.h"

namespace qav {

class SocketHandler : public virtual RefCounted {
  public:
    enum : uint32_t { kWaitInput = 1, kWaitOutput = 2 };

    // The events this socket waits for now: kWaitInput | kWaitOutput. 0 leaves the socket
    // out of the turns until it answers otherwise. The loop need not ask it every turn:
    // an answer that changes other than inside this handler's own calls, while it is not
    // 0, must be told with SocketHandlerManager::WaitEventsChanged.
    virtual uint32_t GetWaitEvents() = 0;
    // The descriptor; the key of the registration. It must not change while registered,
    // and it is closed only after SocketHandlerManager::RemoveHandler: under epoll a
    // descriptor closed while registered is never reported, its handler never called again.
    virtual int GetSocket() = 0;
    // Input is ready. The value returned is handed to ProcessInput right after.
    virtual intptr_t HandleInput() = 0;
    virtual void ProcessInput(intptr_t value) = 0;
    // Output is possible.
    virtual void HandleOutput() = 0;
    // The socket reported an error or a hang-up.
    virtual void HandleError() = 0;

  protected:
    ~SocketHandler() = default;
};

}  // namespace qav
