#include "core/small_buffer.h"

#include <utility>

#include <gtest/gtest.h>

namespace qav {
namespace {

TEST(SmallBufferAllocator, GivesTheInlineBufferToOneRequestAtATime) {
    SmallBufferAllocator<void*> allocator;
    void** first = allocator.allocate(3);
    void** second = allocator.allocate(3);
    EXPECT_TRUE(allocator.IsInline(first));
    EXPECT_FALSE(allocator.IsInline(second)) << "the inline buffer is in use";
    allocator.deallocate(first, 3);
    EXPECT_EQ(allocator.allocate(5), first) << "free again after deallocate";
    void** big = allocator.allocate(6);
    EXPECT_FALSE(allocator.IsInline(big));
    allocator.deallocate(big, 6);
    allocator.deallocate(second, 3);
    allocator.deallocate(first, 5);
}

TEST(SmallBufferVector, KeepsItsElementsAcrossGrowthMovesAndCopies) {
    int values[40];
    for (size_t count : {size_t{4}, size_t{9}, size_t{10}, size_t{40}}) {
        SmallBufferVector<int*> vector;
        for (size_t i = 0; i < count; ++i) {
            vector.push_back(&values[i]);
        }
        SmallBufferVector<int*> copy(vector);
        SmallBufferVector<int*> moved(std::move(vector));
        vector = SmallBufferVector<int*>();  // inline storage of the source goes away
        SmallBufferVector<int*> assigned;
        assigned.push_back(&values[0]);
        assigned = std::move(moved);
        for (const auto* v : {&copy, &assigned}) {
            ASSERT_EQ(v->size(), count);
            for (size_t i = 0; i < count; ++i) {
                EXPECT_EQ((*v)[i], &values[i]) << i << " of " << count;
            }
        }
    }
    SmallBufferVector<int*> vector;
    for (int* value : {&values[0], &values[1], &values[2]}) {
        vector.push_back(value);
    }
    EXPECT_EQ(*vector.erase(vector.begin() + 1), &values[2]);
    EXPECT_EQ(vector.size(), 2u);
    vector.FreeStorage();
    EXPECT_EQ(vector.capacity(), 0u);
    vector.push_back(&values[3]);  // the inline buffer is free again
    EXPECT_EQ(vector.capacity(), 9u);
}

}  // namespace
}  // namespace qav
