#include "core/url_parameter_map.h"

#include <limits>

#include "core/text_utils.h"
#include "core/trace_frame.h"

namespace qav {

namespace {

std::string_view InputOf(const char* bytes, size_t length) {
    return bytes != nullptr ? std::string_view(bytes, length) : std::string_view();
}

// Stops at the first byte that is not a hexadecimal digit, so "#1Fzz" is 31; saturates
// beyond 32 bits.
uint32_t LeadingHexValue(std::string_view digits) {
    const DigitsRead read = ReadDigits(digits, 16);
    return read.value > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                             : static_cast<uint32_t>(read.value);
}

}  // namespace

bool UrlParameterMap::AddParts(std::string_view input, char separator, bool cookieSyntax) {
    // Each part is looked at once and its '=' is searched only within it, so the work
    // stays linear in the input however it is cut.
    size_t start = 0;
    while (start < input.size()) {
        if (cookieSyntax) {
            while (start < input.size() && input[start] == ' ') {
                ++start;
            }
        }
        size_t end = input.find(separator, start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        const std::string_view part = input.substr(start, end - start);
        const size_t equals = part.find('=');
        if (equals != std::string_view::npos && equals > 0) {
            std::string name(part.substr(0, equals));
            if (!cookieSyntax) {
                UrlDecode(name);
            }
            if (m_entries.size() >= kMaxUrlParameters && !m_entries.contains(name)) {
                return false;
            }
            const auto [entry, added] = m_entries.try_emplace(std::move(name));
            if (added) {
                entry->second.assign(part.substr(equals + 1));
                if (!cookieSyntax) {
                    UrlDecode(entry->second);
                }
            }
        }
        start = end + 1;
    }
    return true;
}

bool UrlParameterMap::FromBuffer(const char* bytes, size_t length) {
    QAV_TRACE("URLPM::FB");
    return AddParts(InputOf(bytes, length), '&', false);
}

bool UrlParameterMap::FromCookieHeader(const char* bytes, size_t length) {
    QAV_TRACE("BSM::FCH");
    return AddParts(InputOf(bytes, length), ';', true);
}

bool UrlParameterMap::Find(std::string_view name, std::string& value) const {
    const auto entry = m_entries.find(name);
    if (entry == m_entries.end()) {
        return false;
    }
    value = entry->second;
    return true;
}

int32_t UrlParameterMap::GetInt(std::string_view name, int32_t defaultValue) const {
    const auto entry = m_entries.find(name);
    if (entry == m_entries.end()) {
        return defaultValue;
    }
    const std::string_view value = entry->second;
    if (value.starts_with('#')) {
        return static_cast<int32_t>(LeadingHexValue(value.substr(1)));
    }
    WString wide;
    wide.reserve(value.size());
    for (char c : value) {
        wide.push_back(static_cast<unsigned char>(c));
    }
    return WStringToInt(wide);
}

void UrlParameterMap::ToText(std::string& out) const {
    bool first = true;
    for (const auto& [name, value] : m_entries) {
        std::string encodedName = name;
        std::string encodedValue = value;
        UrlEncode(encodedName);
        UrlEncode(encodedValue);
        if (!first) {
            out += '&';
        }
        first = false;
        out += encodedName;
        out += '=';
        out += encodedValue;
    }
}

}  // namespace qav
