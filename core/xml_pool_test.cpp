#include "core/xml_pool.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory_test_support.h"
#include "core/test_support.h"
#include "core/xml_document.h"

namespace qav {
namespace {

// Large blocks are heap blocks in a list: freeing the newest, the oldest and one in
// between must each leave the list whole, and the pool's death frees the rest (the
// sanitizer builds see a leak or a double free).
TEST(XmlPool, LargeBlocksAreHeldUntilFreedOrThePoolDies) {
    XmlPool pool;
    constexpr size_t kLarge = XmlPool::kLargestPooled + 1;
    std::vector<void*> blocks;
    for (size_t i = 0; i < 5; ++i) {
        void* block = pool.Allocate(kLarge * (i + 1));
        ASSERT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << i;
        std::memset(block, static_cast<int>(i), kLarge * (i + 1));
        blocks.push_back(block);
    }
    const size_t held = pool.HeldBytes();
    const size_t links = (held - 15 * kLarge) / 5;  // what each block's list entry adds
    EXPECT_EQ(held, 15 * kLarge + 5 * links);
    for (size_t i : {size_t{4}, size_t{0}, size_t{2}}) {
        pool.Free(blocks[i], kLarge * (i + 1));
    }
    EXPECT_EQ(pool.HeldBytes(), held - 9 * kLarge - 3 * links);
    void* again = pool.Allocate(3 * kLarge);
    std::memset(again, 7, 3 * kLarge);
    for (size_t i : {size_t{1}, size_t{3}}) {
        EXPECT_EQ(static_cast<unsigned char*>(blocks[i])[kLarge * (i + 1) - 1], i) << i;
    }

    // Small blocks come back through the free lists, size class by size class.
    void* small = pool.Allocate(40);
    pool.Free(small, 40);
    EXPECT_EQ(pool.Allocate(33), small);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pool.Allocate(1)) % XmlPool::kGranule, 0u);
}

// A tree's strings all live in its pool, whatever the caller built them with: the tree
// is not walked when its document dies.
TEST(XmlPool, TreeStringsTakeTheirDocumentsPool) {
    XmlDocument document;
    XmlNode* root = document.CreateRoot(u"r", nullptr).GetNode();
    XmlPool* pool = &document.GetBlock()->m_pool;
    const WString longText(600, u'x');  // beyond the largest pooled block
    root->m_attributes.insert_or_assign(XmlString(u"heap-name-longer-than-inline"),
                                        XmlString(longText.c_str()));
    root->m_attributes.emplace_hint(root->m_attributes.begin(), XmlString(u"a"),
                                    XmlString(u"heap value longer than inline"));
    root->m_text = XmlString(longText.c_str());
    for (const auto& [name, value] : root->m_attributes) {
        EXPECT_EQ(name.get_allocator().GetPool(), pool);
        EXPECT_EQ(value.get_allocator().GetPool(), pool);
    }
    EXPECT_EQ(root->m_text.get_allocator().GetPool(), pool);
    EXPECT_EQ(WStringView(root->m_attributes.at(u"heap-name-longer-than-inline")), longText);

    // A node made for another document joins its parent's.
    XmlDocument other;
    XmlNode* child = XmlNode::Create(other.GetBlock(), u"c", nullptr, root);
    EXPECT_EQ(child->m_document, document.GetBlock());
    EXPECT_EQ(child->m_name.get_allocator().GetPool(), pool);
}

// Loading again and again into one document reuses the old tree's memory: the pool stops
// growing once it holds two trees, the old and the one parsed beside it.
TEST(XmlPool, ReloadingADocumentReusesItsMemory) {
    std::string text = "<root a='1'>";
    for (int i = 0; i < 300; ++i) {
        text += "<item n='" + std::to_string(i) + "' v='caf\xC3\xA9 &amp; more text'>" +
                std::string(static_cast<size_t>(i % 40), 'y') + "</item>";
    }
    text += "<big>" + std::string(3000, 'z') + "</big></root>";
    XmlDocument document;
    size_t held = 0;
    for (int load = 0; load < 12; ++load) {
        ASSERT_TRUE(document.LoadFromText(text.data(), static_cast<int>(text.size())).IsValid());
        if (load == 2) {
            held = document.GetBlock()->m_pool.HeldBytes();
        }
    }
    EXPECT_EQ(document.GetBlock()->m_pool.HeldBytes(), held);
}

