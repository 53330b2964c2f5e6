// What connections that send nothing cost: no send queue array each. The test runs again
// in a child process of its own (this program, filtered to that test), so that what
// other tests left behind does not count.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory_test_support.h"
#include "core/test_support.h"
#include "network/loopback_test_support.h"
#include "network/reliable_connection.h"

namespace qav {
namespace {

constexpr const char* kChildVariable = "QAV_TEST_CONNECTION_MEMORY_CHILD";

TEST(ReliableConnectionMemory, ConnectionsThatSendNothingCostLittleAddressSpace) {
    if (!test_support::MeasuresInOwnProcess(kChildVariable)) {
        return;
    }
    constexpr size_t kConnections = 400;
    // Each connection and the test's own end of it take a descriptor.
    rlimit files{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &files));
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 2 * kConnections + 64) {
        GTEST_SKIP() << "only " << files.rlim_cur << " descriptors may be open";
    }
    test_support::TcpListener listener;
    std::vector<int> peers;
    std::vector<RefPtr<ReliableConnection>> connections;
    peers.reserve(kConnections);
    connections.reserve(kConnections);
    const size_t before = test_support::ReadMemoryFigures().addressSpace;
    for (size_t i = 0; i < kConnections; ++i) {
        peers.push_back(test_support::ConnectLoopback(listener.port));
        const int accepted = listener.Accept();
        ASSERT_GE(accepted, 0) << "connection " << i;
        connections.emplace_back(new RefCountedObject<ReliableConnection>(nullptr));
        connections.back()->Attach(accepted, "127.0.0.1", listener.port, nullptr);
        ASSERT_EQ(kConnectionConnected, connections.back()->GetConnectionState());
    }
    const size_t after = test_support::ReadMemoryFigures().addressSpace;
    const size_t each = (after - before) / kConnections;
    std::printf("address space: %zu bytes per idle connection\n", each);
    // The send queue's capacity alone would be 256 KiB each.
    EXPECT_LE(each, 16384u);
    EXPECT_EQ(262104, connections.back()->GetAvailableWriteQueueLength())
        << "the queue offers its whole room all the same";
    for (size_t i = 0; i < kConnections; ++i) {
        connections[i]->Disconnect();
        ::close(peers[i]);
    }
}

}  // namespace
}  // namespace qav
