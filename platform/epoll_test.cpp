#include "platform/epoll.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include <gtest/gtest.h>

#include "core/test_support.h"
#include "platform/poll.h"

namespace qav::platform {
namespace {

using test_support::SocketPair;

// A one-shot registration goes to one wait and is silent until re-armed; the key comes
// back whole, and a hang-up is reported without being asked for.
TEST(EpollSet, AOneShotRegistrationReportsOnceUntilModified) {
    EpollSet set;
    ASSERT_TRUE(set.Open()) << set.OpenError();
    SocketPair pair;
    pair.Send();
    int error = 0;
    constexpr uint64_t kKey = 0xFEDCBA9800000007ull;
    ASSERT_TRUE(set.Add(pair.mine, kPollInput, kKey, true, error));
    EXPECT_FALSE(set.Add(pair.mine, kPollInput, kKey, true, error));
    EXPECT_EQ(error, EEXIST);
    EpollEvent events[4] = {};
    ASSERT_EQ(set.Wait(events, 4, 1000, error), 1);
    EXPECT_EQ(events[0].events, kPollInput);
    EXPECT_EQ(events[0].key, kKey);
    EXPECT_EQ(set.Wait(events, 4, 0, error), 0) << "reported again before it was re-armed";

    ASSERT_TRUE(set.Modify(pair.mine, kPollInput | kPollOutput, 9, true, error));
    ASSERT_EQ(set.Wait(events, 4, 1000, error), 1);
    EXPECT_EQ(events[0].events, kPollInput | kPollOutput);
    EXPECT_EQ(events[0].key, 9u);

    close(std::exchange(pair.peer, -1));
    ASSERT_TRUE(set.Modify(pair.mine, kPollOutput, 10, true, error));
    ASSERT_EQ(set.Wait(events, 4, 1000, error), 1);
    EXPECT_EQ(events[0].events & kPollHangUp, kPollHangUp);

    EXPECT_TRUE(set.Remove(pair.mine, error));
    EXPECT_FALSE(set.Remove(pair.mine, error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_FALSE(set.Modify(-1, kPollInput, 0, true, error));
    EXPECT_EQ(error, EBADF);
}

}  // namespace
}  // namespace qav::platform
