// AddressConnection: an object that follows the local addresses of one platform (the
// automatic connection is one): it is told of each new local address and each lost one,
// and it can be disconnected. AddressConnectionsSet: the members that follow one address
// list, each held with one reference. AddressConnectionsVector: a snapshot of them, so
// that members are called with no lock of the set held and may call back into the set
// (a disconnecting member typically removes itself).
//
// Typical usage (what the address list does when its platform goes away):
//   AddressConnectionsVector members;
//   set.ToVector(members);
//   members.DisconnectAll();
//   set.ReleaseAll();
//   // the snapshot's references go with `members`
//
// Threads: the set's operations from any thread, each under the set's lock; no member is
// called and no reference released while it is held. A snapshot is used by one thread.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "core/mutual_exclusion.h"
#include "core/reference_vector.h"
#include "core/wide_text.h"
#include "network/connection_stream.h"

namespace qav {

class PlatformServices;

class AddressConnection : public Disconnectable {
  public:
    // Disconnect (from Disconnectable): ends everything the object started; the set does
    // not call it again afterwards.

    // Both are told the address's platform, interface name, interface type (a
    // NetworkInterfaceType value), priority (the interface's rank, lower preferred) and
    // address text.
    virtual void HandleNewInterface(PlatformServices* services, const WString& interfaceName,
                                    int32_t interfaceType, int32_t priority,
                                    const std::string& address) = 0;
    virtual void HandleLostLocalAddress(PlatformServices* services, const WString& interfaceName,
                                        int32_t interfaceType, int32_t priority,
                                        const std::string& address) = 0;

  protected:
    ~AddressConnection() = default;
};

class AddressConnectionsVector : public ReferenceVector<AddressConnection> {
  public:
    // Disconnect on each member in order.
    void DisconnectAll();
};

class AddressConnectionsSet {
  public:
    AddressConnectionsSet() = default;
    AddressConnectionsSet(const AddressConnectionsSet&) = delete;
    AddressConnectionsSet& operator=(const AddressConnectionsSet&) = delete;
    ~AddressConnectionsSet() { ReleaseAll(); }

    // Adds the member with one reference; false (and no reference) for null or a member.
    bool Insert(AddressConnection* member);
    // Drops the member and its reference; false when it is none.
    bool Erase(AddressConnection* member);
    bool Contains(AddressConnection* member);

    // Appends every member, each with a reference, to `members`.
    void ToVector(ReferenceVector<AddressConnection>& members);
    // Drops every member and its reference.
    void ReleaseAll();

  private:
    MutualExclusion m_mutex;
    // Ordered by address only to find members quickly; the order means nothing. Each
    // holds one reference. Guarded by m_mutex.
    std::set<AddressConnection*> m_members;
};

}  // namespace qav
