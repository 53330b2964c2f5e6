// Comparing, cleaning and searching text by plain ASCII rules.
#include <algorithm>
#include <limits>

#include "core/text_utils.h"

namespace qav {

namespace {

constexpr uint32_t FoldUpper(uint32_t c) {
    return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}

template <typename Char>
constexpr Char LowerAscii(Char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<Char>(c + ('a' - 'A')) : c;
}

// Positions are reported as int; texts longer than that saturate rather than wrap.
int SignedPosition(size_t index, bool positive) {
    const size_t position = std::min<size_t>(index + 1, std::numeric_limits<int>::max());
    return positive ? static_cast<int>(position) : -static_cast<int>(position);
}

}  // namespace

int CompareNoCaseAsciiW(WStringView a, WStringView b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const uint32_t foldedA = FoldUpper(a[i]);
        const uint32_t foldedB = FoldUpper(b[i]);
        if (foldedA != foldedB) {
            return SignedPosition(i, foldedA > foldedB);
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return SignedPosition(common, a.size() > b.size());
}

int CopyLowerAscii(const char* text, int count, std::string& out) {
    count = std::max(count, 0);
    out.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        out[i] = LowerAscii(text[i]);
    }
    return count;
}

int MakeLowerAsciiW(WString& text) {
    for (WChar& c : text) {
        c = LowerAscii(c);
    }
    return static_cast<int>(std::min<size_t>(text.size(), std::numeric_limits<int>::max()));
}

void SanitizeNameW(WString& text) {
    for (WChar& c : text) {
        const bool keep = (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') ||
                          (c >= u'a' && c <= u'z') || c > 128;
        if (!keep) {
            c = u'_';
        }
    }
}

void TrimString(std::string& text) {
    const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    size_t end = text.size();
    while (end > 0 && isBlank(text[end - 1])) {
        --end;
    }
    size_t begin = 0;
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    text.erase(end);
    text.erase(0, begin);
}

size_t SkipCharsW(WStringView text, WStringView set, bool skipSet) {
    for (size_t i = 0; i < text.size(); ++i) {
        const bool inSet = set.find(text[i]) != WStringView::npos;
        if (inSet != skipSet) {
            return i;
        }
    }
    return WStringView::npos;
}

int FindBytes(const void* buffer, int length, const void* pattern, int patternLength) {
    if (length < 0 || patternLength < 1 || patternLength > length) {
        return -1;
    }
    const std::string_view haystack(static_cast<const char*>(buffer), static_cast<size_t>(length));
    const std::string_view needle(static_cast<const char*>(pattern),
                                  static_cast<size_t>(patternLength));
    const size_t at = haystack.find(needle);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

}  // namespace qav
