#include "core/json_arena.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/ref_counted.h"

namespace qav {
namespace {

// While open, blocks are cut one after the other from the arena's blocks, each aligned
// and of its own address; once sealed, blocks come from the heap and freeing them gives
// them back there, while a block of the arena stays the arena's.
TEST(JsonArena, CutsBlocksFromItsOwnUntilSealed) {
    const RefPtr<JsonArena> arena(JsonArena::ForTree(1024));
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
    EXPECT_NE(arena->Allocate(1), first) << "a freed block of the arena is not cut again";

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

// A tree larger than was measured goes on in blocks of the arena, each as large as all
// before it, in regions once the heap's share is taken; a request larger than the next
// block gets one of its own while the current block goes on serving small ones. Sealed,
// the arena holds about what the tree used: the untouched end of its last region went
// back.
TEST(JsonArena, ATreeBeyondItsMeasureGoesOnInBlocksThatFollowIt) {
    const RefPtr<JsonArena> arena(JsonArena::ForTree(64));
    std::vector<unsigned char*> blocks;
    constexpr size_t kBlocks = 3 * JsonArena::kLargestHeapBytes / 64;
    for (size_t i = 0; i < kBlocks; ++i) {
        auto* block = static_cast<unsigned char*>(arena->Allocate(64));
        std::memset(block, static_cast<int>(i & 0xFF), 64);
        blocks.push_back(block);
    }
    size_t foreign = 0;
    for (size_t i = 0; i < kBlocks; ++i) {
        foreign += arena->Owns(blocks[i]) ? 0 : 1;
        EXPECT_EQ(blocks[i][63], i & 0xFF) << i;
    }
    EXPECT_EQ(foreign, 0u);
    EXPECT_EQ(arena->UsedBytes(), kBlocks * 64);
    EXPECT_LE(arena->HeldBytes(), 2 * arena->UsedBytes() + 4096);

    void* small = arena->Allocate(8);
    auto* large = static_cast<unsigned char*>(arena->Allocate(16 * JsonArena::kLargestHeapBytes));
    EXPECT_TRUE(arena->Owns(large));
    large[16 * JsonArena::kLargestHeapBytes - 1] = 1;
    EXPECT_EQ(static_cast<char*>(arena->Allocate(8)), static_cast<char*>(small) + 8)
        << "the current block serves small requests after a large one";

    arena->Seal();
    EXPECT_LE(arena->HeldBytes(), arena->UsedBytes() + JsonArena::kLargestHeapBytes + 64 * 1024);
}

// Whatever allocates from an arena keeps it: a container or name that outlives the nodes
// of its tree, or the tree's last holder, still has its memory.
TEST(JsonArena, AnAllocatorKeepsItsArena) {
    JsonString name;
    {
        const RefPtr<JsonArena> arena(JsonArena::ForTree(1024));
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
    const RefPtr<JsonArena> arena(JsonArena::ForTree(1024));
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
