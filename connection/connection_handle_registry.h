// ConnectionHandleRegistry: at most one ConnectionHandle per connection context, made on
// first demand and dropped when the connection goes away. The registry holds one
// reference to each handle, so a handle (and through it its context) lives at least
// until Remove.
//
// Typical usage:
//   RefPtr<ConnectionHandle> handle = registry.GetOrCreate(context);  // same one each time
//   ...
//   registry.Remove(context);  // the connection is gone
//
// Threads: any thread; the map is guarded by the registry's lock, and handles are
// released after it is let go.
#pragma once

#include <map>

#include "connection/connection_context.h"
#include "connection/connection_handle.h"
#include "core/mutual_exclusion.h"

namespace qav {

class ConnectionHandleRegistry {
  public:
    ConnectionHandleRegistry() = default;
    ConnectionHandleRegistry(const ConnectionHandleRegistry&) = delete;
    ConnectionHandleRegistry& operator=(const ConnectionHandleRegistry&) = delete;

    // The context's handle, made when it has none; null for a null context. The caller's
    // reference is its own: a Remove on another thread cannot pull the handle away.
    RefPtr<ConnectionHandle> GetOrCreate(ConnectionContext* context);
    // Drops the registry's reference to the context's handle; nothing when it has none.
    void Remove(ConnectionContext* context);
    // Drops every handle (their owner is going away); returns how many there were.
    size_t Clear();
    size_t GetCount();

  private:
    MutualExclusion m_mutex;
    // Keyed by the full pointer; the handle's reference keeps the key's context alive, so
    // its address cannot be reused while it is listed. Guarded by m_mutex.
    std::map<const ConnectionContext*, RefPtr<ConnectionHandle>> m_handles;
};

}  // namespace qav
