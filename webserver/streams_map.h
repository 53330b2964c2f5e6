// The live streams of the node, by stream key, each with the monitors that watch it. A
// stream that loses its last monitor is erased, and its key handed back so that its
// device can be told to stop streaming.
//
// Threads: any; every operation takes the map's lock.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "core/mutual_exclusion.h"
#include "webserver/stream_key.h"

namespace qav {

class StreamsMap {
  public:
    // Kinds of monitor that watch streams.
    static constexpr int32_t kMonitorGuest = 1;
    static constexpr int32_t kMonitorAutomatic = 2;

    StreamsMap() = default;
    StreamsMap(const StreamsMap&) = delete;
    StreamsMap& operator=(const StreamsMap&) = delete;

    // The monitor (kind, id) watches the stream, made on first use.
    void AddMonitor(const StreamKey& key, int32_t monitorKind, int32_t monitorId);
    // Removes the monitor from every stream, erases the streams left without monitors and
    // appends their keys to `stopped`, in key order. Returns how many were appended.
    size_t Disconnect(int32_t monitorKind, int32_t monitorId, std::vector<StreamKey>& stopped);
    bool Contains(const StreamKey& key);
    size_t GetCount();

  private:
    using Monitor = std::pair<int32_t, int32_t>;  // (kind, id)

    MutualExclusion m_mutex;
    std::map<StreamKey, std::set<Monitor>> m_streams;  // guarded by m_mutex
};

}  // namespace qav
