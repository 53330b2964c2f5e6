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
    void* block =
        arena != nullptr ? arena->Allocate(sizeof(JsonValue)) : ::operator new(sizeof(JsonValue));
    if (arena != nullptr) {
        arena->AddRef();
    }
    return new (block) JsonValue(arena);
}

JsonValue::~JsonValue() {
    // Nothing refers to the node any more, so the container needs no unhooking.
    if (m_type == kJsonObject) {
        DestroyMembers(m_members);
    } else if (m_type == kJsonArray) {
        DestroyElements(m_elements);
    } else if (m_type == kJsonString) {
        FreeText();
    }
}

void JsonValue::DestroyMembers(JsonVariablesMap* members) {
    if (members != nullptr) {
        members->~JsonVariablesMap();
        FreeBlock(members, sizeof(JsonVariablesMap));
    }
}

void JsonValue::DestroyElements(JsonArray* elements) {
    if (elements != nullptr) {
        elements->~JsonArray();
        FreeBlock(elements, sizeof(JsonArray));
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
    // The container is unhooked before it is freed: freeing it may drop the last
    // handle of a value that refers back to this node.
    if (m_type == kJsonObject) {
        DestroyMembers(std::exchange(m_members, nullptr));
    } else if (m_type == kJsonArray) {
        DestroyElements(std::exchange(m_elements, nullptr));
    } else if (m_type == kJsonString) {
        FreeText();
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
    // The node's reference keeps the arena while its content goes back to it.
    JsonArena* arena = node->m_arena;
    node->~JsonValue();
    if (arena != nullptr) {
        arena->Free(node, sizeof(JsonValue));
        arena->Release();
    } else {
        ::operator delete(node);
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

JsonVariablesMap& JsonObject::MakeObjectIn(JsonArena* arena) {
    JsonValue* node = GetNode();
    node->SetType(kJsonObject);  // a null container when the type was another
    if (node->m_members == nullptr) {
        void* block = node->AllocateBlock(sizeof(JsonVariablesMap));
        node->m_members =
            new (block) JsonVariablesMap(JsonArenaAllocator<JsonVariablesMap::value_type>(arena));
    }
    return *node->m_members;
}

JsonArray& JsonObject::MakeArrayIn(JsonArena* arena) {
    JsonValue* node = GetNode();
    node->SetType(kJsonArray);
    if (node->m_elements == nullptr) {
        void* block = node->AllocateBlock(sizeof(JsonArray));
        node->m_elements = new (block) JsonArray(JsonArenaAllocator<JsonObject>(arena));
    }
    return *node->m_elements;
}

JsonVariablesMap& JsonObject::MakeObject() {
    return MakeObjectIn(GetNode()->m_arena);
}

JsonArray& JsonObject::MakeArray() {
    return MakeArrayIn(GetNode()->m_arena);
}

JsonArena* JsonObject::ArenaForParse() const {
    if (m_node != nullptr) {
        if (m_node->m_arena != nullptr) {
            return m_node->m_arena;
        }
        // A value of the heap that a parse once filled keeps its container there.
        if (const JsonVariablesMap* members = m_node->GetMembers()) {
            if (JsonArena* arena = members->get_allocator().GetArena()) {
                return arena;
            }
        }
        if (const JsonArray* elements = m_node->GetElements()) {
            if (JsonArena* arena = elements->get_allocator().GetArena()) {
                return arena;
            }
        }
    }
    return new JsonArena;
}

void JsonObject::SetMember(WStringView name, const JsonObject& value) {
    MakeObject().Set(name, value);
}

void JsonObject::SetMemberString(WStringView name, WStringView value) {
    JsonVariablesMap& members = MakeObject();
    // Made where the rest of the tree is.
    JsonObject member;
    member.NodeIn(members.get_allocator().GetArena())->SetWString(value);
    members.Set(name, std::move(member));
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
        emplace_hint(at, JsonString(name, get_allocator()), std::move(value));
    }
}

}  // namespace qav
