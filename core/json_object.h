// JSON values: a small tree of reference-counted value nodes reached through JsonObject
// handles, with a tolerant parser (FromText) and a compact one-line writer (AppendText,
// ToText). Text inside values is wide (UTF-16); ToText gives UTF-8.
//
// Typical usage:
//   JsonObject message;
//   if (message.FromText(text.c_str())) {
//       std::string kind;
//       message.GetMemberString(u"type", kind);
//   }
//   JsonObject reply;
//   reply.SetMemberString(u"type", u"ack");
//   reply.ToText(body);  // { "type":"ack" }
//
// The parser accepts what the service and browsers send and more: trailing commas,
// unquoted scalars compared without case ("TRUE", "Null"), octal and hexadecimal
// integers; an integer beyond the 32-bit range becomes a number (exact up to 2^53,
// correctly rounded beyond), one beyond the largest double is refused in every base, and a
// number is written as the shortest text that reads back to the same double. Containers
// nest at most kMaxJsonNesting deep, so hostile text cannot exhaust
// the stack. Failures are false results, reported at severity 2 to the process-wide text
// logger.
//
// Memory: a parse builds the tree below the value's own node in an arena of its own
// (core/json_arena.h), sized by what the tree takes, which goes back whole when the tree
// goes. A value kept after its tree was dropped keeps that arena: a small value taken
// out of a large tree holds the tree's memory until it goes too. The value's own node,
// and what is set into a tree later, live on the heap. Dropping a tree, and writing it,
// take no machine stack in proportion to its depth, whichever way it was built.
//
// Threads: a value and every handle to it belong to one thread at a time; values of one
// tree that share no node may each be on a thread of their own. A value must not contain
// itself: writing it would not end, and the cycle would never be freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_arena.h"
#include "core/wide_text.h"

namespace qav {

enum JsonType : int32_t {
    kJsonNull = 0,
    kJsonInteger = 1,
    kJsonNumber = 2,
    kJsonBool = 3,
    kJsonString = 4,
    kJsonObject = 5,
    kJsonArray = 6
};

// Deepest nesting of arrays and objects the parser accepts.
constexpr int kMaxJsonNesting = 256;

class JsonValue;
class JsonVariablesMap;
class JsonArray;
template <typename Char>
class JsonTextReader;

// A handle: shares one value node with every copy; the last handle frees the node.
class JsonObject {
  public:
    JsonObject() = default;
    JsonObject(const JsonObject& other);
    JsonObject(JsonObject&& other) noexcept;
    JsonObject& operator=(const JsonObject& other);
    JsonObject& operator=(JsonObject&& other) noexcept;
    // Inline: moved-from and empty handles, which the parser leaves many of, cost a test,
    // and dropping a tree releases every node through here.
    inline ~JsonObject();

    // The node, first created as null when the handle is empty.
    JsonValue* GetNode();
    // The node, or null for an empty handle.
    const JsonValue* FindNode() const { return m_node; }

    // Decoded by the system's one lenient rule: a pair in the two three-byte forms that
    // the protocol's encoder writes is taken back as the pair, and every invalid sequence
    // becomes U+FFFD, a lone encoded surrogate (ED A0 80) among them.
    void SetString(std::string_view utf8);

    // Both make the value a container of that kind and return it; MakeObject keeps
    // existing members, MakeArray existing elements.
    JsonVariablesMap& MakeObject();
    JsonArray& MakeArray();

    // Each makes the value an object first. A null or empty value removes the member.
    void SetMember(WStringView name, const JsonObject& value);
    void SetMemberString(WStringView name, WStringView value);
    void SetMemberText(WStringView name, const WChar* value);  // null is the empty text

    // An empty handle unless the value is an object with that member.
    JsonObject GetMember(WStringView name) const;
    // True only for a string member (numbers are not converted). The UTF-8 is real: a
    // surrogate pair is one four-byte sequence, and a lone surrogate, which has no UTF-8
    // form, is given as U+FFFD, which SetString reads back as U+FFFD. Only the JSON text
    // (AppendText, ToText) keeps a lone surrogate, as its \u escape.
    bool GetMemberString(WStringView name, std::string& out) const;
    bool GetMemberWString(WStringView name, WString& out) const;