// A large tree takes huge-page chunks once it has outgrown the heap chunks; every block
// stays usable across the change, and what the pool holds stays proportionate to what
// the tree uses, from a message to many megabytes.
TEST(XmlPool, HeldMemoryIsProportionateToTheTree) {
    XmlPool pool;
    constexpr size_t kBlock = 1000;
    size_t used = 0;
    std::vector<unsigned char*> blocks;
    while (used < (size_t{12} << 20)) {
        auto* block = static_cast<unsigned char*>(pool.Allocate(kBlock));
        std::memset(block, static_cast<int>(blocks.size() & 0xFF), kBlock);
        blocks.push_back(block);
        used += kBlock;
        if (used == 4 * kBlock) {
            EXPECT_LE(pool.HeldBytes(), size_t{8192});
        }
    }
    EXPECT_LE(pool.HeldBytes(), 2 * used);
    for (size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_EQ(blocks[i][kBlock - 1], i & 0xFF) << i;
    }

    // A document the size of a message takes a few KiB, not a huge page.
    const std::string message =
        "<m:Message xmlns:m='urn:m'><m:Parameter m:Name='a' m:Value='1'/></m:Message>";
    XmlDocument document;
    ASSERT_TRUE(document.LoadFromText(message.data(), static_cast<int>(message.size())).IsValid());
    EXPECT_LE(document.GetBlock()->m_pool.HeldBytes(), size_t{8192});
}

constexpr size_t kMiB = test_support::kMiB;
constexpr size_t kChunk = XmlPool::kMappedChunkBytes;

// Blocks of 1000 bytes until `bytes` are taken, each filled with `mark`.
std::vector<unsigned char*> Fill(XmlPool& pool, size_t bytes, unsigned char mark) {
    constexpr size_t kBlock = 1000;
    std::vector<unsigned char*> blocks;
    for (size_t used = 0; used < bytes; used += kBlock) {
        blocks.push_back(static_cast<unsigned char*>(pool.Allocate(kBlock)));
        std::memset(blocks.back(), mark, kBlock);
    }
    return blocks;
}

// A dead pool's mapped chunks wait for the pools that come next, which take them before
// asking the kernel; the next pool to die gives back what was not taken and leaves its
// own in their place, never more than the bound.
TEST(XmlPool, ADeadPoolsChunksServeTheNextPoolsUntilAnotherDies) {
    { XmlPool settle; }  // gives back what earlier tests left
    ASSERT_EQ(XmlPool::KeptBytes(), 0u);

    std::set<unsigned char*> firstBlocks;
    {
        XmlPool first;
        for (unsigned char* block : Fill(first, 12 * kMiB, 1)) {
            firstBlocks.insert(block);
        }
    }
    const size_t kept = XmlPool::KeptBytes();
    ASSERT_GE(kept, 4 * kChunk) << "a pool of 12 MiB left fewer mapped chunks than thought";
    EXPECT_EQ(kept % kChunk, 0u);

    {
        XmlPool second;
        const std::vector<unsigned char*> blocks = Fill(second, 6 * kMiB, 2);
        const size_t taken = kept - XmlPool::KeptBytes();
        EXPECT_GE(taken, kChunk) << "the second pool asked the kernel for all its chunks";
        EXPECT_TRUE(firstBlocks.contains(blocks.back())) << "its newest block is new memory";
        EXPECT_TRUE(std::all_of(blocks.begin(), blocks.end(), [](unsigned char* block) {
            return block[0] == 2 && block[999] == 2;
        })) << "two blocks of the pool overlap";

        { XmlPool third; }  // takes nothing and gives back what was left
        EXPECT_EQ(XmlPool::KeptBytes(), 0u);
    }
    EXPECT_GE(XmlPool::KeptBytes(), kChunk) << "the second pool's chunks were not kept";

    {
        XmlPool large;
        Fill(large, XmlPool::kMostKeptBytes + 8 * kChunk, 3);
    }
    EXPECT_EQ(XmlPool::KeptBytes(), XmlPool::kMostKeptBytes);
    { XmlPool settle; }
    EXPECT_EQ(XmlPool::KeptBytes(), 0u);
}

