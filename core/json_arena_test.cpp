#include "core/json_arena.h"

#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/ref_counted.h"

namespace qav {
namespace {

// Small blocks come back through the free lists, size class by size class; large ones
// are the heap's and hold all that was asked for.
TEST(JsonArena, FreedBlocksComeBackBySizeClass) {
    const RefPtr<JsonArena> arena(new JsonArena);
    void* small = arena->Allocate(40);
    arena->Free(small, 40);
    EXPECT_EQ(arena->Allocate(33), small);
    EXPECT_NE(arena->Allocate(33), small);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(arena->Allocate(1)) % JsonArena::kGranule, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(arena->Allocate(0)) % JsonArena::kGranule, 0u);

    constexpr size_t kLarge = JsonArena::kLargestPooled + 1;
    const size_t held = arena->HeldBytes();
    auto* large = static_cast<unsigned char*>(arena->Allocate(kLarge));
    std::memset(large, 0x5A, kLarge);
    EXPECT_EQ(arena->HeldBytes(), held) << "a large block is not the arena's to keep";
    arena->Free(large, kLarge);
}

// Whatever allocates from an arena keeps it: a container or name that outlives the nodes
// of its tree, or the tree's last holder, still has its memory.
TEST(JsonArena, AnAllocatorKeepsItsArena) {
    JsonString name;
    {
        const RefPtr<JsonArena> arena(new JsonArena);
        name = JsonString(u"a name longer than the inline form",
                          JsonArenaAllocator<WChar>(arena.get()));
        EXPECT_EQ(name.get_allocator().GetArena(), arena.get());
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
// The sanitizer sees a freed block, and the rest of a chunk, as not to be touched, though
// the arena keeps the memory.
TEST(JsonArena, FreedBlocksArePoisoned) {
    const RefPtr<JsonArena> arena(new JsonArena);
    auto* block = static_cast<char*>(arena->Allocate(24));
    EXPECT_EQ(__asan_region_is_poisoned(block, 24), nullptr);
    EXPECT_NE(__asan_address_is_poisoned(block + 24), 0) << "the unused rest of the chunk";
    arena->Free(block, 24);
    EXPECT_NE(__asan_address_is_poisoned(block), 0);
    EXPECT_NE(__asan_address_is_poisoned(block + 16), 0);
    EXPECT_EQ(arena->Allocate(24), block);
    EXPECT_EQ(__asan_region_is_poisoned(block, 24), nullptr);
}
#endif

}  // namespace
}  // namespace qav
