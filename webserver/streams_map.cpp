#include "webserver/streams_map.h"

namespace qav {

void StreamsMap::AddMonitor(const StreamKey& key, int32_t monitorKind, int32_t monitorId) {
    MutualExclusionLock lock(m_mutex);
    m_streams[key].insert({monitorKind, monitorId});
}

size_t StreamsMap::Disconnect(int32_t monitorKind, int32_t monitorId,
                              std::vector<StreamKey>& stopped) {
    const Monitor monitor{monitorKind, monitorId};
    size_t count = 0;
    MutualExclusionLock lock(m_mutex);
    for (auto stream = m_streams.begin(); stream != m_streams.end();) {
        if (stream->second.erase(monitor) != 0 && stream->second.empty()) {
            stopped.push_back(stream->first);
            ++count;
            stream = m_streams.erase(stream);
        } else {
            ++stream;
        }
    }
    return count;
}

bool StreamsMap::Contains(const StreamKey& key) {
    MutualExclusionLock lock(m_mutex);
    return m_streams.count(key) != 0;
}

size_t StreamsMap::GetCount() {
    MutualExclusionLock lock(m_mutex);
    return m_streams.size();
}

}  // namespace qav