    // Parses one value from the NUL-terminated text into this value, replacing its
    // content; only white space may follow. On failure the value holds what was built,
    // and a text that fails before its first value leaves the value as it was.
    //
    // A parse keeps the value's node: a pointer from GetNode() stays valid and sees the
    // new content. A reference to its container (MakeObject, MakeArray, GetMembers,
    // GetElements) stays valid when the value is the same kind of container after the
    // parse, and then holds the new members or elements; otherwise the container goes,
    // as when the type is set. The old content (members, elements, text) lives until the
    // parse returns, so the text parsed may lie in it (a member's name, say); then each
    // old value goes unless another handle keeps it, and so do pointers and views into it.
    bool FromText(const WChar* text);
    // The same from UTF-8, read as its decoding by SetString's rule would be (text past
    // a NUL is not read). The bytes are parsed as they are, decoding only the strings,
    // names and tokens that the tree keeps: bytes from the network need no wide copy.
    bool FromUtf8Text(std::string_view text);

    // The JSON text as UTF-8 (replacing `out`); "null" for an empty handle.
    void ToText(std::string& out) const;
    // Appends the JSON text.
    void AppendText(WString& out) const;

    // Appends the text as a quoted JSON string.
    static void AppendString(WStringView text, WString& out);

    // The steps of the parser. `position` advances over what was read; after a failure
    // it shows where the parser stopped. `depth` counts the containers already open.
    bool ParseValue(const WChar*& position, int depth);
    bool ReadScalar(const WChar*& position);
    static bool ReadString(const WChar*& position, WString& out);

  private:
    template <typename Char>
    friend class JsonTextReader;

    friend class JsonValue;

    static void Release(JsonValue* node);
    // Frees a node that no handle refers to any more, and every value only it kept.
    static void Destroy(JsonValue* node);
    const JsonValue* FindMember(WStringView name) const;
    // The node, first made in `arena` (null: the heap) when the handle is empty.
    JsonValue* NodeIn(JsonArena* arena);
    // MakeObject and MakeArray for a parse that builds in `arena`: a container of the
    // kind asked for stays, taking the parse's allocator when it had another one.
    JsonVariablesMap& MakeObjectIn(JsonArena* arena);
    JsonArray& MakeArrayIn(JsonArena* arena);

    JsonValue* m_node = nullptr;
};

// Members ordered by the code units of their names; a name occurs once. The names and
// the map's blocks live where its allocator says: a parsed tree's arena, or the heap.
class JsonVariablesMap
    : public std::map<JsonString, JsonObject, std::less<>,
                      JsonArenaAllocator<std::pair<const JsonString, JsonObject>>> {
  public:
    using map::map;

    // A null or empty value erases the name; otherwise the member is set or replaced.
    void Set(WStringView name, JsonObject value);

    // After the '{': reads members up to and including the closing '}'.
    bool ReadStruct(const WChar*& position, int depth);
    void AppendText(WString& out) const;
};

// The elements in order; their block lives where the allocator says, as a map's do.
class JsonArray : public std::vector<JsonObject, JsonArenaAllocator<JsonObject>> {
  public:
    using vector::vector;

    // After the '[': reads elements up to and including the closing ']'.
    bool ReadArray(const WChar*& position, int depth);
    void AppendText(WString& out) const;
};

// One value. The container of the other kind is freed when the type changes, and a
// string, integer, number or bool value holds neither container. The getters give the
// value of the node's own type and zero (or null, or an empty text) for any other.
//
// A node, its text and its container block live in the node's arena (the heap for a
// value made on its own or on the stack); what a container holds lives where the
// container's allocator says. Freeing a container frees the values only it kept one
// after another, never by descending into them.
class JsonValue final {
  public:
    JsonValue() = default;
    ~JsonValue();
    JsonValue(const JsonValue&) = delete;
    JsonValue& operator=(const JsonValue&) = delete;

