#include "routing/address_connections_set.h"

#include <utility>

namespace qav {

void AddressConnectionsVector::DisconnectAll() {
    for (AddressConnection* member : *this) {
        member->Disconnect();
    }
}

bool AddressConnectionsSet::Insert(AddressConnection* member) {
    if (member == nullptr) {
        return false;
    }
    MutualExclusionLock lock(m_mutex);
    if (!m_members.insert(member).second) {
        return false;
    }
    member->AddRef();
    return true;
}

bool AddressConnectionsSet::Erase(AddressConnection* member) {
    {
        MutualExclusionLock lock(m_mutex);
        if (m_members.erase(member) == 0) {
            return false;
        }
    }
    // The member may die here: not under the lock, where its destructor could call back.
    member->Release();
    return true;
}

bool AddressConnectionsSet::Contains(AddressConnection* member) {
    MutualExclusionLock lock(m_mutex);
    return m_members.count(member) != 0;
}

void AddressConnectionsSet::ToVector(ReferenceVector<AddressConnection>& members) {
    MutualExclusionLock lock(m_mutex);
    members.reserve(members.size() + m_members.size());
    for (AddressConnection* member : m_members) {
        members.Append(member);
    }
}

void AddressConnectionsSet::ReleaseAll() {
    ReferenceVector<AddressConnection, 8> released;
    {
        MutualExclusionLock lock(m_mutex);
        released.reserve(m_members.size());
        for (AddressConnection* member : m_members) {
            released.AppendAdopted(member);
        }
        m_members.clear();
    }
}

}  // namespace qav