// Two threads' pools take and leave chunks at the same time: no chunk ever serves two
// live pools (each checks its own marks), and ThreadSanitizer sees the shared list.
TEST(XmlPool, PoolsOnTwoThreadsNeverShareAChunk) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    const auto work = [deadline](unsigned char mark, int& overlaps) {
        for (int round = 0; round < 40 && std::chrono::steady_clock::now() < deadline; ++round) {
            XmlPool pool;
            const std::vector<unsigned char*> blocks = Fill(pool, 3 * kChunk, mark);
            overlaps += static_cast<int>(std::count_if(
                blocks.begin(), blocks.end(),
                [mark](unsigned char* block) { return block[0] != mark || block[999] != mark; }));
        }
    };
    int overlaps[2] = {0, 0};
    std::thread other(work, static_cast<unsigned char>(0x11), std::ref(overlaps[1]));
    work(0x22, overlaps[0]);
    other.join();
    EXPECT_EQ(overlaps[0], 0);
    EXPECT_EQ(overlaps[1], 0);
}

// What the process holds, in a process of its own: a dropped large document keeps its
// mapped chunks for the next, which reuses them instead of growing, and both give them
// back to the system once any other document is dropped; a pool larger than the bound
// gives back all beyond it when it dies.
TEST(XmlPool, WhatDeadDocumentsLeaveGoesBackToTheSystem) {
    constexpr const char* kChildVariable = "QAV_TEST_XML_POOL_MEMORY_CHILD";
    if (!test_support::MeasuresInOwnProcess(kChildVariable)) {
        return;
    }
    std::string text = "<catalog>";
    for (int i = 0; text.size() < 4 * kMiB; ++i) {
        text += "<item n='" + std::to_string(i) + "' v='caf\xC3\xA9 &amp; more'>text " +
                std::to_string(i) + "<flag/></item>\n";
    }
    text += "</catalog>";
    const auto resident = [] { return test_support::ReadMemoryFigures().resident; };
    constexpr size_t kSlack = 8 * kMiB;  // the heap's own caching, the parse's scratch
    { XmlPool settle; }
    const size_t before = resident();

    size_t whileFirstLived = 0;
    {
        XmlDocument first;
        ASSERT_TRUE(first.LoadFromText(text.data(), static_cast<int>(text.size())).IsValid());
        whileFirstLived = resident();
    }
    const size_t kept = XmlPool::KeptBytes();
    ASSERT_GE(kept, 4 * kChunk) << "the document's tree is smaller than thought";
    {
        XmlDocument second;
        ASSERT_TRUE(second.LoadFromText(text.data(), static_cast<int>(text.size())).IsValid());
        EXPECT_LE(resident(), whileFirstLived + kSlack)
            << "the second document did not reuse the first's chunks";
    }
    EXPECT_LE(resident(), before + kept + kSlack);
    { XmlDocument message; }
    EXPECT_EQ(XmlPool::KeptBytes(), 0u);
    EXPECT_LE(resident(), before + kSlack) << "the dropped documents' memory stayed";

    {
        XmlPool large;
        Fill(large, XmlPool::kMostKeptBytes + 16 * kChunk, 4);
        EXPECT_GE(resident(), before + XmlPool::kMostKeptBytes + 16 * kChunk);
    }
    EXPECT_LE(resident(), before + XmlPool::kMostKeptBytes + kSlack)
        << "chunks beyond the bound stayed";
    { XmlPool settle; }
    EXPECT_LE(resident(), before + kSlack);
}

}  // namespace
}  // namespace qav
