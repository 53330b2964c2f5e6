// The small free functions the rest of the system leans on for text: numbers to and
// from text, ASCII case folding and name cleaning, UTF-16 <-> UTF-8, hexadecimal,
// base64 and percent-encoding.
//
// All functions are stateless and may be called from any thread. They never throw
// and never log; failures show only in their return values. Numbers are written and
// read without any locale, and character classes are plain ASCII ranges.
//
// Two UTF-8 flavours live here:
//   - the protocol's flavour (WideToUtf8Buffer/WideToUtf8, Utf8ToWideBuffer/Utf8ToWide,
//     AppendUtf8AsWide): the encoder writes every UTF-16 unit on its own, as peers
//     expect, and the decoder is lenient: an invalid sequence becomes U+FFFD and
//     decoding goes on (core/utf8_codec.h states the rule);
//   - the strict flavour (WideToUtf8Strict/Utf8ToWideStrict) for paths and anything
//     else handed to the operating system: real UTF-8 both ways, refusing anything
//     that is not.
//
// Counts and capacities are in units of the buffer they describe (bytes for narrow
// buffers, UTF-16 units for wide ones). A negative count is taken as 0. A capacity of
// 0 means nothing at all is written, not even a terminating NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/wide_text.h"

namespace qav {

// ---- Numbers to text --------------------------------------------------------------

void IntToWString(int32_t value, WString& out);         // "%d"
void IntToString(int32_t value, std::string& out);      // "%d"
void UInt64ToHexWString(uint64_t value, WString& out);  // "0x" and 16 upper-case digits
// The shortest text that reads back to the same double ("123.456789", "1e+21"), for
// peers and files; texts for people format their own numbers.
void DoubleToWString(double value, WString& out);

// "1023 bytes", "1.0 KB", "1.00 MB", "1.000 GB": bytes below 1 KiB, then KiB, MiB, GiB.
void FormatByteSize(uint64_t byteCount, std::string& out);

// ---- Text to numbers --------------------------------------------------------------

// '0'..'9' alone, in any width of character.
constexpr bool IsAsciiDigit(uint32_t c) {
    return c >= '0' && c <= '9';
}

// 0..15 for '0'..'9', 'A'..'F', 'a'..'f'; -1 for anything else. Inline: parsers call it
// for every digit.
constexpr int HexDigitValue(int character) {
    if (character >= '0' && character <= '9') {
        return character - '0';
    }
    if (character >= 'A' && character <= 'F') {
        return character - 'A' + 10;
    }
    if (character >= 'a' && character <= 'f') {
        return character - 'a' + 10;
    }
    return -1;
}

// What ReadDigits found: how many units at the front were digits of the base, and the
// value they write. A value beyond 64 bits is flagged (and given as UINT64_MAX), never
// wrapped round to a small one.
struct DigitsRead {
    size_t count = 0;
    uint64_t value = 0;
    bool beyond64Bits = false;
};

// The one reader of integer digits (base 2 to 16, either case) behind every integer read
// from text: each reader of a form (signs, prefixes, white space, what ends it) takes its
// digits and their overflow from here, so that none wraps and none differs in its range.
// Inline: parsers call it for every number.
template <typename Char>
constexpr DigitsRead ReadDigits(std::basic_string_view<Char> text, int base) {
    DigitsRead read;
    for (; read.count < text.size(); ++read.count) {
        const int digit = HexDigitValue(static_cast<std::make_unsigned_t<Char>>(text[read.count]));
        if (digit < 0 || digit >= base) {
            break;
        }
        if (!read.beyond64Bits &&
            (__builtin_mul_overflow(read.value, static_cast<uint64_t>(base), &read.value) ||
             __builtin_add_overflow(read.value, static_cast<uint64_t>(digit), &read.value))) {
            read.beyond64Bits = true;
            read.value = UINT64_MAX;
        }
    }
    return read;
}

// The whole text as a base-10 number within the type's range: ASCII white space may stand
// around it and one sign before it, nothing else. For values that steer this process (a
// limit, a count), where a lenient reading would turn garbage into 0. False, with `value`
// untouched, for no digits, any other character, or a value out of range.
bool ParseDecimalInt32(WStringView text, int32_t& value);
bool ParseDecimalInt64(WStringView text, int64_t& value);

// Base 10 after optional ASCII white space and a sign; stops at the first non-digit.
// No digits give 0; values beyond the 32-bit range saturate.
int32_t WStringToInt(WStringView text);
// The same reading into 64 bits, saturating at the 64-bit limits.
int64_t WStringToInt64(WStringView text);

// The leading decimal number (optional white space, sign, digits, fraction, exponent),
// read in the "C" locale; "inf", "nan" and hexadecimal forms are not numbers here. No
// number gives 0.
double WStringToDouble(WStringView text);

// True when the text starts with 'T', 't', 'Y' or 'y'.
bool IsYesText(WStringView text);

// True when the first `count` units are all '0'..'9' (true for count 0).
bool IsAllDigitsW(const WChar* text, int count);

// True when the first six characters are all '0'..'9' (false for a shorter text).
bool IsAllDigits(std::string_view text);

// Reads "192.168.0.1"-style decimal parts (each below 256) into consecutive bytes and
// returns how many were stored. Reading ends at a character that is neither a digit
// nor a '.' after a part, at a part of 256 or more, at a NUL or after `maxChars`
// units. When a '.' follows the part that filled the last byte of `capacity`, that
// part is not counted, so a text with too many parts yields fewer than `capacity`.
int ParseDottedDecimal(const WChar* text, int maxChars, uint8_t* out, int capacity);

// Eight bytes in little- or big-endian order.
uint64_t LoadUInt64LE(const void* bytes);
uint64_t LoadUInt64BE(const void* bytes);

// ---- Comparing, cleaning, searching -----------------------------------------------

// 0 when a and b are equal ignoring the case of ASCII letters. Otherwise the 1-based
// position of the first difference: positive when a's (upper-cased) unit is greater or
// b ended first, negative when a's is smaller or a ended first.
int CompareNoCaseAsciiW(WStringView a, WStringView b);

// out = the first `count` bytes of text with 'A'..'Z' lowered; returns count.
int CopyLowerAscii(const char* text, int count, std::string& out);

// Lowers 'A'..'Z' in place; returns the length.
int MakeLowerAsciiW(WString& text);

// Replaces every unit that is not an ASCII letter or digit and not above 128 by '_'.
void SanitizeNameW(WString& text);

// Removes every byte of value 32 or less from both ends.
void TrimString(std::string& text);

// With skipSet, the position of the first unit not in `set`; otherwise the position of
// the first unit in `set`. WStringView::npos when the text ends first.
size_t SkipCharsW(WStringView text, WStringView set, bool skipSet);

// Offset of the first occurrence of the pattern in the buffer, or -1 (also for a
// negative length, an empty pattern or a pattern longer than the buffer).
int FindBytes(const void* buffer, int length, const void* pattern, int patternLength);

// ---- UTF-16 and UTF-8 -------------------------------------------------------------

// Encodes `count` units, each on its own (a surrogate pair becomes two 3-byte
// sequences), stopping before a unit whose bytes and the NUL would not fit. Returns the
// bytes written, not counting the NUL that follows them whenever capacity > 0.
int WideToUtf8Buffer(const WChar* text, int count, char* out, int capacity);

// The same into a string of exactly the encoded length; returns its length.
int WideToUtf8(const WChar* text, int count, std::string& out);

// Decodes leniently by the rule of core/utf8_codec.h: well-formed UTF-8 and surrogate
// pairs written as two three-byte sequences give their units; every invalid sequence
// (overlong forms and lone encoded surrogates included, and one cut off by the end of
// the input) becomes U+FFFD and decoding goes on. *invalidPosition gets the position
// just after the lead byte of the first invalid sequence (never 0), or 0 when there was
// none; it may be null. At most capacity - 1 units are written, then a NUL; a pair
// that would not fit with the NUL is not started.
int Utf8ToWideBuffer(const char* bytes, int length, WChar* out, int capacity, int* invalidPosition);

// The same into a string (no capacity limit); returns its length, or -1 (and out
// cleared) when there is no memory for it.
int Utf8ToWide(const char* bytes, int length, WString& out, int* invalidPosition);

// The same decoding, appended to `out`.
void AppendUtf8AsWide(std::string_view bytes, WString& out);

// Real UTF-8: a surrogate pair becomes one 4-byte sequence. False (and out cleared) on
// a lone surrogate.
bool WideToUtf8Strict(WStringView text, std::string& out);

// False (and out cleared) on any invalid, overlong, surrogate or out-of-range UTF-8.
bool Utf8ToWideStrict(std::string_view bytes, WString& out);

// ---- Hexadecimal ------------------------------------------------------------------

// Two characters per byte, high nibble first, into out[0 .. 2*count). No terminator.
void HexEncode(const void* bytes, int count, bool upperCase, char* out);
void HexEncodeToString(const void* bytes, int count, bool upperCase, std::string& out);

// The digits of hexadecimal numbers, by value.
inline constexpr char kLowerHexDigits[] = "0123456789abcdef";
inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

// The byte written by two hexadecimal digits, or -1.
int HexByteValue(char high, char low);

// Up to `maxCount` hexadecimal digits, stopping early at a NUL; 0 for an empty text,
// 0xFFFFFFFF as soon as a unit is not a hexadecimal digit.
uint32_t HexTextToUInt(const WChar* text, int maxCount);

// ---- Base64 (standard alphabet, '=' padding, no line breaks) ----------------------

// Returns the characters written. Stops when the capacity is used up (a truncated
// encoding); a NUL follows when room remains.
int Base64Encode(const void* bytes, int count, char* out, int capacity);
int Base64EncodeW(const void* bytes, int count, WChar* out, int capacity);

// 0..63, or -1 for anything outside the alphabet (including '=').
int Base64DigitValue(int character);

// Decodes whole groups of four characters (a shorter trailing group is ignored) and
// returns the bytes written. A group whose first character is outside the alphabet
// ends decoding; one whose second is gives no bytes; a third or fourth character
// outside the alphabet ('=' included) ends the group's bytes early. Output stops at the
// capacity; a NUL follows when room remains. White space is not skipped.
int Base64Decode(const char* text, int count, void* out, int capacity);
// The same over wide characters, each taken by its low 8 bits.
int Base64DecodeW(const WChar* text, int count, void* out, int capacity);

// ---- Percent-encoding (in place) --------------------------------------------------

// Every byte other than ASCII letters, digits, '-', '.', '/' and '_' becomes "%XX".
void UrlEncode(std::string& text);

// "%XX" (either case) becomes its byte, '+' a space; a '%' without two hexadecimal
// digits after it stays.
void UrlDecode(std::string& text);

}  // namespace qav
