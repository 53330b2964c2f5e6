// EnumTextTable: how an enumeration travels in the XML protocol — as one fixed English
// text per value. A table is a constant array of rows in a fixed order (not necessarily
// the order of the values); both lookups take the first matching row, so a table may
// hold a value twice or end with a row without text.
//
// Typical usage:
//   inline constexpr EnumTextRow kColourTable[] = {{0, u"Red"}, {1, u"Green"}};
//   const WChar* text = FindEnumText(kColourTable, 1);  // u"Green"
//
// Tables are constant; the lookups may be called from any thread.
#pragma once

#include <cstdint>
#include <span>

#include "core/wide_text.h"

namespace qav {

struct EnumTextRow {
    uint32_t value;
    const WChar* text;  // NUL-terminated, or null for a row that never matches a text
};

using EnumTextTable = std::span<const EnumTextRow>;

// The text of the first row with `value`; null when no row has it (or that row has none).
const WChar* FindEnumText(EnumTextTable table, uint32_t value);

// The value of the first row whose text equals `text` exactly (case and spaces count).
// False and `value` untouched when none does.
bool FindEnumValue(EnumTextTable table, WStringView text, uint32_t& value);

}  // namespace qav
