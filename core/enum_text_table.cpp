#include "core/enum_text_table.h"

namespace qav {

const WChar* FindEnumText(EnumTextTable table, uint32_t value) {
    for (const EnumTextRow& row : table) {
        if (row.value == value) {
            return row.text;
        }
    }
    return nullptr;
}

bool FindEnumValue(EnumTextTable table, WStringView text, uint32_t& value) {
    for (const EnumTextRow& row : table) {
        if (row.text != nullptr && text == row.text) {
            value = row.value;
            return true;
        }
    }
    return false;
}

}  // namespace qav
