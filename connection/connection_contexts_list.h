// ConnectionContextsList: the connections over which one capture device is reached, in
// the order they were added. The first is the device's default connection; the others
// stand by. The list answers what routing asks: is a connection one of them, which is
// the default, which has the shortest send queue, which records a given channel, and
// which to report in a status message. It holds a reference to every listed context.
//
// Typical usage:
//   list.AddConnection(context);
//   RefPtr<ConnectionContext> route;
//   if (list.GetMostAvailable(route) != nullptr) route->SendMessage(...);
//
// Threads: any thread. The entries are guarded by the list's lock; questions that call
// into the contexts do so on a snapshot taken under the lock and with the lock let go,
// so a context may call back into the list from any thread. References are dropped
// after the lock is let go too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "connection/connection_context.h"
#include "core/mutual_exclusion.h"
#include "core/wide_text.h"

namespace qav {

// One connection of a status message: the peer's address text and the context's status
// figure.
struct ConnectionStatusEntry {
    std::string address;
    int32_t statusFigure = 0;
};

class ConnectionContextsList {
  public:
    static constexpr size_t kMaxEntries = 0x3FFFFFFF;

    ConnectionContextsList() = default;
    ConnectionContextsList(const ConnectionContextsList&) = delete;
    ConnectionContextsList& operator=(const ConnectionContextsList&) = delete;

    // Drops every entry and its reference.
    void ReleaseAll();
    // Appends the context (a context may be listed twice); false for null or a full list.
    bool AddConnection(ConnectionContext* context);
    bool FindConnection(const ConnectionContext* context);
    // Drops the first entry that is the context; true only when that was the default.
    bool RemoveConnection(const ConnectionContext* context);

    // The default context, also assigned to `out`; null, with `out` untouched, for an
    // empty list.
    ConnectionContext* GetDefault(RefPtr<ConnectionContext>& out);
    // The context with the shortest write queue, the lower priority value on equal
    // lengths and the earlier entry on equal both; assigned to `out`, null for an empty
    // list.
    ConnectionContext* GetMostAvailable(RefPtr<ConnectionContext>& out);

    // Names every listed context; an empty name changes nothing.
    void SetName(WStringView name);
    // The first manual recording of these channels that a context without the attach
    // flag reports; -1 when none does.
    int32_t FindRecording(int32_t deviceId, int32_t videoChannel, int32_t audioChannel);
    // Appends an entry for each context with the attach flag and an address text; returns
    // how many were appended.
    int32_t FillStatusMessage(std::vector<ConnectionStatusEntry>& connections);

  private:
    using Entries = std::vector<RefPtr<ConnectionContext>>;

    Entries Snapshot();

    MutualExclusion m_mutex;
    Entries m_entries;  // guarded by m_mutex
};

}  // namespace qav
