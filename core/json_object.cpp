// The value nodes, the handles' counting and the member operations.
#include "core/json_object.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "core/json_utf8.h"
#include "core/text_utils.h"

namespace qav {

// ---- The cache of freed nodes -------------------------------------------------------

namespace {

// What the caches of one thread hold together, at most kThreadCachedBytes, so that a
// thread that once parsed a large tree keeps a bounded reserve, not the whole tree.
constexpr size_t kThreadCachedBytes = size_t{8} << 20;
thread_local size_t t_threadCachedBytes = 0;

// Freed blocks of one size, per thread; a block freed on another thread than the one
// that made it joins that thread's cache. At most kCachedBytes are kept per size and
// kThreadCachedBytes over all sizes of a thread, and a thread's cache is freed when the
// thread ends. The address sanitizer sees every block's life only when blocks go
// straight to the allocator.
template <size_t kSize>
class BlockCache {
  public:
    static void* Take() {
#if !defined(__SANITIZE_ADDRESS__)
        Cache& cache = t_cache;
        if (cache.count != 0) {
            t_threadCachedBytes -= kSize;
            return cache.slots[--cache.count];
        }
#endif
        return ::operator new(kSize);
    }

    static void Give(void* block) {
#if !defined(__SANITIZE_ADDRESS__)
        Cache& cache = t_cache;
        if (t_threadCachedBytes + kSize <= kThreadCachedBytes &&
            (cache.count < cache.capacity || Grow(cache))) {
            cache.slots[cache.count++] = block;
            t_threadCachedBytes += kSize;
            return;
        }
#endif
        ::operator delete(block);
    }

  private:
    static constexpr size_t kCachedBytes = size_t{4} << 20;
    static constexpr size_t kLimit = kCachedBytes / kSize;

    // The freed blocks are kept in an array rather than linked through themselves:
    // taking one then reads no block, which after a large tree is rarely in a cache.
    // Plain data, so that it stays usable while other thread-local objects are
    // destroyed: a handle in one of them may free its node after the clearing ran.
    struct Cache {
        void** slots = nullptr;  // the last freed on top
        size_t count = 0;
        size_t capacity = 0;
        bool closed = false;  // the thread is ending
    };

    // Frees the thread's blocks when the thread ends; from then on none is kept.
    struct Clearing {
        ~Clearing() {
            Cache& cache = t_cache;
            while (cache.count != 0) {
                ::operator delete(cache.slots[--cache.count]);
                t_threadCachedBytes -= kSize;
            }
            std::free(cache.slots);
            cache.slots = nullptr;
            cache.capacity = 0;
            cache.closed = true;
        }
    };

    [[gnu::noinline]] static bool Grow(Cache& cache) {
        if (cache.closed || cache.capacity >= kLimit) {
            return false;
        }
        if (cache.capacity == 0) {
            thread_local Clearing clearing;
            (void)clearing;
        }
        const size_t capacity = std::min(kLimit, std::max<size_t>(256, cache.capacity * 2));
        void* slots = std::realloc(cache.slots, capacity * sizeof(void*));
        if (slots == nullptr) {
            return false;
        }
        cache.slots = static_cast<void**>(slots);
        cache.capacity = capacity;
        return true;
    }

