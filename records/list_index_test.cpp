#include "records/list_index.h"

#include <array>
#include <climits>
#include <vector>

#include <gtest/gtest.h>

namespace qav {
namespace {

// Indexes come from peers as signed numbers: only [0, size) may reach an entry, whatever the
// sign or the size of the number.
TEST(ListIndex, OnlyIndexesWithinTheListReachAnEntry) {
    std::vector<int> list = {10, 20, 30};
    const struct {
        int32_t index;
        const int* entry;
    } kCases[] = {
        {0, &list[0]}, {2, &list[2]},        {3, nullptr},         {-1, nullptr},
        {-3, nullptr}, {INT32_MIN, nullptr}, {INT32_MAX, nullptr},
    };
    for (const auto& test : kCases) {
        EXPECT_EQ(EntryAt(list, test.index), test.entry) << "index " << test.index;
        EXPECT_EQ(IndexInList(test.index, list.size()), test.entry != nullptr)
            << "index " << test.index;
    }

    std::vector<int> empty;
    EXPECT_EQ(EntryAt(empty, 0), nullptr);
    EXPECT_FALSE(IndexInList(0, 0));

    // A constant table by a type read from outside.
    static constexpr std::array<int, 2> kTable = {7, 8};
    static_assert(*EntryAt(kTable, 1) == 8);
    static_assert(EntryAt(kTable, 2) == nullptr && EntryAt(kTable, -1) == nullptr);
}

}  // namespace
}  // namespace qav
