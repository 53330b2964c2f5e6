// The system's one printf-style formatter, for narrow (UTF-8) and wide (UTF-16) text.
//
// Arguments are captured with their types, so a conversion can never read an
// argument that was not passed: a missing argument prints nothing, and the value's
// own type (not the length modifier) decides how it is read. The conversions are
//   %d %i %u %o %x %X %c %s %S %p %f %F %e %E %g %G %%
// with the flags "-+ #0", a width and a precision, either of which may be "*".
// Length modifiers (h, l, ll, z, j, t, L, I64) are accepted and ignored.
//   - %s, %S and %ls print narrow or wide strings alike: a wide argument is encoded
//     into narrow output as UTF-8 (unit by unit) and a narrow argument decoded into
//     wide output. A precision counts code units of the argument.
//   - %d of an unsigned value and %u or %x of a signed one reinterpret the value at
//     its own width, as C does (-1 as %x of an int is FFFFFFFF).
//   - %p prints the pointer's hexadecimal digits in upper case, zero-padded to the
//     pointer's width, without "0x".
//   - Doubles are written locale-free, exactly as the "C" locale would.
//
// Typical usage:
//   char text[100];
//   FormatText(text, sizeof text, "Mutex is locked (%d) by thread %ld", count, owner);
//   std::string line = FormatString("Failed to %s: socket error %d = %S", step, code, errorText);
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/wide_text.h"

namespace qav {

// One captured argument. Built implicitly from the values passed to the front ends.
class FormatArg {
  public:
    enum class Kind : uint8_t { kNone, kSigned, kUnsigned, kDouble, kNarrow, kWide, kPointer };

    // Strings without a length are read up to their NUL, or up to the precision.
    static constexpr size_t kUntilNul = static_cast<size_t>(-1);

    FormatArg() = default;

    template <typename T>
    requires std::is_integral_v<T> FormatArg(T value) : m_size(static_cast<uint8_t>(sizeof(T))) {
        if constexpr (std::is_same_v<T, bool>) {
            m_kind = Kind::kSigned;
            m_signed = value ? 1 : 0;
        } else if constexpr (std::is_signed_v<T>) {
            m_kind = Kind::kSigned;
            m_signed = value;
        } else {
            m_kind = Kind::kUnsigned;
            m_unsigned = value;
        }
    }

    template <typename T>
    requires std::is_enum_v<T> FormatArg(T value)
        : FormatArg(static_cast<std::underlying_type_t<T>>(value)) {}

    FormatArg(double value) : m_kind(Kind::kDouble), m_double(value) {}
    FormatArg(float value) : m_kind(Kind::kDouble), m_double(value) {}

    FormatArg(const char* text) : m_kind(Kind::kNarrow), m_text{text, kUntilNul} {}
    FormatArg(char* text) : FormatArg(static_cast<const char*>(text)) {}
    FormatArg(const unsigned char* text) : FormatArg(reinterpret_cast<const char*>(text)) {}
    FormatArg(const std::string& text) : m_kind(Kind::kNarrow), m_text{text.data(), text.size()} {}
    FormatArg(std::string_view text) : m_kind(Kind::kNarrow), m_text{text.data(), text.size()} {}

    FormatArg(const WChar* text) : m_kind(Kind::kWide), m_text{text, kUntilNul} {}
    FormatArg(WChar* text) : FormatArg(static_cast<const WChar*>(text)) {}
    FormatArg(const WString& text) : m_kind(Kind::kWide), m_text{text.data(), text.size()} {}
    FormatArg(WStringView text) : m_kind(Kind::kWide), m_text{text.data(), text.size()} {}

    FormatArg(std::nullptr_t) : m_kind(Kind::kPointer), m_pointer(0) {}
    FormatArg(const void* pointer)
        : m_kind(Kind::kPointer), m_pointer(reinterpret_cast<uintptr_t>(pointer)) {}

    Kind kind() const { return m_kind; }
    // Width of an integer argument in bytes.
    int size() const { return m_size; }
    int64_t AsSigned() const;     // integers at their own width; doubles truncated
    uint64_t AsUnsigned() const;  // integers at their own width, as C's unsigned view
    double AsDouble() const;
    const void* text() const { return m_text.data; }
    size_t textLength() const { return m_text.length; }
    uintptr_t pointer() const { return m_pointer; }

  private:
    struct Text {
        const void* data;
        size_t length;
    };

    Kind m_kind = Kind::kNone;
    uint8_t m_size = 0;
    union {
        int64_t m_signed = 0;
        uint64_t m_unsigned;
        double m_double;
        Text m_text;
        uintptr_t m_pointer;
    };
};

using FormatArgs = std::span<const FormatArg>;

// Formats into a buffer of `capacity` units. Returns the units written (without the
// terminating NUL), or -1 when the text did not fit; the buffer then holds as much as
// fitted. The buffer is NUL-terminated whenever capacity is at least 1; a capacity of
// 0 writes nothing.
int FormatTextV(char* buffer, size_t capacity, std::string_view format, FormatArgs args);
int FormatTextWV(WChar* buffer, size_t capacity, WStringView format, FormatArgs args);

// Formats into a string of whatever length the text needs.
std::string FormatStringV(std::string_view format, FormatArgs args);
WString FormatWStringV(WStringView format, FormatArgs args);

template <typename... Args>
int FormatText(char* buffer, size_t capacity, std::string_view format, const Args&... args) {
    const FormatArg captured[sizeof...(Args) + 1] = {FormatArg(args)...};
    return FormatTextV(buffer, capacity, format, FormatArgs(captured, sizeof...(Args)));
}

template <typename... Args>
int FormatTextW(WChar* buffer, size_t capacity, WStringView format, const Args&... args) {
    const FormatArg captured[sizeof...(Args) + 1] = {FormatArg(args)...};
    return FormatTextWV(buffer, capacity, format, FormatArgs(captured, sizeof...(Args)));
}

template <typename... Args>
std::string FormatString(std::string_view format, const Args&... args) {
    const FormatArg captured[sizeof...(Args) + 1] = {FormatArg(args)...};
    return FormatStringV(format, FormatArgs(captured, sizeof...(Args)));
}

template <typename... Args>
WString FormatWString(WStringView format, const Args&... args) {
    const FormatArg captured[sizeof...(Args) + 1] = {FormatArg(args)...};
    return FormatWStringV(format, FormatArgs(captured, sizeof...(Args)));
}

}  // namespace qav
