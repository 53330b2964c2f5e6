#include <gtest/gtest.h>

#include <vector>

#include "core/ref_counted.h"
#include "webserver/guest_monitor_channels_map.h"
#include "webserver/streams_map.h"

namespace qav {
namespace {

class CountedChannel final : public RefCountedObject<RefCounted> {
  public:
    explicit CountedChannel(int& alive) : m_alive(alive) { ++m_alive; }

  private:
    ~CountedChannel() override { --m_alive; }
    int& m_alive;
};

StreamKey Key(uint8_t first) {
    StreamKey key{};
    key[0] = first;
    key[11] = static_cast<uint8_t>(~first);
    return key;
}

TEST(GuestMonitorChannelsMapTest, RemoveReleasesTheChannelOnceAndReportsWhetherItWasThere) {
    int alive = 0;
    GuestMonitorChannelsMap map;
    {
        RefPtr<RefCounted> first(new CountedChannel(alive));
        RefPtr<RefCounted> second(new CountedChannel(alive));
        EXPECT_TRUE(map.Add(7, first.get()));
        EXPECT_TRUE(map.Add(7, second.get()));  // replaces the first
        EXPECT_FALSE(map.Add(8, nullptr));
    }
    EXPECT_EQ(alive, 1) << "a replaced channel is released";
    EXPECT_FALSE(map.Remove(8));
    EXPECT_TRUE(map.Remove(7));
    EXPECT_EQ(alive, 0);
    EXPECT_FALSE(map.Remove(7));
    EXPECT_EQ(map.GetCount(), 0u);
}

TEST(StreamsMapTest, DisconnectHandsBackOnlyTheStreamsLeftWithoutMonitors) {
    StreamsMap map;
    map.AddMonitor(Key(1), StreamsMap::kMonitorAutomatic, 5);
    map.AddMonitor(Key(2), StreamsMap::kMonitorAutomatic, 5);
    map.AddMonitor(Key(2), StreamsMap::kMonitorGuest, 5);  // same id, other kind
    map.AddMonitor(Key(3), StreamsMap::kMonitorAutomatic, 6);

    std::vector<StreamKey> stopped;
    EXPECT_EQ(map.Disconnect(StreamsMap::kMonitorAutomatic, 5, stopped), 1u);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0], Key(1));
    EXPECT_FALSE(map.Contains(Key(1)));
    EXPECT_TRUE(map.Contains(Key(2))) << "still watched by the guest monitor 5";
    EXPECT_TRUE(map.Contains(Key(3)));

    EXPECT_EQ(map.Disconnect(StreamsMap::kMonitorAutomatic, 5, stopped), 0u) << "twice is a no-op";
    EXPECT_EQ(map.Disconnect(StreamsMap::kMonitorGuest, 5, stopped), 1u);
    EXPECT_EQ(stopped.back(), Key(2));
    EXPECT_EQ(map.GetCount(), 1u);
}

}  // namespace
}  // namespace qav
