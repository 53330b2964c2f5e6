// Wide text of the system: UTF-16 code units, whatever the platform's wchar_t is.
#pragma once

#include <string>
#include <string_view>

namespace qav {

using WChar = char16_t;
using WString = std::u16string;
using WStringView = std::u16string_view;

}  // namespace qav
