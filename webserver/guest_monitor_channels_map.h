// The channels that guest monitors watch, by monitor id. A guest monitor's channel goes
// when the monitor's last connection does.
//
// Threads: any; every operation takes the map's lock and releases channels without it.
#pragma once

#include <cstdint>
#include <map>

#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"

namespace qav {

class GuestMonitorChannelsMap {
  public:
    GuestMonitorChannelsMap() = default;
    GuestMonitorChannelsMap(const GuestMonitorChannelsMap&) = delete;
    GuestMonitorChannelsMap& operator=(const GuestMonitorChannelsMap&) = delete;

    // Keeps `channel` (with a reference) under `id`, replacing one already there. False
    // for a null channel.
    bool Add(int32_t id, RefCounted* channel);
    // Removes the channel with that id and releases it; true when it was there.
    bool Remove(int32_t id);
    bool Contains(int32_t id);
    size_t GetCount();

  private:
    MutualExclusion m_mutex;
    std::map<int32_t, RefPtr<RefCounted>> m_channels;  // guarded by m_mutex
};

}  // namespace qav
