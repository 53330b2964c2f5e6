// The tolerant JSON parser. Every step reads through a NUL-terminated text and stops at
// its NUL, so no step reads past the end; containers nest at most kMaxJsonNesting deep.
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/json_object.h"
#include "core/text_logger.h"
#include "core/text_scan.h"
#include "core/text_utils.h"
#include "core/trace_frame.h"

namespace qav {

namespace {

constexpr bool IsJsonWhiteSpace(WChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

const WChar* SkipWhiteSpace(const WChar* position) {
    while (IsJsonWhiteSpace(*position)) {
        ++position;
    }
    return position;
}

// The characters that end an unquoted value, besides the text's end.
constexpr bool EndsScalar(WChar c) {
    switch (c) {
        case 0:
        case u'"':
        case u'\'':
        case u',':
        case u';':
        case u'{':
        case u'[':
        case u']':
        case u'}':
        case u'\t':
        case u'\r':
        case u'\n':
        case u' ':
            return true;
        default:
            return false;
    }
}

template <typename... Args>
void Report(std::string_view format, const Args&... args) {
    if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
        logger->LogFormat(kSeverityWarning, format, args...);
    }
}

// Reports show an offending character by the low 8 bits of its unit.
int ReportedChar(WChar c) {
    return c & 0xFF;
}

bool EqualsNoCase(WStringView token, std::string_view lowerCaseWord) {
    if (token.size() != lowerCaseWord.size()) {
        return false;
    }
    for (size_t i = 0; i < token.size(); ++i) {
        const WChar c = token[i] >= u'A' && token[i] <= u'Z' ? token[i] + (u'a' - u'A') : token[i];
        if (c != static_cast<WChar>(lowerCaseWord[i])) {
            return false;
        }
    }
    return true;
}

enum class IntegerRead { kInteger, kWider, kNotInteger };

// The whole token as an integer whose base its form gives: "0x" hexadecimal, a leading
// 0 octal, otherwise decimal; a sign may lead. An integer beyond the 32-bit range (a
// 64-bit id, a time in milliseconds) comes back as a double in `wider`, exact up to
// 2^53, rather than saturated.
IntegerRead ReadInteger(WStringView token, int32_t& value, double& wider) {
    size_t i = 0;
    bool negative = false;
    if (i < token.size() && (token[i] == u'+' || token[i] == u'-')) {
        negative = token[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < token.size() && token[i] == u'0') {
        base = 8;
        if (i + 2 < token.size() && (token[i + 1] == u'x' || token[i + 1] == u'X') &&
            HexDigitValue(token[i + 2]) >= 0) {
            base = 16;
            i += 2;
        }
    }
    if (i == token.size()) {
        return IntegerRead::kNotInteger;
    }
    uint64_t magnitude = 0;
    bool beyond64Bits = false;
    double approximate = 0;  // the magnitude once it is beyond 64 bits
    for (; i < token.size(); ++i) {
        const int digit = HexDigitValue(token[i]);
        if (digit < 0 || digit >= base) {
            return IntegerRead::kNotInteger;
        }
        uint64_t next = 0;
        if (!beyond64Bits &&
            (__builtin_mul_overflow(magnitude, static_cast<uint64_t>(base), &next) ||
             __builtin_add_overflow(next, static_cast<uint64_t>(digit), &next))) {
            beyond64Bits = true;
            approximate = static_cast<double>(magnitude);
        }
        if (beyond64Bits) {
            approximate = approximate * base + digit;
        } else {
            magnitude = next;
        }
    }
    if (beyond64Bits && base == 10) {
        return IntegerRead::kNotInteger;  // read as a decimal number, rounded correctly
    }
    const uint64_t limit = negative ? uint64_t{1} << 31 : INT32_MAX;
    if (!beyond64Bits && magnitude <= limit) {
        value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                         : static_cast<int32_t>(magnitude);
        return IntegerRead::kInteger;
    }
    wider = beyond64Bits ? approximate : static_cast<double>(magnitude);
    if (negative) {
        wider = -wider;
    }
    return IntegerRead::kWider;
}

enum class NumberRead { kNumber, kNotNumber, kOutOfRange };

// The whole token as a decimal number: digits, a point, an exponent; no "inf", "nan"
// or hexadecimal forms. Too small a number reads as 0; too large fails.
NumberRead ReadDecimalNumber(WStringView token, double& value) {
    // Narrowed on the stack when short, as numbers are; a longer token through a string.
    char stack[64];
    std::string heap;
    char* narrow = stack;
    if (token.size() > sizeof stack) {
        heap.resize(token.size());
        narrow = heap.data();
    }
    size_t length = 0;
    size_t i = 0;
    if (i < token.size() && (token[i] == u'+' || token[i] == u'-')) {
        if (token[i] == u'-') {
            narrow[length++] = '-';
        }
        ++i;
    }
    size_t digits = 0;
    const auto takeDigits = [&] {
        size_t taken = 0;
        for (; i < token.size() && IsAsciiDigit(token[i]); ++i, ++taken) {
            narrow[length++] = static_cast<char>(token[i]);
        }
        return taken;
    };
    digits += takeDigits();
    if (i < token.size() && token[i] == u'.') {
        narrow[length++] = '.';
        ++i;
        digits += takeDigits();
    }
    if (digits == 0) {
        return NumberRead::kNotNumber;
    }
    if (i < token.size() && (token[i] == u'e' || token[i] == u'E')) {
        narrow[length++] = 'e';
        ++i;
        if (i < token.size() && (token[i] == u'+' || token[i] == u'-')) {
            narrow[length++] = static_cast<char>(token[i++]);
        }
        if (takeDigits() == 0) {
            return NumberRead::kNotNumber;
        }
    }
    if (i != token.size()) {
        return NumberRead::kNotNumber;
    }
    const auto result = std::from_chars(narrow, narrow + length, value);
    if (result.ec == std::errc::result_out_of_range) {
        // from_chars does not tell an overflow from an underflow; the C reader does.
        value = WStringToDouble(token);
        return std::isinf(value) ? NumberRead::kOutOfRange : NumberRead::kNumber;
    }
    return result.ec == std::errc() ? NumberRead::kNumber : NumberRead::kNotNumber;
}

// What a backslash and `c` stand for: a control character for b, f, n, r and t, and
// any other character itself.
constexpr WChar UnescapedChar(WChar c) {
    switch (c) {
        case u'b':
            return u'\b';
        case u'f':
            return u'\f';
        case u'n':
            return u'\n';
        case u'r':
            return u'\r';
        case u't':
            return u'\t';
        default:
            return c;
    }
}

// The unit written by exactly four hexadecimal digits; the text may end among them.
bool ReadHexUnit(const WChar* hex, WChar& unit) {
    uint32_t value = 0;
    for (int read = 0; read < 4; ++read) {
        const int digit = HexDigitValue(hex[read]);  // -1 for the NUL too
        if (digit < 0) {
            int shown = read;
            while (shown < 4 && hex[shown] != 0) {
                ++shown;
            }
            Report("Invalid JSON string hex char sequence: %.*ls", shown,
                   WStringView(hex, static_cast<size_t>(shown)));
            return false;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    unit = static_cast<WChar>(value);
    return true;
}

// What ends a run of a string's plain characters: its quote, an escape, the text's end.
constexpr ScanSet kStringEnd = ScanSetOf(1, false, '"', '\\');

int OffsetOf(const WChar* text, const WChar* position) {
    const ptrdiff_t offset = position - text;
    return offset > INT_MAX ? INT_MAX : static_cast<int>(offset);
}

}  // namespace

bool JsonObject::FromText(const WChar* text) {
    QAV_TRACE("JSONOB::FrTx1");
    static constexpr WChar kEmptyText[] = {0};
    if (text == nullptr) {
        text = kEmptyText;
    }
    const WChar* position = text;
    if (!ParseValue(position, 0)) {
        // A text of white space alone holds no value to complain about; a value that
        // the end of the text cut off is reported like any other failure.
        if (*position != 0 || SkipWhiteSpace(text) != position) {
            Report("JSON parse failed at char #%d", OffsetOf(text, position));
        }
        return false;
    }
    position = SkipWhiteSpace(position);
    if (*position != 0) {
        Report("Invalid char after JSON object: %c", ReportedChar(*position));
        return false;
    }
    return true;
}

bool JsonObject::FromUtf8Text(std::string_view text) {
    // The wide text of a message goes into a buffer the thread keeps, so that a
    // stream of messages costs no allocation. A large text's buffer is freed: kept,
    // it would hold memory for good, and the C library, which maps large blocks of
    // its own, takes to reusing such sizes only once one has been freed. Taken out
    // while in use: a parse that ends up here again (a logger of reports that reads
    // JSON) finds it empty.
    constexpr size_t kKeptUnits = size_t{32} << 10;
    thread_local WString t_kept;
    WString wide;
    wide.swap(t_kept);
    wide.clear();
    AppendUtf8AsWide(text, wide);
    const bool parsed = FromText(wide.c_str());
    if (wide.capacity() <= kKeptUnits) {
        t_kept.swap(wide);
    }
    return parsed;
}

bool JsonObject::ParseValue(const WChar*& position, int depth) {
    QAV_TRACE("JSONOB::FrTx2");
    position = SkipWhiteSpace(position);
    const WChar first = *position;
    if (first == 0) {
        return false;
    }
    if (first == u'"') {
        JsonValue* node = GetNode();
        node->SetType(kJsonString);
        node->m_string.clear();
        ++position;
        return ReadString(position, node->m_string);
    }
    if (first == u'[' || first == u'{') {
        if (depth >= kMaxJsonNesting) {
            Report("JSON nesting deeper than %d levels.", kMaxJsonNesting);
            return false;
        }
        ++position;
        return first == u'[' ? MakeArray().ReadArray(position, depth + 1)
                             : MakeObject().ReadStruct(position, depth + 1);
    }
    return ReadScalar(position);
}

bool JsonObject::ReadString(const WChar*& position, WString& out) {
    QAV_TRACE("JSONOB::RdSt");
    const WChar* at = FindInTerminated<kStringEnd>(position);
    if (*at == u'"') {
        out.append(position, static_cast<size_t>(at - position));
        position = at + 1;
        return true;
    }
    // Escapes follow: the distance to the closing quote bounds what the string holds,
    // so it is stored once instead of growing piece by piece.
    const WChar* end = at;
    while (*end == u'\\') {
        end = FindInTerminated<kStringEnd>(end + (end[1] != 0 ? 2 : 1));
    }
    out.reserve(out.size() + static_cast<size_t>(end - position));
    out.append(position, static_cast<size_t>(at - position));
    for (;;) {
        if (*at != u'\\') {
            position = *at == 0 ? at : at + 1;
            return *at != 0;
        }
        const WChar escaped = at[1];
        if (escaped == 0) {
            position = at + 1;
            return false;
        }
        at += 2;
        if (escaped == u'u') {
            WChar unit = 0;
            if (!ReadHexUnit(at, unit)) {
                position = at;
                return false;
            }
            out.push_back(unit);
            at += 4;
        } else {
            out.push_back(UnescapedChar(escaped));
        }
        const WChar* run = at;
        at = FindInTerminated<kStringEnd>(at);
        out.append(run, static_cast<size_t>(at - run));
    }
}

bool JsonObject::ReadScalar(const WChar*& position) {
    QAV_TRACE("JSONOB::RNSV");
    const WChar* end = position;
    while (!EndsScalar(*end)) {
        ++end;
    }
    if (end == position) {
        Report("Empty JSON value, ending with --> %c <--", ReportedChar(*end));
        return false;
    }
    const WStringView token(position, static_cast<size_t>(end - position));
    JsonValue* node = GetNode();
    int32_t integer = 0;
    double number = 0;
    if (EqualsNoCase(token, "null")) {
        node->SetType(kJsonNull);
    } else if (EqualsNoCase(token, "true") || EqualsNoCase(token, "false")) {
        node->SetBool(token.size() == 4);
    } else if (const IntegerRead read = ReadInteger(token, integer, number);
               read != IntegerRead::kNotInteger) {
        if (read == IntegerRead::kInteger) {
            node->SetInteger(integer);
        } else {
            node->SetNumber(number);
        }
    } else {
        switch (ReadDecimalNumber(token, number)) {
            case NumberRead::kNumber:
                node->SetNumber(number);
                break;
            case NumberRead::kOutOfRange:
                Report("JSON number out of range: %ls", token);
                return false;
            case NumberRead::kNotNumber:
                Report("Unrecognizable JSON object value: %ls", token);
                return false;
        }
    }
    position = end;
    return true;
}

bool JsonArray::ReadArray(const WChar*& position, int depth) {
    QAV_TRACE("JSONAR::RdAr");
    clear();
    for (;;) {
        position = SkipWhiteSpace(position);
        if (*position == 0) {
            Report("JSON array not terminated.");
            return false;
        }
        if (*position == u']') {
            ++position;
            return true;
        }
        if (empty()) {
            reserve(4);  // short arrays are the common case; spares regrowing 1, 2, 4
        }
        // Parsed in place: a failed element stays, as the value holds what was built.
        if (!emplace_back().ParseValue(position, depth)) {
            return false;
        }
        position = SkipWhiteSpace(position);
        const WChar next = *position;
        if (next == 0) {
            return false;
        }
        if (next != u',' && next != u']') {
            Report("Invalid char after JSON array element: %c", ReportedChar(next));
            return false;
        }
        ++position;
        if (next == u']') {
            return true;
        }
    }
}

bool JsonVariablesMap::ReadStruct(const WChar*& position, int depth) {
    QAV_TRACE("JSONVM::RdSt");
    clear();
    for (;;) {
        position = SkipWhiteSpace(position);
        if (*position == 0) {
            Report("JSON struct not terminated.");
            return false;
        }
        if (*position == u'}') {
            ++position;
            return true;
        }
        if (*position != u'"') {
            return false;
        }
        ++position;
        WString name;
        if (!JsonObject::ReadString(position, name)) {
            return false;
        }
        position = SkipWhiteSpace(position);
        if (*position == 0) {
            Report("Missing colon after JSON variable name.");
            return false;
        }
        if (*position != u':') {
            Report("Expecting colon after JSON variable name, found %c.", ReportedChar(*position));
            return false;
        }
        ++position;
        JsonObject value;
        if (!value.ParseValue(position, depth)) {
            return false;
        }
        // Text written from a tree (ours among it) lists members by name: such a member
        // goes at the end without a search.
        const JsonValue* node = value.FindNode();
        if (node != nullptr && node->GetType() != kJsonNull &&
            (empty() || WStringView(rbegin()->first) < WStringView(name))) {
            emplace_hint(end(), std::move(name), std::move(value));
        } else {
            Set(std::move(name), std::move(value));
        }
        position = SkipWhiteSpace(position);
        const WChar next = *position;
        if (next == 0) {
            Report("JSON struct not terminated after value.");
            return false;
        }
        if (next != u',' && next != u'}') {
            Report("Unexpected character after JSON struct variable: %c", ReportedChar(next));
            return false;
        }
        ++position;
        if (next == u'}') {
            return true;
        }
    }
}

}  // namespace qav
