// ConnectionSet: the protocol manager's registry of its live connection contexts, each
// held with one reference, in the order they were added. The network code searches it
// for a context to reuse and disconnects through it the contexts that lost their path;
// the manager's intake finds the context of a connection event by its transport. Finding
// by id or by transport, adding and removing take constant time however many contexts
// are listed; only the searches by connection and the snapshots walk the list.
// ConnectionContextVector: a snapshot of the set, each context with a reference, for the
// loops that call into contexts.
//
// Typical usage:
//   set.AddContext(context);
//   ConnectionContextVector contexts(set);
//   contexts.DisconnectByLocalAddress(services, "10.0.0.1");
//
// A context is disconnected through the set at most once: Disconnect disconnects only the
// context it took out of the set, so two threads working on snapshots of the same set
// cannot both disconnect one context. Whatever takes a context out of the set (Disconnect,
// RemoveContext, DisconnectAll) ends it: ConnectionContext::ReportEnded tells its owner,
// and the set's ended handler hears of it, so every owner learns of every end in one
// place, whoever caused it.
//
// Threads: any. The set's lock guards only its list: contexts are called and released
// with it let go, so a context may call back into the set.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "connection/connection_context.h"
#include "core/mutual_exclusion.h"
#include "core/wide_text.h"

namespace qav {

class PlatformServices;

class ConnectionSet {
  public:
    ConnectionSet() = default;
    ConnectionSet(const ConnectionSet&) = delete;
    ConnectionSet& operator=(const ConnectionSet&) = delete;
    // Releases the contexts still listed without disconnecting them.
    ~ConnectionSet() = default;

    // Called with each context that left the set, after it was disconnected (when it was)
    // and its owner told, without the set's lock. Set before the set is shared.
    using EndedHandler = std::function<void(ConnectionContext*)>;
    void SetEndedHandler(EndedHandler handler) { m_endedHandler = std::move(handler); }

    // False for null, a context already listed, or one whose transport is another listed
    // context's. The context is found by the transport it has now (none: not by
    // transport); a transport it gets later is not indexed.
    bool AddContext(ConnectionContext* context);

    // The most recently added context for which ConnectionContext::MatchesConnection is
    // true, or null.
    RefPtr<ConnectionContext> FindMatchingContext(PlatformServices* services,
                                                  const WChar* interfaceName,
                                                  const char* localAddress, const char* target,
                                                  int32_t tcpPort, int32_t udpPort);
    RefPtr<ConnectionContext> FindContextById(int32_t id);
    // The listed context whose transport `stream` was when it was added, or null.
    RefPtr<ConnectionContext> FindContextByStream(const ConnectionStream* stream);

    // When `context` is listed: disconnects it, takes it out of the set, drops the
    // caller's reference (`context` becomes null) and returns true. Otherwise changes
    // nothing.
    bool DisconnectIfMember(RefPtr<ConnectionContext>& context);
    // Takes the context out of the set and disconnects it; false, and nothing done, when
    // it is not listed (any more).
    bool Disconnect(ConnectionContext* context);
    // Takes the context out of the set without disconnecting it (its transport is gone);
    // false when it is not listed.
    bool RemoveContext(ConnectionContext* context);
    // Disconnects and drops every listed context; returns how many.
    int32_t DisconnectAll();

    size_t GetCount();
    // Appends every listed context, each with a reference.
    void Snapshot(std::vector<RefPtr<ConnectionContext>>& out);

  private:
    // One listed context; the entries are chained in the order they were added. The map's
    // nodes never move, so the links stay valid as the map grows.
    struct Entry {
        RefPtr<ConnectionContext> context;
        const ConnectionStream* stream = nullptr;
        Entry* previous = nullptr;
        Entry* next = nullptr;
    };

    // The entry of exactly this context, or null. REQUIRES: m_mutex held.
    Entry* FindEntry(const ConnectionContext* context);
    // Unlinks and erases the entry, handing its reference to the caller, who releases it
    // with the lock let go. REQUIRES: m_mutex held.
    RefPtr<ConnectionContext> TakeEntry(Entry* entry);
    // The listed context taken out of the set with the set's reference; null when it is
    // not listed.
    RefPtr<ConnectionContext> TakeContext(ConnectionContext* context);
    // Ends a context that left the set. REQUIRES: m_mutex NOT held.
    void Ended(ConnectionContext* context);

    EndedHandler m_endedHandler;

    MutualExclusion m_mutex;
    // Guarded by m_mutex. Ids are unique per context for the process's life; a listed
    // context keeps its transport alive, so a transport's address is not reused while
    // it is indexed.
    std::unordered_map<int32_t, Entry> m_byId;
    // The context of each transport, held by its entry.
    std::unordered_map<const ConnectionStream*, ConnectionContext*> m_byStream;
    Entry* m_first = nullptr;
    Entry* m_last = nullptr;
};

class ConnectionContextVector {
  public:
    explicit ConnectionContextVector(ConnectionSet& set);
    ConnectionContextVector(const ConnectionContextVector&) = delete;
    ConnectionContextVector& operator=(const ConnectionContextVector&) = delete;

    // Disconnects, through the set, every context of `services` bound to `localAddress`;
    // returns how many this call disconnected.
    int32_t DisconnectByLocalAddress(PlatformServices* services, std::string_view localAddress);
    // Disconnects, through the set, every context whose priority is `priority` or worse
    // (greater) and that matches (target, ports) on any interface and local address;
    // returns how many this call disconnected.
    int32_t DisconnectByPriority(PlatformServices* services, int32_t priority, const char* target,
                                 int32_t tcpPort, int32_t udpPort);

    size_t size() const { return m_contexts.size(); }

  private:
    ConnectionSet& m_set;
    std::vector<RefPtr<ConnectionContext>> m_contexts;
};

}  // namespace qav
