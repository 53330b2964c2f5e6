// ConnectionSet: the protocol manager's registry of its live connection contexts, each
// held with one reference, in the order they were added. The network code searches it
// for a context to reuse and disconnects through it the contexts that lost their path.
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
// cannot both disconnect one context.
//
// Threads: any. The set's lock guards only its list: contexts are called and released
// with it let go, so a context may call back into the set.
#pragma once

#include <cstdint>
#include <string_view>
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

    // False for null or a context already listed.
    bool AddContext(ConnectionContext* context);

    // The most recently added context for which ConnectionContext::MatchesConnection is
    // true, or null.
    RefPtr<ConnectionContext> FindMatchingContext(PlatformServices* services,
                                                  const WChar* interfaceName,
                                                  const char* localAddress, const char* target,
                                                  int32_t tcpPort, int32_t udpPort);
    RefPtr<ConnectionContext> FindContextById(int32_t id);

    // When `context` is listed: disconnects it, takes it out of the set, drops the
    // caller's reference (`context` becomes null) and returns true. Otherwise changes
    // nothing.
    bool DisconnectIfMember(RefPtr<ConnectionContext>& context);
    // Takes the context out of the set and disconnects it; false, and nothing done, when
    // it is not listed (any more).
    bool Disconnect(ConnectionContext* context);
    // Disconnects and drops every listed context; returns how many.
    int32_t DisconnectAll();

    size_t GetCount();
    // Appends every listed context, each with a reference.
    void Snapshot(std::vector<RefPtr<ConnectionContext>>& out);

  private:
    MutualExclusion m_mutex;
    std::vector<RefPtr<ConnectionContext>> m_contexts;  // guarded by m_mutex
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
