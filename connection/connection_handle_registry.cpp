#include "connection/connection_handle_registry.h"

#include <utility>

namespace qav {

RefPtr<ConnectionHandle> ConnectionHandleRegistry::GetOrCreate(ConnectionContext* context) {
    if (context == nullptr) {
        return nullptr;
    }
    MutualExclusionLock lock(m_mutex);
    RefPtr<ConnectionHandle>& handle = m_handles[context];
    if (!handle) {
        handle = new RefCountedObject<ConnectionHandle>(context, 0);
    }
    return handle;
}

void ConnectionHandleRegistry::Remove(ConnectionContext* context) {
    RefPtr<ConnectionHandle> removed;
    {
        MutualExclusionLock lock(m_mutex);
        const auto found = m_handles.find(context);
        if (found == m_handles.end()) {
            return;
        }
        removed = std::move(found->second);
        m_handles.erase(found);
    }
    // The last reference to the handle, and with it maybe to the context, goes here,
    // outside the lock.
}

size_t ConnectionHandleRegistry::Clear() {
    std::map<const ConnectionContext*, RefPtr<ConnectionHandle>> removed;
    {
        MutualExclusionLock lock(m_mutex);
        removed.swap(m_handles);
    }
    // Released outside the lock, as in Remove.
    return removed.size();
}

size_t ConnectionHandleRegistry::GetCount() {
    MutualExclusionLock lock(m_mutex);
    return m_handles.size();
}

}  // namespace qav
