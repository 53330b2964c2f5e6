#include "core/xml_pool.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qav
