// The tolerant JSON parser, over wide text and over UTF-8 bytes. Every step stops at the
// text's end (its NUL; for bytes also the end of the view), so no step reads past it;
// containers nest at most kMaxJsonNesting deep.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/json_object.h"
#include "core/ref_counted.h"
#include "core/text_logger.h"
#include "core/text_scan.h"
#include "core/text_utils.h"
#include "core/trace_frame.h"
#include "core/utf8_codec.h"

namespace qav {

namespace {

constexpr bool IsJsonWhiteSpace(WChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
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

enum class IntegerRead { kInteger, kWider, kOutOfRange, kNotInteger };

// Digits of a base of `bitsPerDigit` bits (3 or 4) beyond 64 bits, as the nearest double.
// Only the leading 61 to 64 bits are kept, with one sticky bit for whether any bit below
// them is set: more than the 53 bits of a double and its rounding bit, so the one rounding
// of the conversion is the correct rounding of the whole number. Infinite when the number
// is beyond the largest double.
double PowerOfTwoDigitsToDouble(WStringView digits, int bitsPerDigit) {
    constexpr int kBeyondAnyDouble = 2048;
    uint64_t leading = 0;
    int dropped = 0;  // bits below `leading`
    bool sticky = false;
    for (const WChar c : digits) {
        const auto digit = static_cast<uint64_t>(HexDigitValue(c));
        if (leading >> (64 - bitsPerDigit) == 0) {
            leading = leading << bitsPerDigit | digit;
        } else {
            dropped = std::min(dropped + bitsPerDigit, kBeyondAnyDouble);
            sticky |= digit != 0;
        }
    }
    return std::ldexp(static_cast<double>(leading | (sticky ? 1 : 0)), dropped);
}

// The whole token as an integer whose base its form gives: "0x" hexadecimal, a leading
// 0 octal, otherwise decimal; a sign may lead. An integer beyond the 32-bit range (a
// 64-bit id, a time in milliseconds) comes back as a double in `wider`, exact up to
// 2^53 and correctly rounded beyond, rather than saturated; one beyond the largest double
// is out of range, as a decimal number is. A decimal integer beyond 64 bits is left to
// the reader of decimal numbers.
IntegerRead ReadInteger(WStringView token, int32_t& value, double& wider) {
    size_t i = 0;
    bool negative = false;
    if (i < token.size() && (token[i] == u'+' || token[i] == u'-')) {
        negative = token[i] == u'-';
        ++i;
    }
    int base = 10;
    int bitsPerDigit = 0;
    if (i < token.size() && token[i] == u'0') {
        base = 8;
        bitsPerDigit = 3;
        if (i + 2 < token.size() && (token[i + 1] == u'x' || token[i + 1] == u'X') &&
            HexDigitValue(token[i + 2]) >= 0) {
            base = 16;
            bitsPerDigit = 4;
            i += 2;
        }
    }
    const WStringView digits = token.substr(i);
    const DigitsRead read = ReadDigits(digits, base);
    if (read.count == 0 || read.count != digits.size()) {
        return IntegerRead::kNotInteger;
    }
    if (read.beyond64Bits) {
        if (base == 10) {
            return IntegerRead::kNotInteger;
        }
        wider = PowerOfTwoDigitsToDouble(digits, bitsPerDigit);
        if (std::isinf(wider)) {
            return IntegerRead::kOutOfRange;
        }
    } else if (read.value <= (negative ? uint64_t{1} << 31 : uint64_t{INT32_MAX})) {
        value = negative ? static_cast<int32_t>(-static_cast<int64_t>(read.value))
                         : static_cast<int32_t>(read.value);
        return IntegerRead::kInteger;
    } else {
        wider = static_cast<double>(read.value);
    }
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

// Copies `count` units, fewer than 16, in two overlapping moves of a fixed size: a
// general copy of a few units costs more in its set-up than in the copy.
inline void CopyShortRun(const WChar* in, size_t count, WChar* out) {
    if (count >= 8) {
        std::memcpy(out, in, 16);
        std::memcpy(out + count - 8, in + count - 8, 16);
    } else if (count >= 4) {
        std::memcpy(out, in, 8);
        std::memcpy(out + count - 4, in + count - 4, 8);
    } else {
        for (size_t i = 0; i < count; ++i) {
            out[i] = in[i];
        }
    }
}

// What ends a run of a string's plain characters: its quote, an escape, the text's end.
constexpr ScanSet kStringEnd = ScanSetOf(1, false, '"', '\\');

// A scalar's value, read from its token before it is set into a node.
struct Scalar {
    JsonType type = kJsonNull;
    int32_t integer = 0;
    double number = 0;
    bool flag = false;

    void SetInto(JsonValue& node) const {
        switch (type) {
            case kJsonBool:
                node.SetBool(flag);
                break;
            case kJsonInteger:
                node.SetInteger(integer);
                break;
            case kJsonNumber:
                node.SetNumber(number);
                break;
            default:
                node.SetType(kJsonNull);
                break;
        }
    }
};

// A scalar's token, once read, whatever the width of the text it came from.
bool ReadScalarToken(WStringView token, Scalar& scalar) {
    // Most scalars are decimal integers of a few digits, which no 32-bit integer can
    // overflow: read at once, as ReadInteger would read them.
    const size_t signs = !token.empty() && (token[0] == u'-' || token[0] == u'+') ? 1 : 0;
    if (const size_t digits = token.size() - signs;
        digits != 0 && digits <= 9 && token[signs] != u'0') {
        uint32_t value = 0;
        size_t i = signs;
        for (; i < token.size() && IsAsciiDigit(token[i]); ++i) {
            value = value * 10 + (token[i] - u'0');
        }
        if (i == token.size()) {
            scalar.type = kJsonInteger;
            scalar.integer =
                token[0] == u'-' ? -static_cast<int32_t>(value) : static_cast<int32_t>(value);
            return true;
        }
    }
    int32_t integer = 0;
    double number = 0;
    if (EqualsNoCase(token, "null")) {
        scalar.type = kJsonNull;
    } else if (EqualsNoCase(token, "true") || EqualsNoCase(token, "false")) {
        scalar.type = kJsonBool;
        scalar.flag = token.size() == 4;
    } else if (const IntegerRead read = ReadInteger(token, integer, number);
               read == IntegerRead::kInteger) {
        scalar.type = kJsonInteger;
        scalar.integer = integer;
    } else if (read == IntegerRead::kWider) {
        scalar.type = kJsonNumber;
        scalar.number = number;
    } else if (read == IntegerRead::kOutOfRange) {
        Report("JSON number out of range: %ls", token);
        return false;
    } else {
        switch (ReadDecimalNumber(token, number)) {
            case NumberRead::kNumber:
                scalar.type = kJsonNumber;
                scalar.number = number;
                break;
            case NumberRead::kOutOfRange:
                Report("JSON number out of range: %ls", token);
                return false;
            case NumberRead::kNotNumber:
                Report("Unrecognizable JSON object value: %ls", token);
                return false;
        }
    }
    return true;
}

// What the nodes, containers and texts of a tree take of its arena, measured on its
// text before the parse: sizes of the blocks a parse asks for, rounded as the arena
// rounds them.
constexpr size_t ArenaBytes(size_t bytes) {
    return (bytes + JsonArena::kGranule - 1) / JsonArena::kGranule * JsonArena::kGranule;
}
constexpr size_t kNodeBytes = ArenaBytes(sizeof(JsonValue));
constexpr size_t kMapBytes = ArenaBytes(sizeof(JsonVariablesMap));
constexpr size_t kArrayBytes = ArenaBytes(sizeof(JsonArray));
constexpr size_t kElementBytes = sizeof(JsonObject);
// A member's block in the map: the tree's links and colour, then the name and the handle.
constexpr size_t kMemberBytes =
    ArenaBytes(4 * sizeof(void*) + sizeof(JsonVariablesMap::value_type));
// A name of up to this many units is held in the name itself.
constexpr size_t kInlineNameUnits = (sizeof(JsonString) - 3 * sizeof(void*)) / sizeof(WChar) - 1;

// The counts from which a tree's size is worked out.
struct TreeCounts {
    size_t commas = 0;
    size_t colons = 0;
    size_t objects = 0;
    size_t arrays = 0;
    size_t textBytes = 0;  // of strings and names

    // Every value but the outermost follows a '[', a ',' or a ':' of a member; a
    // container's values are one more than its commas unless it is empty, so the values
    // are at most commas + containers, the elements at most that less the members.
    // The outermost value's node and container live on the heap.
    size_t Bytes(WChar outermost) const {
        const size_t values = commas + objects + arrays;
        const size_t elements = values > colons ? values - colons : 0;
        const size_t containers = objects * kMapBytes + arrays * kArrayBytes;
        const size_t outer = outermost == u'{' ? kMapBytes : outermost == u'[' ? kArrayBytes : 0;
        return values * kNodeBytes + colons * kMemberBytes + (containers - outer) +
               elements * kElementBytes + textBytes;
    }
};

// What a string's units take: a value's text, or a name, held in the name itself when
// short and otherwise in a block that a short name grows from twice its room.
constexpr size_t TextBytes(size_t units) {
    return ArenaBytes(units * sizeof(WChar));
}
constexpr size_t NameBytes(size_t units) {
    return units <= kInlineNameUnits
               ? 0
               : ArenaBytes((std::max(units, 2 * kInlineNameUnits) + 1) * sizeof(WChar));
}

// The elements of the arrays a parse is reading, the thread's own, and the most room it
// keeps between parses.
std::vector<JsonValue*>& ElementStack() {
    thread_local std::vector<JsonValue*> stack;
    return stack;
}
constexpr size_t kKeptElementRoom = 4096;

}  // namespace

// The parser over text of either width: wide text ending at its NUL, or UTF-8 bytes
// ending at their end or at a NUL byte. UTF-8 is decoded only where units are kept
// (strings, names, tokens) or shown (reports), by the same lenient rule as
// AppendUtf8AsWide, so that it parses exactly as its decoding would.
//
// That holds because every character the parser looks for is ASCII, an ASCII byte is
// always a character of its own, and no sequence decodes to ASCII: a byte from 0x80 on
// can stand for the unit it begins wherever the parser only compares, and every
// position the parser stops at is where a decoded unit begins.
template <typename Char>
class JsonTextReader {
  public:
    static constexpr bool kWide = sizeof(Char) == sizeof(WChar);

    enum class Memory { kHeap, kArena };

    // The values read are made on the heap, or (for a whole text) in an arena sized by
    // the tree the text makes; `end` bounds UTF-8 bytes, wide text has none.
    explicit JsonTextReader(Memory memory, const Char* end = nullptr)
        : m_buildsArena(memory == Memory::kArena), m_end(end) {}
    // Seals the arena and drops the old content of the value parsed into, on every way
    // out of a parse.
    ~JsonTextReader();
    JsonTextReader(const JsonTextReader&) = delete;
    JsonTextReader& operator=(const JsonTextReader&) = delete;

    // Parses into `value`, whose node (made on the heap when the handle is empty) is
    // never replaced: its old content is set aside when the parse first changes it, and
    // goes with the reader.
    bool ParseText(JsonObject& value, const Char* text);
    bool ParseValue(JsonObject& value, const Char*& position, int depth);
    bool ReadScalar(JsonObject& value, const Char*& position);
    bool ReadString(const Char*& position, WString& out);
    bool ReadStruct(JsonVariablesMap& members, const Char*& position, int depth);
    bool ReadArray(JsonArray& elements, const Char*& position, int depth);

  private:
    // The unit at `at` as far as comparisons go, 0 at the end.
    WChar At(const Char* at) const {
        if constexpr (kWide) {
            return *at;
        } else {
            return at < m_end ? static_cast<unsigned char>(*at) : 0;
        }
    }

    // The unit that begins at `at`, decoded, for reports.
    WChar Decoded(const Char* at) const {
        const WChar unit = At(at);
        if constexpr (kWide) {
            return unit;
        } else {
            if (unit < 0x80) {
                return unit;
            }
            WChar units[2] = {};
            WChar* out = units;
            DecodeUtf8Sequence(Bytes(at), Left(at), out);
            return units[0];
        }
    }

    const unsigned char* Bytes(const Char* at) const {
        return reinterpret_cast<const unsigned char*>(at);
    }
    size_t Left(const Char* at) const { return static_cast<size_t>(m_end - at); }

    const Char* SkipWhiteSpace(const Char* at) const {
        while (IsJsonWhiteSpace(At(at))) {
            ++at;
        }
        return at;
    }

    // The units from `text` to `position`, as reports count them.
    int OffsetOf(const Char* text, const Char* position) const;

    bool ReadHexUnit(const Char* hex, WChar& unit) const;
    // `at` is the first quote, escape or end from `position`.
    bool ReadWideString(const WChar*& position, const WChar* at, WString& out) const;
    bool ReadUtf8String(const char*& position, WString& out) const;
    // Reads a string after its opening quote and hands its units, also those read before
    // a failure, to `take` as a view that lasts until the next string is read. A short
    // string of UTF-8 may be widened into `shortUnits`, kScanLanes<char> units that the
    // caller keeps; the view then shows them.
    template <typename Take>
    bool ReadText(const Char*& position, Take&& take, WChar* shortUnits = nullptr);

    // The first unit at or after `at` in the set, which holds the NUL: the text's end.
    template <ScanSet kSet>
    const Char* NextInSet(const Char* at) const {
        if constexpr (kWide) {
            return FindInTerminated<kSet>(at);
        } else {
            while (Left(at) >= kScanLanes<char>) {
                if (const unsigned lanes = MatchLanes<kSet>(at); lanes != 0) {
                    return at + FirstLane(lanes);
                }
                at += kScanLanes<char>;
            }
            while (at < m_end && !IsInScanSet<kSet>(static_cast<unsigned char>(*at))) {
                ++at;
            }
            return at;
        }
    }

    // Where the nodes below the value parsed into are made: the arena, made at the first
    // of them with room for the tree that the text measures.
    JsonArena* ArenaForValues() {
        JsonArena* arena = m_arena.get();
        return arena != nullptr || !m_buildsArena ? arena : MakeArena();
    }
    [[gnu::noinline]] JsonArena* MakeArena();
    size_t MeasureTree() const;
    size_t Extrapolated(size_t bytes, ptrdiff_t measured, const Char* start) const;
    // The text of a string value. A new node's short text is copied here in a few fixed
    // moves: a general copy costs more in its call than in its work on a short text.
    static void SetText(JsonValue& node, WStringView text) {
        if (node.m_type != kJsonNull || text.empty() || text.size() >= 2 * kScanLanes<WChar>) {
            node.SetWString(text);
            return;
        }
        auto* block = static_cast<WChar*>(node.AllocateBlock(text.size() * sizeof(WChar)));
        CopyShortRun(text.data(), text.size(), block);
        node.m_type = kJsonString;
        node.m_text = block;
        node.m_textLength = text.size();
    }
    // The content of the value parsed into, moved aside before the parse changes it.
    void SetOldContentAside(JsonValue& node);
    // The elements read so far by the arrays being read, outermost first: an array's
    // block is asked for once, at its exact size, when its last element is read.
    void PushElement(JsonObject& element);
    void MoveElementsInto(JsonArray& elements, size_t first);

    const bool m_buildsArena;
    const Char* m_end;
    const Char* m_text = nullptr;  // the whole text, once ParseText starts
    JsonObject* m_root = nullptr;
    RefPtr<JsonArena> m_arena;
    WString m_scratch;  // the units of a string that the text does not hold as they are
    // Each holds the reference its handle held. The thread's own, so that its room stays
    // for the next parse; a parse that a report starts (a logger may parse) stacks its
    // elements above those of the parse it interrupts.
    std::vector<JsonValue*>& m_elements = ElementStack();
    const size_t m_elementsBefore = m_elements.size();
    bool m_oldContentAside = false;
    JsonArray m_oldElements;
    JsonVariablesMap m_oldMembers;
    JsonValue m_oldText;
};

template <typename Char>
JsonTextReader<Char>::~JsonTextReader() {
    if (m_arena.get() != nullptr) {
        m_arena->Seal();
    }
    const JsonArenaReleases releases;
    for (size_t i = m_elementsBefore; i < m_elements.size(); ++i) {
        JsonObject::Release(m_elements[i]);
    }
    m_elements.resize(m_elementsBefore);
    if (m_elementsBefore == 0 && m_elements.capacity() > kKeptElementRoom) {
        std::vector<JsonValue*>().swap(m_elements);
    }
    m_oldElements.clear();
    m_oldMembers.clear();
    m_oldText.SetType(kJsonNull);
}

template <typename Char>
JsonArena* JsonTextReader<Char>::MakeArena() {
    m_arena = JsonArena::ForTree(MeasureTree());
    return m_arena.get();
}

template <typename Char>
void JsonTextReader<Char>::SetOldContentAside(JsonValue& node) {
    if (m_oldContentAside) {
        return;
    }
    m_oldContentAside = true;
    if (node.m_type == kJsonString) {
        // The text's block is freed as the node would free it.
        m_oldText.m_arena = node.m_arena;
        m_oldText.m_type = kJsonString;
        m_oldText.m_text = std::exchange(node.m_text, nullptr);
        m_oldText.m_textLength = std::exchange(node.m_textLength, 0);
    } else if (node.m_type == kJsonObject && node.m_members != nullptr) {
        // Swapped with their allocators: the container stays where it is, empty.
        m_oldMembers.swap(*node.m_members);
    } else if (node.m_type == kJsonArray && node.m_elements != nullptr) {
        m_oldElements.swap(*node.m_elements);
    }
}

template <typename Char>
void JsonTextReader<Char>::PushElement(JsonObject& element) {
    m_elements.push_back(element.m_node);
    element.m_node = nullptr;
}

template <typename Char>
void JsonTextReader<Char>::MoveElementsInto(JsonArray& elements, size_t first) {
    const size_t count = m_elements.size() - first;
    if (count != 0) {
        elements.reserve(elements.size() + count);
        for (size_t i = first; i < m_elements.size(); ++i) {
            elements.emplace_back().m_node = std::exchange(m_elements[i], nullptr);
        }
    }
    m_elements.resize(first);
}

// `bytes` measured on the first `measured` units from `start`, for the whole text.
template <typename Char>
size_t JsonTextReader<Char>::Extrapolated(size_t bytes, ptrdiff_t measured,
                                          const Char* start) const {
    const Char* end = m_end;
    if constexpr (kWide) {
        end = FindInTerminated<ScanSetOf(1, false)>(start);
    }
    const auto whole = static_cast<double>(end - start);
    const double scaled = static_cast<double>(bytes) * whole / static_cast<double>(measured);
    return scaled >= static_cast<double>(SIZE_MAX / 2) ? SIZE_MAX / 2 : static_cast<size_t>(scaled);
}

// One pass that counts what the tree will hold: containers, commas and colons outside
// strings, and the units of every string, a name's apart. Runs of plain text and of
// white space are crossed a block at a time. The pass stops once the tree goes beyond
// the heap's share: its regions need no exact size.
template <typename Char>
size_t JsonTextReader<Char>::MeasureTree() const {
    QAV_TRACE("JSONOB::Msr");
    constexpr ScanSet kWhiteSpace = ScanSetOf(0, false, ' ', '\t', '\r', '\n');
    constexpr ScanSet kStructure = ScanSetOf(0x21, false, '"', ',', ':', '{', '[');
    TreeCounts counts;
    size_t lastString = SIZE_MAX;  // units of the string just read, until another token
    const Char* const start = SkipWhiteSpace(m_text);
    const Char* at = start;
    const WChar outermost = At(at);
    for (;;) {
        const WChar c = At(at);
        if (c == 0) {
            break;
        }
        if (c == u'"') {
            const Char* const start = ++at;
            for (;;) {
                if constexpr (!kWide) {
                    // Whether the string's first stop is its end is read from the masks,
                    // not from the text again once the stop is found.
                    if (Left(at) >= kScanLanes<char>) {
                        const unsigned ends = MatchLanes<ScanSetOf(1, false, '"')>(at);
                        const unsigned escapes = MatchLanes<ScanSetOf(0, false, '\\')>(at);
                        if ((ends | escapes) == 0) {
                            at += kScanLanes<char>;
                            continue;
                        }
                        const size_t lane = FirstLane(ends | escapes);
                        at += lane;
                        if ((escapes >> lane & 1u) != 0 && At(at + 1) != 0) {
                            at += 2;
                            continue;
                        }
                        break;
                    }
                }
                at = NextInSet<kStringEnd>(at);
                if (At(at) == u'\\' && At(at + 1) != 0) {
                    at += 2;
                    continue;
                }
                break;
            }
            // Bytes or units: a unit for every byte is as many as UTF-8 can decode to.
            lastString = static_cast<size_t>(at - start);
            counts.textBytes += TextBytes(lastString);
            if (At(at) == u'"') {
                ++at;
            }
            continue;
        }
        if (IsInScanSet<kWhiteSpace>(c)) {
            ++at;
            if constexpr (!kWide) {
                while (Left(at) >= kScanLanes<Char> &&
                       MatchLanes<kWhiteSpace>(at) == (1u << kScanLanes<Char>)-1) {
                    at += kScanLanes<Char>;
                }
            } else {
                while (IsJsonWhiteSpace(*at)) {
                    ++at;
                }
            }
            continue;
        }
        switch (c) {
            case u',':
                ++counts.commas;
                if (counts.Bytes(outermost) > JsonArena::kLargestHeapBytes) {
                    // The tree goes beyond the heap's share, into regions whose untouched
                    // end goes back: the rest of the text is taken to hold what its
                    // measured start held for its length.
                    return Extrapolated(counts.Bytes(outermost), at + 1 - start, start);
                }
                break;
            case u':':
                ++counts.colons;
                if (lastString != SIZE_MAX) {
                    counts.textBytes -= TextBytes(lastString);
                    counts.textBytes += NameBytes(lastString);
                }
                break;
            case u'{':
                ++counts.objects;
                break;
            case u'[':
                ++counts.arrays;
                break;
            default:
                // A scalar's characters or a closing bracket: up to the next structure.
                at = NextInSet<kStructure>(at + 1);
                lastString = SIZE_MAX;
                continue;
        }
        lastString = SIZE_MAX;
        ++at;
    }
    return counts.Bytes(outermost);
}

template <typename Char>
int JsonTextReader<Char>::OffsetOf(const Char* text, const Char* position) const {
    size_t units = static_cast<size_t>(position - text);
    if constexpr (!kWide) {
        units = 0;
        for (const Char* at = text; at < position;) {
            if (At(at) < 0x80) {
                ++at;
                ++units;
            } else if (const size_t size = WellFormedSequenceLength(Bytes(at), Left(at));
                       size != 0) {
                at += size;
                units += size >= 4 ? 2 : 1;  // beyond the basic plane: a surrogate pair
            } else {
                at += InvalidSequenceLength(Bytes(at), Left(at));
                ++units;
            }
        }
    }
    return units > INT_MAX ? INT_MAX : static_cast<int>(units);
}

// The unit written by exactly four hexadecimal digits; the text may end among them.
template <typename Char>
bool JsonTextReader<Char>::ReadHexUnit(const Char* hex, WChar& unit) const {
    uint32_t value = 0;
    for (int read = 0; read < 4; ++read) {
        const int digit = HexDigitValue(At(hex + read));  // -1 for the end too
        if (digit < 0) {
            // The report shows the next four units, as far as the text goes.
            WChar shown[5] = {};
            int count = 0;
            for (const Char* at = hex; count < 4 && At(at) != 0;) {
                if constexpr (kWide) {
                    shown[count++] = *at++;
                } else if (At(at) < 0x80) {
                    shown[count++] = At(at++);
                } else {
                    WChar* out = shown + count;
                    at += DecodeUtf8Sequence(Bytes(at), Left(at), out);
                    count = static_cast<int>(out - shown);
                }
            }
            count = count > 4 ? 4 : count;
            Report("Invalid JSON string hex char sequence: %.*ls", count,
                   WStringView(shown, static_cast<size_t>(count)));
            return false;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    unit = static_cast<WChar>(value);
    return true;
}

template <typename Char>
bool JsonTextReader<Char>::ParseText(JsonObject& value, const Char* text) {
    QAV_TRACE("JSONOB::FrTx1");
    m_text = text;
    m_root = &value;
    const Char* position = text;
    if (!ParseValue(value, position, 0)) {
        // A text of white space alone holds no value to complain about; a value that
        // the end of the text cut off is reported like any other failure.
        if (At(position) != 0 || SkipWhiteSpace(text) != position) {
            Report("JSON parse failed at char #%d", OffsetOf(text, position));
        }
        return false;
    }
    position = SkipWhiteSpace(position);
    if (At(position) != 0) {
        Report("Invalid char after JSON object: %c", ReportedChar(Decoded(position)));
        return false;
    }
    return true;
}

template <typename Char>
bool JsonTextReader<Char>::ParseValue(JsonObject& value, const Char*& position, int depth) {
    QAV_TRACE("JSONOB::FrTx2");
    position = SkipWhiteSpace(position);
    const WChar first = At(position);
    if (first == 0) {
        return false;
    }
    // The value parsed into keeps its node, or gets one on the heap; every value below
    // it is made where the parse builds.
    const bool root = &value == m_root;
    if (first == u'"') {
        JsonValue* node = value.NodeIn(root ? nullptr : ArenaForValues());
        ++position;
        return ReadText(position, [this, node, root](WStringView text) {
            if (root) {
                SetOldContentAside(*node);
            }
            SetText(*node, text);
        });
    }
    if (first == u'[' || first == u'{') {
        if (depth >= kMaxJsonNesting) {
            Report("JSON nesting deeper than %d levels.", kMaxJsonNesting);
            return false;
        }
        ++position;
        JsonValue* node = value.NodeIn(root ? nullptr : ArenaForValues());
        if (root) {
            SetOldContentAside(*node);
        }
        JsonArena* const arena = ArenaForValues();
        return first == u'[' ? ReadArray(value.MakeArrayIn(arena), position, depth + 1)
                             : ReadStruct(value.MakeObjectIn(arena), position, depth + 1);
    }
    return ReadScalar(value, position);
}

template <typename Char>
template <typename Take>
bool JsonTextReader<Char>::ReadText(const Char*& position, Take&& take,
                                    [[maybe_unused]] WChar* shortUnits) {
    QAV_TRACE("JSONOB::RdSt");
    if constexpr (kWide) {
        // Most strings hold no escape: taken from the text as they are.
        const WChar* at = FindInTerminated<kStringEnd>(position);
        if (*at == u'"') {
            take(WStringView(position, static_cast<size_t>(at - position)));
            position = at + 1;
            return true;
        }
        m_scratch.clear();
        const bool read = ReadWideString(position, at, m_scratch);
        take(WStringView(m_scratch));
        return read;
    } else {
        // Most strings are short ASCII that ends in its first block: widened in one step.
        constexpr size_t kBlock = kScanLanes<char>;
        if (Left(position) >= kBlock) {
            if (const unsigned stops = MatchLanes<WithNonAscii(kStringEnd)>(position);
                stops != 0 && position[FirstLane(stops)] == '"') {
                const size_t count = FirstLane(stops);
                WChar units[kBlock];
                WChar* const widened = shortUnits != nullptr ? shortUnits : units;
                WidenBlock(position, widened);
                take(WStringView(widened, count));
                position += count + 1;
                return true;
            }
        }
        m_scratch.clear();
        const bool read = ReadUtf8String(position, m_scratch);
        take(WStringView(m_scratch));
        return read;
    }
}

template <typename Char>
bool JsonTextReader<Char>::ReadString(const Char*& position, WString& out) {
    return ReadText(position, [&out](WStringView text) { out.append(text); });
}

template <typename Char>
bool JsonTextReader<Char>::ReadWideString(const WChar*& position, const WChar* at,
                                          WString& out) const {
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

// The units are gathered in a buffer on the stack and stored when it fills or the
// string ends: a string that fits (nearly all) is stored once, taking just its units,
// and ASCII is widened a block at a time, which may write a block's units past the
// last one. Not inlined into the recursive steps, whose frames would carry the buffer.
template <typename Char>
[[gnu::noinline]] bool JsonTextReader<Char>::ReadUtf8String(const char*& position,
                                                            WString& out) const {
    constexpr size_t kBlock = kScanLanes<char>;
    constexpr ScanSet kStop = WithNonAscii(kStringEnd);
    WChar buffer[8 * kBlock];
    WChar* o = buffer;
    const auto store = [&] {
        const size_t count = static_cast<size_t>(o - buffer);
        if (count < kBlock) {
            const size_t start = out.size();
            out.resize(start + count);
            CopyShortRun(buffer, count, out.data() + start);
        } else {
            out.append(buffer, count);
        }
        o = buffer;
    };
    const auto finish = [&](const char* at, bool read) {
        store();
        position = at;
        return read;
    };
    const char* at = position;
    for (;;) {
        // The plain run up to the next quote, escape or end.
        for (;;) {
            if (o > std::end(buffer) - kBlock) {
                store();
            }
            const WChar c = At(at);
            if (c >= 0x80) {
                at += DecodeUtf8Sequence(Bytes(at), Left(at), o);
            } else if (IsInScanSet<kStringEnd>(c)) {
                break;
            } else if (Left(at) >= kBlock) {
                WidenBlock(at, o);
                const size_t ascii = FirstInSet<kStop>(at);
                at += ascii;
                o += ascii;
            } else {
                *o++ = c;
                ++at;
            }
        }
        const WChar c = At(at);
        if (c != u'\\') {
            return c != 0 ? finish(at + 1, true) : finish(at, false);
        }
        const WChar escaped = At(at + 1);
        if (escaped == 0) {
            return finish(at + 1, false);
        }
        if (escaped >= 0x80) {
            // An escaped sequence stands for itself: decoded with the run it begins.
            ++at;
            continue;
        }
        at += 2;
        if (escaped == u'u') {
            WChar unit = 0;
            if (!ReadHexUnit(at, unit)) {
                return finish(at, false);
            }
            *o++ = unit;
            at += 4;
        } else {
            *o++ = UnescapedChar(escaped);
        }
    }
}

template <typename Char>
bool JsonTextReader<Char>::ReadScalar(JsonObject& value, const Char*& position) {
    QAV_TRACE("JSONOB::RNSV");
    const Char* end = position;
    WChar seen = 0;  // every unit's bits: from 0x80 on when a byte is not ASCII
    for (WChar c = At(end); !EndsScalar(c); c = At(++end)) {
        seen |= c;
    }
    if (end == position) {
        Report("Empty JSON value, ending with --> %c <--", ReportedChar(At(end)));
        return false;
    }
    const bool root = &value == m_root;
    JsonValue* node = value.NodeIn(root ? nullptr : ArenaForValues());
    const size_t length = static_cast<size_t>(end - position);
    Scalar scalar;
    bool read = false;
    if constexpr (kWide) {
        read = ReadScalarToken(WStringView(position, length), scalar);
    } else if (WChar narrow[64]; seen < 0x80 && length <= std::size(narrow)) {
        // Numbers and words are short and ASCII: widened on the stack, a block at a time
        // where the text goes on that far.
        if (length <= kScanLanes<char> && Left(position) >= kScanLanes<char>) {
            WidenBlock(position, narrow);
        } else {
            WidenAsciiRun(position, length, narrow);
        }
        read = ReadScalarToken(WStringView(narrow, length), scalar);
    } else {
        WString token;
        AppendUtf8AsWide(std::string_view(position, length), token);
        read = ReadScalarToken(token, scalar);
    }
    if (read) {
        if (root) {
            SetOldContentAside(*node);
        }
        scalar.SetInto(*node);
        position = end;
    }
    return read;
}

template <typename Char>
bool JsonTextReader<Char>::ReadArray(JsonArray& elements, const Char*& position, int depth) {
    QAV_TRACE("JSONAR::RdAr");
    elements.clear();
    const size_t first = m_elements.size();
    const auto done = [&](bool read) {
        MoveElementsInto(elements, first);
        return read;
    };
    for (;;) {
        position = SkipWhiteSpace(position);
        if (At(position) == 0) {
            Report("JSON array not terminated.");
            return done(false);
        }
        if (At(position) == u']') {
            ++position;
            return done(true);
        }
        // A failed element stays, as the value holds what was built.
        JsonObject element;
        const bool parsed = ParseValue(element, position, depth);
        PushElement(element);
        if (!parsed) {
            return done(false);
        }
        position = SkipWhiteSpace(position);
        const WChar next = At(position);
        if (next == 0) {
            return done(false);
        }
        if (next != u',' && next != u']') {
            Report("Invalid char after JSON array element: %c", ReportedChar(Decoded(position)));
            return done(false);
        }
        ++position;
        if (next == u']') {
            return done(true);
        }
    }
}

template <typename Char>
bool JsonTextReader<Char>::ReadStruct(JsonVariablesMap& members, const Char*& position, int depth) {
    QAV_TRACE("JSONVM::RdSt");
    members.clear();
    for (;;) {
        position = SkipWhiteSpace(position);
        if (At(position) == 0) {
            Report("JSON struct not terminated.");
            return false;
        }
        if (At(position) == u'}') {
            ++position;
            return true;
        }
        if (At(position) != u'"') {
            return false;
        }
        ++position;
        // The next string read takes the view's place, so the name is kept until its
        // member is made: where the text holds it as it is, as that view; a short one on
        // the stack; a longer one in the tree at once. A member is then made straight
        // from the name, not moved from a string made before it.
        WChar shortName[kScanLanes<char>];
        WStringView name;
        std::optional<JsonString> longName;
        if (!ReadText(
                position,
                [&](WStringView text) {
                    if (text.data() == shortName || (kWide && text.data() != m_scratch.data())) {
                        name = text;
                        return;
                    }
                    if (text.size() < std::size(shortName)) {
                        CopyShortRun(text.data(), text.size(), shortName);
                        name = WStringView(shortName, text.size());
                    } else {
                        name = longName.emplace(text.data(), text.size(), members.get_allocator());
                    }
                },
                shortName)) {
            return false;
        }
        position = SkipWhiteSpace(position);
        if (At(position) == 0) {
            Report("Missing colon after JSON variable name.");
            return false;
        }
        if (At(position) != u':') {
            Report("Expecting colon after JSON variable name, found %c.",
                   ReportedChar(Decoded(position)));
            return false;
        }
        ++position;
        JsonObject value;
        if (!ParseValue(value, position, depth)) {
            return false;
        }
        const JsonValue* node = value.FindNode();
        if (node == nullptr || node->GetType() == kJsonNull) {
            members.Set(name, JsonObject());
        } else {
            // Text written from a tree (ours among it) lists members by name: such a
            // member goes at the end without a search. The name read goes in as it is.
            auto at = members.end();
            if (!members.empty() && !(WStringView(members.rbegin()->first) < name)) {
                at = members.lower_bound(name);
            }
            if (at != members.end() && WStringView(at->first) == name) {
                at->second = std::move(value);
            } else if (longName.has_value()) {
                members.emplace_hint(at, std::move(*longName), std::move(value));
            } else {
                members.emplace_hint(
                    at, std::piecewise_construct,
                    std::forward_as_tuple(name.data(), name.size(), members.get_allocator()),
                    std::forward_as_tuple(std::move(value)));
            }
        }
        position = SkipWhiteSpace(position);
        const WChar next = At(position);
        if (next == 0) {
            Report("JSON struct not terminated after value.");
            return false;
        }
        if (next != u',' && next != u'}') {
            Report("Unexpected character after JSON struct variable: %c",
                   ReportedChar(Decoded(position)));
            return false;
        }
        ++position;
        if (next == u'}') {
            return true;
        }
    }
}

bool JsonObject::FromText(const WChar* text) {
    static constexpr WChar kEmptyText[] = {0};
    JsonTextReader<WChar> reader(JsonTextReader<WChar>::Memory::kArena);
    return reader.ParseText(*this, text != nullptr ? text : kEmptyText);
}

bool JsonObject::FromUtf8Text(std::string_view text) {
    JsonTextReader<char> reader(JsonTextReader<char>::Memory::kArena, text.data() + text.size());
    return reader.ParseText(*this, text.data());
}

// The steps parse on the heap: the length of what they will read is not known.
bool JsonObject::ParseValue(const WChar*& position, int depth) {
    return JsonTextReader<WChar>(JsonTextReader<WChar>::Memory::kHeap)
        .ParseValue(*this, position, depth);
}

bool JsonObject::ReadString(const WChar*& position, WString& out) {
    return JsonTextReader<WChar>(JsonTextReader<WChar>::Memory::kHeap).ReadString(position, out);
}

bool JsonObject::ReadScalar(const WChar*& position) {
    return JsonTextReader<WChar>(JsonTextReader<WChar>::Memory::kHeap).ReadScalar(*this, position);
}

bool JsonArray::ReadArray(const WChar*& position, int depth) {
    return JsonTextReader<WChar>(JsonTextReader<WChar>::Memory::kHeap)
        .ReadArray(*this, position, depth);
}

bool JsonVariablesMap::ReadStruct(const WChar*& position, int depth) {
    return JsonTextReader<WChar>(JsonTextReader<WChar>::Memory::kHeap)
        .ReadStruct(*this, position, depth);
}

}  // namespace qav
