#include "core/json_arena.h"

#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/ref_counted.h"

namespace qav {
namespace {

// While open, blocks are cut one after the other from the region, each aligned and of
// its own address; once sealed, blocks come from the heap and freeing them gives them
// back there, while a block of the region stays the region's.
TEST(JsonArena, CutsBlocksFromItsRegionUntilSealed) {
    const RefPtr<JsonArena> arena(JsonArena::ForText(JsonArena::kSmallestText));
    ASSERT_NE(arena.get(), nullptr);
    void* first = arena->Allocate(1);
    void* empty = arena->Allocate(0);
    void* third = arena->Allocate(17);
    EXPECT_TRUE(arena->Owns(first));
    EXPECT_NE(first, empty);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(empty) % JsonArena::kGranule, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(third) % JsonArena::kGranule, 0u);
    std::memset(third, 0x5A, 17);
    EXPECT_EQ(arena->UsedBytes(), 2 * JsonArena::kGranule + 24);
    arena->Free(first, 1);
    EXPECT_NE(arena->Allocate(1), first) << "a freed block of the region is not cut again";

    arena->Seal();
    EXPECT_FALSE(arena->IsOpen());
    const size_t used = arena->UsedBytes();
    auto* late = static_cast<unsigned char*>(arena->Allocate(100));
    EXPECT_FALSE(arena->Owns(late));
    std::memset(late, 0xA5, 100);
    arena->Free(late, 100);
    arena->Free(third, 17);
    EXPECT_EQ(arena->UsedBytes(), used);
}

// A tree larger than its region goes on in the heap: every block still holds what was
// asked for.
TEST(JsonArena, ATreeBeyondItsRegionGoesOnInTheHeap) {
    const RefPtr<JsonArena> arena(JsonArena::ForText(1));
    ASSERT_NE(arena.get(), nullptr);
    void* last = nullptr;
    size_t fromHeap = 0;
    for (int i = 0; i < 3 * 1024 * 1024 / 64 && fromHeap < 16; ++i) {
        last = arena->Allocate(64);
        std::memset(last, 0x11, 64);
        if (!arena->Owns(last)) {
            ++fromHeap;
            arena->Free(last, 64);
        }
    }
    EXPECT_EQ(fromHeap, 16u);
    arena->Seal();
}

// Whatever allocates from an arena keeps it: a container or name that outlives the nodes
// of its tree, or the tree's last holder, still has its memory.
TEST(JsonArena, AnAllocatorKeepsItsArena) {
    JsonString name;
    {
        const RefPtr<JsonArena> arena(JsonArena::ForText(JsonArena::kSmallestText));
        name = JsonString(u"a name longer than the inline form",
                          JsonArenaAllocator<WChar>(arena.get()));
        EXPECT_TRUE(arena->Owns(name.data()));
        arena->Seal();
    }
    name.append(u", grown after the arena's last other holder went");
    EXPECT_EQ(
        WStringView(name),
        u"a name longer than the inline form, grown after the arena's last other holder went");

    // A copy is the heap's, so that it may go anywhere.
    const JsonString copy(name);
    EXPECT_EQ(copy.get_allocator().GetArena(), nullptr);
    EXPECT_EQ(copy, name);
}

#if defined(QAV_JSON_ARENA_POISONS)
// The sanitizer sees a freed block as not to be touched, though the arena keeps the memory.
TEST(JsonArena, FreedBlocksArePoisoned) {
    const RefPtr<JsonArena> arena(JsonArena::ForText(JsonArena::kSmallestText));
    auto* block = static_cast<char*>(arena->Allocate(24));
    EXPECT_EQ(__asan_region_is_poisoned(block, 24), nullptr);
    arena->Free(block, 24);
    EXPECT_NE(__asan_address_is_poisoned(block), 0);
    EXPECT_NE(__asan_address_is_poisoned(block + 16), 0);
    arena->Seal();
}
#endif

}  // namespace
}  // namespace qav