    JsonType GetType() const { return m_type; }
    int32_t GetInteger() const { return m_type == kJsonInteger ? m_integer : 0; }
    double GetNumber() const { return m_type == kJsonNumber ? m_number : 0; }
    bool GetBool() const { return m_type == kJsonBool && m_bool != 0; }
    // Valid until the value changes or goes.
    WStringView GetString() const {
        return m_type == kJsonString ? WStringView(m_text, m_textLength) : WStringView();
    }
    JsonVariablesMap* GetMembers() const { return m_type == kJsonObject ? m_members : nullptr; }
    JsonArray* GetElements() const { return m_type == kJsonArray ? m_elements : nullptr; }
    // Where the node lives; null for the heap.
    JsonArena* GetArena() const { return m_arena; }

    // Inline: the parser sets a type for every value, nearly always on a new node.
    void SetType(JsonType type) {
        if (type == m_type) {
            return;
        }
        if (m_type == kJsonString || m_type == kJsonObject || m_type == kJsonArray) {
            ReleaseContent();
        }
        m_number = 0;  // no container, no text
        m_type = type;
    }
    void SetInteger(int32_t value) {
        SetType(kJsonInteger);
        m_integer = value;
    }
    void SetNumber(double value) {
        SetType(kJsonNumber);
        m_number = value;
    }
    void SetBool(bool value) {
        SetType(kJsonBool);
        m_bool = value ? 1 : 0;
    }
    // `value` may be a view of this value's own text.
    void SetWString(WStringView value);

  private:
    friend class JsonObject;
    template <typename Char>
    friend class JsonTextReader;

    explicit JsonValue(JsonArena* arena) : m_arena(arena) {}
    // A node in `arena` (null: the heap), counted in it, with no handle yet.
    static JsonValue* Create(JsonArena* arena);

    // Frees the text or the container that the type being left holds.
    void ReleaseContent();
    void FreeText();
    bool HoldsContainer() const {
        return (m_type == kJsonObject && m_members != nullptr) ||
               (m_type == kJsonArray && m_elements != nullptr);
    }
    // Unhooks and frees the container. Each value whose last handle it held is freed at
    // once when it holds no container, and otherwise put on `doomed`, linked through
    // m_nextDoomed, for the caller to free in turn.
    void DropContainer(JsonValue*& doomed);
    // Frees the node; a container it still holds goes first (FreeContainer).
    static void FreeNode(JsonValue* node);
    // Frees the container, and everything only it kept, without recursion; the arenas'
    // counts change once at the end (JsonArenaReleases).
    void FreeContainer();

    void* AllocateBlock(size_t bytes) {
        return m_arena != nullptr ? m_arena->Allocate(bytes) : ::operator new(bytes);
    }
    void FreeBlock(void* block, size_t bytes) {
        if (m_arena != nullptr) {
            m_arena->Free(block, bytes);
        } else {
            ::operator delete(block);
        }
    }

    JsonType m_type = kJsonNull;
    int32_t m_refCount = 0;
    JsonArena* m_arena = nullptr;
    // A value has one kind at a time, so these share their storage: large trees are
    // walked faster when their nodes are small.
    union {
        double m_number = 0;
        int32_t m_integer;
        uint8_t m_bool;
        JsonVariablesMap* m_members;  // created on demand
        JsonArray* m_elements;        // created on demand
        WChar* m_text;                // exactly m_textLength units, null when empty
    };
    union {
        size_t m_textLength = 0;  // 0 unless a string
        JsonValue* m_nextDoomed;  // a container no handle refers to, waiting to be freed
    };
};

JsonObject::~JsonObject() {
    if (m_node != nullptr && --m_node->m_refCount == 0) {
        Destroy(m_node);
    }
}

}  // namespace qav
