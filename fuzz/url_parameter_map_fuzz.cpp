// Feeds arbitrary bytes to the parameter map as a query string or form body and as a
// Cookie header, and checks the map against a plain split of the same bytes: every name
// the bytes give is found with its first value, nothing else is in the map, and the map's
// query text parses back to the same map.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/text_utils.h"
#include "core/url_parameter_map.h"
#include "fuzz/fuzz_support.h"

namespace {

using qav::fuzz::Check;

std::vector<std::string_view> SplitAt(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (size_t from = 0;;) {
        const size_t to = text.find(separator, from);
        parts.push_back(text.substr(from, to == std::string_view::npos ? to : to - from));
        if (to == std::string_view::npos) {
            return parts;
        }
        from = to + 1;
    }
}

// What a reader of the two syntaxes must find, first value first.
std::map<std::string, std::string> Expected(std::string_view input, bool cookie) {
    std::map<std::string, std::string> expected;
    for (std::string_view part : SplitAt(input, cookie ? ';' : '&')) {
        if (cookie) {
            part.remove_prefix(std::min(part.find_first_not_of(' '), part.size()));
        }
        const size_t equals = part.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            continue;
        }
        std::string name(part.substr(0, equals));
        std::string value(part.substr(equals + 1));
        if (!cookie) {
            qav::UrlDecode(name);
            qav::UrlDecode(value);
        }
        expected.emplace(std::move(name), std::move(value));
    }
    return expected;
}

std::string QueryText(const std::map<std::string, std::string>& entries) {
    std::string text;
    for (const auto& [name, value] : entries) {
        std::string encodedName = name;
        std::string encodedValue = value;
        qav::UrlEncode(encodedName);
        qav::UrlEncode(encodedValue);
        text += (text.empty() ? "" : "&") + encodedName + "=" + encodedValue;
    }
    return text;
}

void CheckSyntax(std::string_view input, bool cookie) {
    qav::UrlParameterMap map;
    const bool whole = cookie ? map.FromCookieHeader(input.data(), input.size())
                              : map.FromBuffer(input.data(), input.size());
    const std::map<std::string, std::string> expected = Expected(input, cookie);
    Check(whole == (expected.size() <= qav::kMaxUrlParameters));
    if (!whole) {
        return;
    }
    for (const auto& [name, value] : expected) {
        std::string found;
        Check(map.Find(name, found) && found == value);
        map.GetInt(name, 0);
    }
    std::string text;
    map.ToText(text);
    Check(text == QueryText(expected));

    qav::UrlParameterMap again;
    Check(again.FromBuffer(text.data(), text.size()));
    std::string textAgain;
    again.ToText(textAgain);
    Check(textAgain == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckSyntax(input, false);
    CheckSyntax(input, true);
    return 0;
}
