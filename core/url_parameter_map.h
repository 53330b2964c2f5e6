// The name-value pairs of an HTTP query string, form body or Cookie header, so that a
// page handler can ask for a parameter by name; a handler building a link or a form body
// can write a map back out as a query string.
//
// Names and values are bytes as decoded (query syntax) or as they stand (cookies);
// names are unique and case-sensitive, kept in plain byte order, and the first value
// given for a name is the one kept.
//
// Typical usage:
//   UrlParameterMap parameters;
//   parameters.FromBuffer(query.data(), query.size());
//   int32_t channel = parameters.GetInt("channel", 0);
//
// Threads: fill a map on one thread; once filled, any number of threads may read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace qav {

// A request naming more parameters than this is cut there: each one costs a map entry
// many times the size of its bytes.
constexpr size_t kMaxUrlParameters = 10000;

class UrlParameterMap {
  public:
    UrlParameterMap() = default;

    // Query-string syntax: parts between '&', name and value split at the part's first
    // '=', each percent-decoded ("%XX", '+' as space). Parts without '=' or with an empty
    // name are skipped. False when parameters beyond kMaxUrlParameters were dropped.
    bool FromBuffer(const char* bytes, size_t length);

    // A Cookie header's value: parts between ';', each after its leading spaces, split
    // at the first '='; taken exactly as they stand, without decoding or trimming.
    // False when cookies beyond kMaxUrlParameters were dropped.
    bool FromCookieHeader(const char* bytes, size_t length);

    // True and the value when the name is present; otherwise false and `value` untouched.
    bool Find(std::string_view name, std::string& value) const;

    // The value as a number, `defaultValue` when the name is absent. "#" starts
    // hexadecimal digits (a 32-bit pattern; more than fits gives all bits set); anything
    // else is decimal after optional white space and a sign, saturating at the 32-bit
    // limits. No digits give 0.
    int32_t GetInt(std::string_view name, int32_t defaultValue) const;

    // Appends "name=value" for every entry in name order, percent-encoded, joined by '&'.
    void ToText(std::string& out) const;

  private:
    // Both syntaxes: cookies skip leading spaces and are not decoded. False when the
    // entry limit was reached.
    bool AddParts(std::string_view input, char separator, bool cookieSyntax);

    std::map<std::string, std::string, std::less<>> m_entries;
};

}  // namespace qav