    static thread_local Cache t_cache;
};

template <size_t kSize>
thread_local typename BlockCache<kSize>::Cache BlockCache<kSize>::t_cache;

// A cache per multiple of 8 bytes up to kLargestCached, so that every block keeps the
// size it had from the allocator: rounding further would spread a tree over more
// memory, which a walk of a large tree pays for.
constexpr size_t kGrain = 8;
constexpr size_t kLargestCached = 128;

// Larger blocks (the elements of arrays beyond a few, which grow by doubling) have a
// cache per power of two up to kLargestPooled. Going to the C library instead costs more
// than the block: its first request of a large size in a parse sweeps every small block
// the last tree's teardown freed into its bins, and the parse then pays again to take
// them back out.
constexpr size_t kSmallestPooled = 2 * kLargestCached;
constexpr size_t kLargestPooled = size_t{64} << 10;
constexpr size_t kPooledClasses = std::bit_width(kLargestPooled / kSmallestPooled);

size_t PooledClass(size_t bytes) {
    return static_cast<size_t>(std::bit_width((bytes - 1) / kSmallestPooled));
}

template <size_t... kIndex>
constexpr auto MakeTakers(std::index_sequence<kIndex...>) {
    return std::array<void* (*)(), sizeof...(kIndex)>{&BlockCache<(kIndex + 1) * kGrain>::Take...};
}

template <size_t... kIndex>
constexpr auto MakeGivers(std::index_sequence<kIndex...>) {
    return std::array<void (*)(void*), sizeof...(kIndex)>{
        &BlockCache<(kIndex + 1) * kGrain>::Give...};
}

constexpr auto kTakers = MakeTakers(std::make_index_sequence<kLargestCached / kGrain>());
constexpr auto kGivers = MakeGivers(std::make_index_sequence<kLargestCached / kGrain>());

template <size_t... kIndex>
constexpr auto MakePooledTakers(std::index_sequence<kIndex...>) {
    return std::array<void* (*)(), sizeof...(kIndex)>{
        &BlockCache<(kSmallestPooled << kIndex)>::Take...};
}

template <size_t... kIndex>
constexpr auto MakePooledGivers(std::index_sequence<kIndex...>) {
    return std::array<void (*)(void*), sizeof...(kIndex)>{
        &BlockCache<(kSmallestPooled << kIndex)>::Give...};
}

constexpr auto kPooledTakers = MakePooledTakers(std::make_index_sequence<kPooledClasses>());
constexpr auto kPooledGivers = MakePooledGivers(std::make_index_sequence<kPooledClasses>());

}  // namespace

void* AllocateJsonBlock(size_t bytes) {
    if (bytes == 0 || bytes > kLargestPooled) {
        return ::operator new(bytes);
    }
    if (bytes > kLargestCached) {
        return kPooledTakers[PooledClass(bytes)]();
    }
    return kTakers[(bytes - 1) / kGrain]();
}

void FreeJsonBlock(void* block, size_t bytes) {
    if (bytes == 0 || bytes > kLargestPooled) {
        ::operator delete(block);
        return;
    }
    if (bytes > kLargestCached) {
        kPooledGivers[PooledClass(bytes)](block);
        return;
    }
    kGivers[(bytes - 1) / kGrain](block);
}

// Straight to the node's own cache: a parse makes and frees one node per value.
using JsonValueCache = BlockCache<(sizeof(JsonValue) + kGrain - 1) / kGrain * kGrain>;

void* JsonValue::operator new([[maybe_unused]] size_t size) {
    return JsonValueCache::Take();  // final: nothing larger comes here
}

void JsonValue::operator delete(void* block) {
    JsonValueCache::Give(block);
}

void* JsonVariablesMap::operator new(size_t size) {
    return AllocateJsonBlock(size);
}

void JsonVariablesMap::operator delete(void* block) {
    FreeJsonBlock(block, sizeof(JsonVariablesMap));
}

void* JsonArray::operator new(size_t size) {
    return AllocateJsonBlock(size);
}

void JsonArray::operator delete(void* block) {
    FreeJsonBlock(block, sizeof(JsonArray));
}

// ---- JsonValue ----------------------------------------------------------------------

JsonValue::~JsonValue() {
    // Nothing refers to the node any more, so the container needs no unhooking.
    if (m_type == kJsonObject) {
        delete m_members;
    } else if (m_type == kJsonArray) {
        delete m_elements;
    }
}

void JsonValue::ReleaseContent() {
    // The container is unhooked before it is freed: freeing it may drop the last
    // handle of a value that refers back to this node.
    if (m_type == kJsonObject) {
        delete std::exchange(m_members, nullptr);
    } else if (m_type == kJsonArray) {
        delete std::exchange(m_elements, nullptr);
    } else if (m_type == kJsonString) {
        m_string = WString();
    }
}

void JsonValue::SetWString(WString value) {
    SetType(kJsonString);
    m_string = std::move(value);
}

// ---- JsonObject: the handle ---------------------------------------------------------

void JsonObject::Release(JsonValue* node) {
    if (node != nullptr && --node->m_refCount == 0) {
        delete node;
    }
}

JsonObject::JsonObject(const JsonObject& other) : m_node(other.m_node) {
    if (m_node != nullptr) {
        ++m_node->m_refCount;
    }
}

JsonObject::JsonObject(JsonObject&& other) noexcept
    : m_node(std::exchange(other.m_node, nullptr)) {}

JsonObject& JsonObject::operator=(const JsonObject& other) {
    // The new node is counted before the old one is dropped: the old one may be all
    // that keeps the new one alive.
    JsonValue* node = other.m_node;
    if (node != nullptr) {
        ++node->m_refCount;
    }
    Release(std::exchange(m_node, node));
    return *this;
}

JsonObject& JsonObject::operator=(JsonObject&& other) noexcept {
    if (this != &other) {
        Release(std::exchange(m_node, std::exchange(other.m_node, nullptr)));
    }
    return *this;
}

JsonValue* JsonObject::GetNode() {
    if (m_node == nullptr) {
        m_node = new JsonValue;
        m_node->m_refCount = 1;
    }
    return m_node;
}

void JsonObject::SetString(std::string_view utf8) {
    WString text;
    AppendUtf8AsWide(utf8, text);
    GetNode()->SetWString(std::move(text));
}

JsonVariablesMap& JsonObject::MakeObject() {
    JsonValue* node = GetNode();
    node->SetType(kJsonObject);  // a null container when the type was another
    if (node->m_members == nullptr) {
        node->m_members = new JsonVariablesMap;
    }
    return *node->m_members;
}

JsonArray& JsonObject::MakeArray() {
    JsonValue* node = GetNode();
    node->SetType(kJsonArray);
    if (node->m_elements == nullptr) {
        node->m_elements = new JsonArray;
    }
    return *node->m_elements;
}

void JsonObject::SetMember(WStringView name, const JsonObject& value) {
    MakeObject().Set(WString(name), value);
}

void JsonObject::SetMemberString(WStringView name, WStringView value) {
    JsonObject member;
    member.GetNode()->SetWString(WString(value));
    MakeObject().Set(WString(name), std::move(member));
}

void JsonObject::SetMemberText(WStringView name, const WChar* value) {
    SetMemberString(name, value != nullptr ? WStringView(value) : WStringView());
}

JsonObject JsonObject::GetMember(WStringView name) const {
    if (m_node == nullptr || m_node->GetMembers() == nullptr) {
        return JsonObject();
    }
    const auto found = m_node->m_members->find(name);
    return found != m_node->m_members->end() ? found->second : JsonObject();
}

const JsonValue* JsonObject::FindMember(WStringView name) const {
    if (m_node == nullptr || m_node->GetMembers() == nullptr) {
        return nullptr;
    }
    const auto found = m_node->m_members->find(name);
    return found != m_node->m_members->end() ? found->second.m_node : nullptr;
}

bool JsonObject::GetMemberWString(WStringView name, WString& out) const {
    const JsonValue* member = FindMember(name);
    if (member == nullptr || member->GetType() != kJsonString) {
        return false;
    }
    out = member->GetString();
    return true;
}

bool JsonObject::GetMemberString(WStringView name, std::string& out) const {
    const JsonValue* member = FindMember(name);
    if (member == nullptr || member->GetType() != kJsonString) {
        return false;
    }
    out.clear();
    AppendJsonUtf8(member->GetString(), out);
    return true;
}

// ---- JsonVariablesMap ---------------------------------------------------------------

void JsonVariablesMap::Set(WString name, JsonObject value) {
    const JsonValue* node = value.FindNode();
    if (node == nullptr || node->GetType() == kJsonNull) {
        if (const auto found = find(name); found != end()) {
            erase(found);
        }
        return;
    }
    insert_or_assign(std::move(name), std::move(value));
}

}  // namespace qav
