// The value nodes, the handles' counting and the member operations.
#include "core/json_object.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

#include "core/json_utf8.h"
#include "core/text_utils.h"

namespace qav {

// ---- JsonValue ----------------------------------------------------------------------

JsonValue* JsonValue::Create(JsonArena* arena) {
    if (arena == nullptr || !arena->IsOpen()) {
        return new (::operator new(sizeof(JsonValue))) JsonValue(nullptr);
    }
    // The block first: a reference taken before an allocation that throws would keep
    // the arena for good.
    void* block = arena->Allocate(sizeof(JsonValue));
    arena->AddRef();
    return new (block) JsonValue(arena);
}

JsonValue::~JsonValue() {
    if (m_type == kJsonString) {
        FreeText();
    } else if (HoldsContainer()) {
        FreeContainer();
    }
}

void JsonValue::DropContainer(JsonValue*& doomed) {
    // The containers taken go before those already doomed, in their own order: the tree
    // is then freed in the order it was built in, which is the order of its memory.
    JsonValue* first = nullptr;
    JsonValue** last = &first;
    const auto take = [&](JsonObject& handle) {
        JsonValue* child = std::exchange(handle.m_node, nullptr);
        if (child != nullptr && --child->m_refCount == 0) {
            if (child->HoldsContainer()) {
                *last = child;
                last = &child->m_nextDoomed;
            } else {
                FreeNode(child);
            }
        }
    };
    // The container is unhooked before it is freed: freeing it may drop the last handle
    // of a value that refers back to this node.
    if (m_type == kJsonObject) {
        JsonVariablesMap* members = std::exchange(m_members, nullptr);
        for (auto& member : *members) {
            take(member.second);
        }
        members->~JsonVariablesMap();
        FreeBlock(members, sizeof(JsonVariablesMap));
    } else {
        JsonArray* elements = std::exchange(m_elements, nullptr);
        for (JsonObject& element : *elements) {
            take(element);
        }
        elements->~JsonArray();
        FreeBlock(elements, sizeof(JsonArray));
    }
    *last = doomed;
    doomed = first;
}

void JsonValue::FreeNode(JsonValue* node) {
    JsonArena* arena = node->m_arena;
    node->~JsonValue();
    if (arena != nullptr) {
        // The node's reference, still counted, keeps the arena while the block goes back.
        arena->FreeOwned(node, sizeof(JsonValue));
        arena->Release();
    } else {
        ::operator delete(node);
    }
}

void JsonValue::FreeContainer() {
    const JsonArenaReleases releases;
    JsonValue* doomed = nullptr;
    DropContainer(doomed);
    while (doomed != nullptr) {
        JsonValue* node = doomed;
        doomed = node->m_nextDoomed;
        node->m_nextDoomed = nullptr;
        node->DropContainer(doomed);
        FreeNode(node);
    }
}

void JsonValue::FreeText() {
    if (m_text != nullptr) {
        FreeBlock(m_text, m_textLength * sizeof(WChar));
    }
    m_text = nullptr;
    m_textLength = 0;
}

void JsonValue::ReleaseContent() {
    if (m_type == kJsonString) {
        FreeText();
    } else if (HoldsContainer()) {
        FreeContainer();
    }
}

void JsonValue::SetWString(WStringView value) {
    // The new text is copied before the old one is freed: it may be a view of it.
    WChar* text = nullptr;
    if (!value.empty()) {
        text = static_cast<WChar*>(AllocateBlock(value.size() * sizeof(WChar)));
        std::memcpy(text, value.data(), value.size() * sizeof(WChar));
    }
    SetType(kJsonString);
    FreeText();
    m_text = text;
    m_textLength = value.size();
}

// ---- JsonObject: the handle ---------------------------------------------------------

void JsonObject::Release(JsonValue* node) {
    if (node != nullptr && --node->m_refCount == 0) {
        Destroy(node);
    }
}

void JsonObject::Destroy(JsonValue* node) {
    JsonValue::FreeNode(node);
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

JsonValue* JsonObject::NodeIn(JsonArena* arena) {
    if (m_node == nullptr) {
        m_node = JsonValue::Create(arena);
        m_node->m_refCount = 1;
    }
    return m_node;
}

JsonValue* JsonObject::GetNode() {
    return NodeIn(nullptr);
}

void JsonObject::SetString(std::string_view utf8) {
    WString text;
    AppendUtf8AsWide(utf8, text);
    GetNode()->SetWString(text);
}

// A container of the kind asked for is kept, so that references to it stay valid; one
// whose blocks come from elsewhere takes the parse's allocator, dropping what it held.
JsonVariablesMap& JsonObject::MakeObjectIn(JsonArena* arena) {
    JsonValue* node = GetNode();
    node->SetType(kJsonObject);  // a null container when the type was another
    const JsonArenaAllocator<JsonVariablesMap::value_type> allocator(arena);
    if (node->m_members == nullptr) {
        void* block = node->AllocateBlock(sizeof(JsonVariablesMap));
        node->m_members = new (block) JsonVariablesMap(allocator);
    } else if (node->m_members->get_allocator() != allocator) {
        *node->m_members = JsonVariablesMap(allocator);
    }
    return *node->m_members;
}

JsonArray& JsonObject::MakeArrayIn(JsonArena* arena) {
    JsonValue* node = GetNode();
    node->SetType(kJsonArray);
    const JsonArenaAllocator<JsonObject> allocator(arena);
    if (node->m_elements == nullptr) {
        void* block = node->AllocateBlock(sizeof(JsonArray));
        node->m_elements = new (block) JsonArray(allocator);
    } else if (node->m_elements->get_allocator() != allocator) {
        *node->m_elements = JsonArray(allocator);
    }
    return *node->m_elements;
}

// What is set into a tree after its parse lives on the heap, whichever tree it joins.
JsonVariablesMap& JsonObject::MakeObject() {
    JsonValue* node = GetNode();
    node->SetType(kJsonObject);
    if (node->m_members == nullptr) {
        node->m_members = new (node->AllocateBlock(sizeof(JsonVariablesMap))) JsonVariablesMap;
    }
    return *node->m_members;
}

JsonArray& JsonObject::MakeArray() {
    JsonValue* node = GetNode();
    node->SetType(kJsonArray);
    if (node->m_elements == nullptr) {
        node->m_elements = new (node->AllocateBlock(sizeof(JsonArray))) JsonArray;
    }
    return *node->m_elements;
}

void JsonObject::SetMember(WStringView name, const JsonObject& value) {
    MakeObject().Set(name, value);
}

void JsonObject::SetMemberString(WStringView name, WStringView value) {
    JsonObject member;
    member.GetNode()->SetWString(value);
    MakeObject().Set(name, std::move(member));
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

void JsonVariablesMap::Set(WStringView name, JsonObject value) {
    const JsonValue* node = value.FindNode();
    if (node == nullptr || node->GetType() == kJsonNull) {
        if (const auto found = find(name); found != end()) {
            erase(found);
        }
        return;
    }
    const auto at = lower_bound(name);
    if (at != end() && WStringView(at->first) == name) {
        at->second = std::move(value);
    } else {
        emplace_hint(at, JsonString(name), std::move(value));
    }
}

}  // namespace qav
