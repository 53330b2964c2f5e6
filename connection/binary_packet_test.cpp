#include "connection/binary_packet.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/state_report.h"

namespace qav {
namespace {

TEST(BinaryPacketsPool, LendsUpToItsBoundAndTakesEachPacketBackOnceFromAnyThread) {
    RefPtr<BinaryPacketsPool> pool(new BinaryPacketsPool(2));
    BinaryPacket* first = pool->Lend();
    BinaryPacket* second = pool->Lend();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(nullptr, pool->Lend()) << "past the bound";
    std::thread([first] { first->ReturnToPool(); }).join();
    EXPECT_EQ(first, pool->Lend()) << "a returned packet is lent again";

    std::vector<std::string> reports;  // a second return would lend it to two borrowers
    auto previous = platform::SetFatalReportHook(
        [&](platform::FatalReportKind, std::string_view text) { reports.emplace_back(text); });
    first->ReturnToPool();
    first->ReturnToPool();
    platform::SetFatalReportHook(previous);
    EXPECT_EQ(1u, reports.size());
    EXPECT_EQ(3u, pool->GetLentCount());
    EXPECT_EQ(2u, pool->GetReturnedCount());

    pool.Reset();  // the packet still out keeps the pool alive
    second->Data()[BinaryPacket::Capacity() - 1] = 1;
    second->ReturnToPool();
}

}  // namespace
}  // namespace qav
