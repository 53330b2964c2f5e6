// The table-driven bindings of the message records, whose body depends on the message's
// type: a record names each of its fields once as a binding (a child or an attribute of
// the message's element, written by the field's type, or an enumeration's text), lists per
// type the bindings that type carries in wire order, and runs the list of the type at hand
// in one direction. What only one record has is a "special" binding it handles itself.
//
// Typical usage inside a serializer:
//   constexpr TypeBinding<Fields> kIndex = BindChild(u"qav:Index", &Fields::m_index);
//   constexpr auto kBodyByType = [] {
//       BindingsByType<Fields, 36, 15> byType;
//       byType.Set({5, 6}, {&kDeviceId, &kIndex});
//       return byType;
//   }();
//   if (const auto* body = kBodyByType.Find(record.m_type)) {
//       SyncBindings(*body, record, element, direction, syncSpecial);
//   }
//
// The tables are constants; the caller keeps the record and the element on one thread.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <type_traits>
#include <variant>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"
#include "core/xml_fields.h"
#include "records/list_index.h"
#include "records/record_fields.h"

namespace qav {

enum class BindingKind : uint8_t {
    kChild,      // the member as a child's text, by its type
    kAttribute,  // the member as an attribute of the message's own element, by its type
    kEnum,       // the member's text in `table` as a child's text
    kSpecial,    // the record's own kind `special`, handled by the record
};

// One element or attribute of a body. The wire reuses a few names for different fields
// ("qav:Value" is an int, a text or a double in one record), so a binding names both.
template <typename Fields>
struct TypeBinding {
    using Member = std::variant<std::monostate, int32_t Fields::*, bool Fields::*,
                                WString Fields::*, int64_t Fields::*, double Fields::*>;

    BindingKind kind;
    const WChar* name;
    Member member;
    EnumTextTable table;
    int32_t special = 0;
    bool Fields::*onlyWhen = nullptr;  // travels only while this flag (as already read) is set
    int32_t minimum = std::numeric_limits<int32_t>::min();  // a decimal child read outside
    int32_t maximum = std::numeric_limits<int32_t>::max();  // [minimum, maximum] is refused

    // The same binding, travelling only while `flag` is set.
    constexpr TypeBinding OnlyWhen(bool Fields::*flag) const {
        TypeBinding binding = *this;
        binding.onlyWhen = flag;
        return binding;
    }
};

template <typename Fields, typename Field>
constexpr TypeBinding<Fields> BindChild(const WChar* name, Field Fields::*member) {
    return {BindingKind::kChild, name, member, {}};
}
template <typename Fields>
constexpr TypeBinding<Fields> BindChild(const WChar* name, int32_t Fields::*member, int32_t minimum,
                                        int32_t maximum = std::numeric_limits<int32_t>::max()) {
    return {BindingKind::kChild, name, member, {}, 0, nullptr, minimum, maximum};
}
template <typename Fields, typename Field>
constexpr TypeBinding<Fields> BindAttribute(const WChar* name, Field Fields::*member) {
    static_assert(!std::is_same_v<Field, double>, "a double travels only as a child");
    return {BindingKind::kAttribute, name, member, {}};
}
template <typename Fields>
constexpr TypeBinding<Fields> BindEnum(const WChar* name, EnumTextTable table,
                                       int32_t Fields::*member) {
    return {BindingKind::kEnum, name, member, table};
}
template <typename Fields, typename Special>
constexpr TypeBinding<Fields> BindSpecial(Special special, const WChar* name = nullptr) {
    return {BindingKind::kSpecial, name, {}, {}, static_cast<int32_t>(special)};
}

// A body: the bindings in wire order, ending at the first null.
template <typename Fields, size_t kMaxLength>
using BindingList = std::array<const TypeBinding<Fields>*, kMaxLength>;

// The body of each type from 0 to kTypeCount - 1; a type without one carries nothing more.
template <typename Fields, size_t kTypeCount, size_t kMaxLength>
class BindingsByType {
  public:
    using List = BindingList<Fields, kMaxLength>;

    constexpr void Set(std::initializer_list<int> types,
                       std::initializer_list<const TypeBinding<Fields>*> body) {
        for (const int type : types) {
            std::copy(body.begin(), body.end(), m_byType[static_cast<size_t>(type)].begin());
        }
    }

    // Null for a type outside the table, as one read from outside may be.
    constexpr const List* Find(int32_t type) const { return EntryAt(m_byType, type); }

  private:
    std::array<List, kTypeCount> m_byType{};
};

// One binding of `fields` on `element` in `direction`; `syncSpecial(binding)` runs the
// record's own kinds.
template <typename Fields, typename SyncSpecial>
void SyncBinding(const TypeBinding<Fields>& binding, Fields& fields, XmlElement element,
                 uint32_t direction, SyncSpecial& syncSpecial) {
    switch (binding.kind) {
        case BindingKind::kChild:
        case BindingKind::kAttribute:
            std::visit(
                [&](auto member) {
                    if constexpr (!std::is_same_v<decltype(member), std::monostate>) {
                        auto& field = fields.*member;
                        using Field = std::remove_reference_t<decltype(field)>;
                        if constexpr (std::is_same_v<Field, int32_t>) {
                            if (binding.kind == BindingKind::kAttribute) {
                                SyncTypedAttribute(element, binding.name, direction, field);
                                return;
                            }
                            SyncBounded(direction, field, binding.minimum, binding.maximum,
                                        [&](int32_t& value) {
                                            return SyncTypedChild(element, binding.name, direction,
                                                                  value);
                                        });
                        } else if constexpr (std::is_same_v<Field, double>) {
                            SyncTypedChild(element, binding.name, direction, field);
                        } else if (binding.kind == BindingKind::kAttribute) {
                            SyncTypedAttribute(element, binding.name, direction, field);
                        } else {
                            SyncTypedChild(element, binding.name, direction, field);
                        }
                    }
                },
                binding.member);
            break;
        case BindingKind::kEnum:
            SyncEnumField(element, binding.name, kQavNamespaceUri, binding.table, direction,
                          fields.*std::get<int32_t Fields::*>(binding.member));
            break;
        case BindingKind::kSpecial:
            syncSpecial(binding);
            break;
    }
}

// Runs `body` in order, passing over a binding whose flag is not set.
template <typename Fields, size_t kMaxLength, typename SyncSpecial>
void SyncBindings(const BindingList<Fields, kMaxLength>& body, std::type_identity_t<Fields>& fields,
                  XmlElement element, uint32_t direction, SyncSpecial&& syncSpecial) {
    for (const TypeBinding<Fields>* binding : body) {
        if (binding == nullptr) {
            break;
        }
        if (binding->onlyWhen == nullptr || fields.*binding->onlyWhen) {
            SyncBinding(*binding, fields, element, direction, syncSpecial);
        }
    }
}

}  // namespace qav
