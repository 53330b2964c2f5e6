#include "webserver/guest_monitor_channels_map.h"

#include <utility>

namespace qav {

bool GuestMonitorChannelsMap::Add(int32_t id, RefCounted* channel) {
    if (channel == nullptr) {
        return false;
    }
    RefPtr<RefCounted> replaced(channel);
    {
        MutualExclusionLock lock(m_mutex);
        std::swap(m_channels[id], replaced);
    }
    // A replaced channel is released here, outside the lock.
    return true;
}

bool GuestMonitorChannelsMap::Remove(int32_t id) {
    RefPtr<RefCounted> removed;
    {
        MutualExclusionLock lock(m_mutex);
        auto found = m_channels.find(id);
        if (found == m_channels.end()) {
            return false;
        }
        removed = std::move(found->second);
        m_channels.erase(found);
    }
    return true;
}

bool GuestMonitorChannelsMap::Contains(int32_t id) {
    MutualExclusionLock lock(m_mutex);
    return m_channels.count(id) != 0;
}

size_t GuestMonitorChannelsMap::GetCount() {
    MutualExclusionLock lock(m_mutex);
    return m_channels.size();
}

}  // namespace qav
