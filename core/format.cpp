#include "core/format.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/text_utils.h"
#include "core/utf8_codec.h"

namespace qav {

int64_t FormatArg::AsSigned() const {
    switch (m_kind) {
        case Kind::kSigned:
            return m_signed;
        case Kind::kUnsigned:
            // C's view of an unsigned value under %d: the same bits, signed, at its width
            // after promotion (types narrower than int keep their value).
            switch (m_size) {
                case 1:
                case 2:
                    return static_cast<int64_t>(m_unsigned);
                case 4:
                    return static_cast<int32_t>(m_unsigned);
                default:
                    return static_cast<int64_t>(m_unsigned);
            }
        case Kind::kDouble:
            if (std::isnan(m_double)) {
                return 0;
            }
            if (m_double >= 9.2e18) {
                return std::numeric_limits<int64_t>::max();
            }
            if (m_double <= -9.2e18) {
                return std::numeric_limits<int64_t>::min();
            }
            return static_cast<int64_t>(m_double);
        case Kind::kPointer:
            return static_cast<int64_t>(m_pointer);
        default:
            return 0;
    }
}

uint64_t FormatArg::AsUnsigned() const {
    if (m_kind == Kind::kSigned) {
        // Types narrower than int are promoted to int first, as through C's varargs.
        const uint64_t bits = static_cast<uint64_t>(m_signed);
        return m_size >= 8 ? bits : bits & 0xFFFFFFFFu;
    }
    if (m_kind == Kind::kUnsigned) {
        return m_unsigned;
    }
    return static_cast<uint64_t>(AsSigned());
}

double FormatArg::AsDouble() const {
    switch (m_kind) {
        case Kind::kDouble:
            return m_double;
        case Kind::kSigned:
            return static_cast<double>(m_signed);
        case Kind::kUnsigned:
            return static_cast<double>(m_unsigned);
        default:
            return 0.0;
    }
}

namespace {

// Output into a fixed buffer that keeps room for the terminator.
template <typename Char>
class BufferOutput {
  public:
    BufferOutput(Char* buffer, size_t capacity) : m_buffer(buffer), m_capacity(capacity) {}

    void Put(Char c) {
        if (m_length + 1 < m_capacity) {
            m_buffer[m_length++] = c;
        } else {
            m_overflow = true;
        }
    }

    int Finish() {
        if (m_capacity == 0) {
            return m_overflow ? -1 : 0;
        }
        m_buffer[m_length] = Char(0);
        return m_overflow ? -1 : static_cast<int>(m_length);
    }

  private:
    Char* m_buffer;
    size_t m_capacity;
    size_t m_length = 0;
    bool m_overflow = false;
};

template <typename Char>
class StringOutput {
  public:
    explicit StringOutput(std::basic_string<Char>& text) : m_text(text) {}
    void Put(Char c) { m_text.push_back(c); }

  private:
    std::basic_string<Char>& m_text;
};

struct Spec {
    bool leftAlign = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;  // -1: none given
    char conversion = 0;
};

// Writes a converted piece with the conversion's width: `prefix` (sign or 0x) stays in front
// of zero padding, `body` is ASCII or text units already in the output's encoding.
template <typename Char, typename Output>
class Writer {
  public:
    explicit Writer(Output& output) : m_out(output) {}

    void Put(Char c) { m_out.Put(c); }

    void PutAscii(std::string_view text) {
        for (char c : text) {
            m_out.Put(static_cast<Char>(static_cast<unsigned char>(c)));
        }
    }

    void Pad(int count, Char fill) {
        for (int i = 0; i < count; ++i) {
            m_out.Put(fill);
        }
    }

    // A number: prefix, then leading zeros up to the width when zero padding applies.
    void PutNumber(const Spec& spec, std::string_view prefix, std::string_view digits,
                   bool zeroPadAllowed) {
        const int length = static_cast<int>(prefix.size() + digits.size());
        const int padding = spec.width > length ? spec.width - length : 0;
        if (spec.leftAlign) {
            PutAscii(prefix);
            PutAscii(digits);
            Pad(padding, Char(' '));
        } else if (spec.zeroPad && zeroPadAllowed) {
            PutAscii(prefix);
            Pad(padding, Char('0'));
            PutAscii(digits);
        } else {
            Pad(padding, Char(' '));
            PutAscii(prefix);
            PutAscii(digits);
        }
    }

  private:
    Output& m_out;
};

// Digits of value in base, at least `precision` of them (precision 0 and value 0: none).
std::string_view IntegerDigits(uint64_t value, int base, bool upper, int precision, char* end,
                               char* begin) {
    const char* digits = upper ? kUpperHexDigits : kLowerHexDigits;
    char* at = end;
    while (value != 0 && at > begin) {
        *--at = digits[value % base];
        value /= base;
    }
    const int wanted = precision < 0 ? 1 : precision;
    while (end - at < wanted && at > begin) {
        *--at = '0';
    }
    return std::string_view(at, static_cast<size_t>(end - at));
}

template <typename Char, typename Output>
void FormatInteger(Writer<Char, Output>& writer, const Spec& spec, const FormatArg& arg) {
    // Precision may ask for many leading zeros; keep it within a sane bound.
    char buffer[600];
    char* end = buffer + sizeof buffer;
    const int precision = spec.precision > 500 ? 500 : spec.precision;
    std::string_view prefix;
    std::string_view digits;
    char sign[1];
    switch (spec.conversion) {
        case 'd':
        case 'i': {
            const int64_t value = arg.AsSigned();
            const uint64_t magnitude = value < 0 ? uint64_t{0} - static_cast<uint64_t>(value)
                                                 : static_cast<uint64_t>(value);
            digits = IntegerDigits(magnitude, 10, false, precision, end, buffer);
            if (value < 0 || spec.plus || spec.space) {
                sign[0] = value < 0 ? '-' : spec.plus ? '+' : ' ';
                prefix = std::string_view(sign, 1);
            }
            break;
        }
        case 'u':
            digits = IntegerDigits(arg.AsUnsigned(), 10, false, precision, end, buffer);
            break;
        case 'o': {
            const uint64_t value = arg.AsUnsigned();
            digits = IntegerDigits(value, 8, false, precision, end, buffer);
            if (spec.alternate && (digits.empty() || digits.front() != '0')) {
                prefix = "0";
            }
            break;
        }
        default: {  // x, X
            const bool upper = spec.conversion == 'X';
            const uint64_t value = arg.AsUnsigned();
            digits = IntegerDigits(value, 16, upper, precision, end, buffer);
            if (spec.alternate && value != 0) {
                prefix = upper ? "0X" : "0x";
            }
            break;
        }
    }
    writer.PutNumber(spec, prefix, digits, spec.precision < 0);
}

template <typename Char, typename Output>
void FormatDouble(Writer<Char, Output>& writer, const Spec& spec, double value) {
    const bool negative = std::signbit(value);
    const double magnitude = std::fabs(value);
    const char lower = static_cast<char>(spec.conversion | 0x20);
    const bool upper = spec.conversion != lower;
    std::string digits;
    if (std::isnan(magnitude) || std::isinf(magnitude)) {
        digits = std::isnan(magnitude) ? "nan" : "inf";
    } else {
        const std::chars_format format = lower == 'f'   ? std::chars_format::fixed
                                         : lower == 'e' ? std::chars_format::scientific
                                                        : std::chars_format::general;
        int precision = spec.precision < 0 ? 6 : spec.precision;
        if (precision > 500) {
            precision = 500;
        }
        // Fixed notation of the largest double has 309 integer digits.
        digits.resize(330 + static_cast<size_t>(precision));
        const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), magnitude,
                                          format, precision);
        digits.resize(static_cast<size_t>(result.ptr - digits.data()));
        if (spec.alternate && lower == 'f' && precision == 0) {
            digits.push_back('.');
        }
    }
    if (upper) {
        for (char& c : digits) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
    }
    char sign[1];
    std::string_view prefix;
    if (negative || spec.plus || spec.space) {
        sign[0] = negative ? '-' : spec.plus ? '+' : ' ';
        prefix = std::string_view(sign, 1);
    }
    writer.PutNumber(spec, prefix, digits, std::isfinite(magnitude));
}

// Appends the argument's text in the output's encoding; precision limits the units
// read from the argument.
template <typename Char, typename Output>
void FormatString(Writer<Char, Output>& writer, const Spec& spec, const FormatArg& arg) {
    const size_t limit =
        spec.precision < 0 ? FormatArg::kUntilNul : static_cast<size_t>(spec.precision);
    std::basic_string<Char> converted;
    auto take = [&](auto* text, size_t length) {
        using In = std::remove_const_t<std::remove_pointer_t<decltype(text)>>;
        if (text == nullptr) {
            // An empty view may carry no data pointer: it is empty text, not a null string.
            if (length != FormatArg::kUntilNul) {
                return;
            }
            static constexpr char kNull[] = "(null)";
            for (size_t i = 0; i < 6 && i < limit; ++i) {
                converted.push_back(static_cast<Char>(kNull[i]));
            }
            return;
        }
        size_t count = 0;
        if (length == FormatArg::kUntilNul) {
            while (count < limit && text[count] != In(0)) {
                ++count;
            }
        } else {
            count = length < limit ? length : limit;
        }
        if constexpr (std::is_same_v<In, Char>) {
            converted.assign(text, count);
        } else if constexpr (std::is_same_v<Char, char>) {
            char bytes[3];
            for (size_t i = 0; i < count; ++i) {
                const int n = EncodeUnitUtf8(text[i], bytes);
                converted.append(bytes, static_cast<size_t>(n));
            }
        } else {
            const auto* bytes = reinterpret_cast<const unsigned char*>(text);
            size_t at = 0;
            while (at < count) {
                if (bytes[at] < 0x80) {
                    converted.push_back(static_cast<Char>(bytes[at++]));
                    continue;
                }
                WChar units[2];
                WChar* end = units;
                at += DecodeUtf8Sequence(bytes + at, count - at, end);
                converted.append(units, static_cast<size_t>(end - units));
            }
        }
    };
    if (arg.kind() == FormatArg::Kind::kNarrow) {
        take(static_cast<const char*>(arg.text()), arg.textLength());
    } else {
        take(static_cast<const WChar*>(arg.text()), arg.textLength());
    }
    const int length = static_cast<int>(converted.size());
    const int padding = spec.width > length ? spec.width - length : 0;
    if (!spec.leftAlign) {
        writer.Pad(padding, Char(' '));
    }
    for (Char c : converted) {
        writer.Put(c);
    }
    if (spec.leftAlign) {
        writer.Pad(padding, Char(' '));
    }
}

template <typename Char, typename Output>
void FormatCharacter(Writer<Char, Output>& writer, const Spec& spec, const FormatArg& arg) {
    std::basic_string<Char> converted;
    const uint64_t value = arg.AsUnsigned();
    if constexpr (std::is_same_v<Char, char>) {
        if (arg.size() == 1) {
            converted.push_back(static_cast<char>(value));
        } else {
            char bytes[3];
            converted.append(bytes,
                             static_cast<size_t>(EncodeUnitUtf8(static_cast<WChar>(value), bytes)));
        }
    } else {
        converted.push_back(
            static_cast<WChar>(arg.size() == 1 ? (value & 0xFF) : (value & 0xFFFF)));
    }
    const int padding = spec.width > 1 ? spec.width - 1 : 0;
    if (!spec.leftAlign) {
        writer.Pad(padding, Char(' '));
    }
    for (Char c : converted) {
        writer.Put(c);
    }
    if (spec.leftAlign) {
        writer.Pad(padding, Char(' '));
    }
}

template <typename Char, typename Output>
void FormatPointer(Writer<Char, Output>& writer, const Spec& spec, const FormatArg& arg) {
    char buffer[2 * sizeof(uintptr_t)];
    const uint64_t value =
        arg.kind() == FormatArg::Kind::kPointer ? arg.pointer() : arg.AsUnsigned();
    const std::string_view digits =
        IntegerDigits(value, 16, true, 2 * sizeof(uintptr_t), buffer + sizeof buffer, buffer);
    Spec plain = spec;
    plain.zeroPad = false;
    writer.PutNumber(plain, {}, digits, false);
}

// The conversion letters this formatter knows; any other is shown as written.
constexpr std::string_view kConversions = "diuoxXcsSpfFeEgG";

template <typename Char, typename Output>
void FormatInto(Output& output, std::basic_string_view<Char> format, FormatArgs args) {
    Writer<Char, Output> writer(output);
    size_t next = 0;
    auto nextArg = [&]() -> const FormatArg* {
        return next < args.size() ? &args[next++] : nullptr;
    };
    const size_t end = format.size();
    size_t at = 0;
    while (at < end) {
        const Char c = format[at++];
        if (c != Char('%')) {
            writer.Put(c);
            continue;
        }
        if (at >= end) {
            writer.Put(c);  // a lone '%' at the end stays as it is
            break;
        }
        Spec spec;
        for (; at < end; ++at) {
            const Char flag = format[at];
            if (flag == Char('-')) {
                spec.leftAlign = true;
            } else if (flag == Char('+')) {
                spec.plus = true;
            } else if (flag == Char(' ')) {
                spec.space = true;
            } else if (flag == Char('#')) {
                spec.alternate = true;
            } else if (flag == Char('0')) {
                spec.zeroPad = true;
            } else {
                break;
            }
        }
        auto readNumber = [&](int& value) {
            if (at < end && format[at] == Char('*')) {
                ++at;
                const FormatArg* arg = nextArg();
                const int64_t given = arg != nullptr ? arg->AsSigned() : 0;
                value = given > 100000    ? 100000
                        : given < -100000 ? -100000
                                          : static_cast<int>(given);
                return true;
            }
            bool any = false;
            value = 0;
            while (at < end && format[at] >= Char('0') && format[at] <= Char('9')) {
                if (value < 100000) {
                    value = value * 10 + static_cast<int>(format[at] - Char('0'));
                }
                ++at;
                any = true;
            }
            return any;
        };
        readNumber(spec.width);
        if (spec.width < 0) {  // a negative "*" width means left alignment
            spec.leftAlign = true;
            spec.width = -spec.width;
        }
        if (at < end && format[at] == Char('.')) {
            ++at;
            int precision = 0;
            readNumber(precision);
            spec.precision = precision < 0 ? -1 : precision;
        }
        // Length modifiers: the argument's own type decides.
        while (at < end) {
            const Char m = format[at];
            if (m == Char('h') || m == Char('l') || m == Char('z') || m == Char('j') ||
                m == Char('t') || m == Char('L') || m == Char('q')) {
                ++at;
            } else if (m == Char('I')) {
                ++at;
                if (at + 1 < end && ((format[at] == Char('6') && format[at + 1] == Char('4')) ||
                                     (format[at] == Char('3') && format[at + 1] == Char('2')))) {
                    at += 2;
                }
            } else {
                break;
            }
        }
        if (at >= end) {
            break;
        }
        const Char conversion = format[at++];
        spec.conversion = conversion < 0x80 ? static_cast<char>(conversion) : '?';
        if (spec.conversion == '%') {
            writer.Put(Char('%'));
            continue;
        }
        if (kConversions.find(spec.conversion) == std::string_view::npos) {
            // Not a conversion of ours: show it as written and take no argument.
            writer.Put(Char('%'));
            writer.Put(conversion);
            continue;
        }
        const FormatArg* arg = nextArg();
        if (arg == nullptr) {
            continue;
        }
        const FormatArg::Kind kind = arg->kind();
        const bool isText = kind == FormatArg::Kind::kNarrow || kind == FormatArg::Kind::kWide;
        switch (spec.conversion) {
            case 's':
            case 'S':
                if (isText) {
                    FormatString(writer, spec, *arg);
                } else if (kind == FormatArg::Kind::kDouble) {
                    Spec general = spec;
                    general.conversion = 'g';
                    FormatDouble(writer, general, arg->AsDouble());
                } else {
                    Spec decimal = spec;
                    decimal.conversion = kind == FormatArg::Kind::kUnsigned ? 'u' : 'd';
                    FormatInteger(writer, decimal, *arg);
                }
                break;
            case 'c':
                if (isText) {
                    FormatString(writer, spec, *arg);
                } else {
                    FormatCharacter(writer, spec, *arg);
                }
                break;
            case 'p':
                if (isText) {
                    FormatPointer(writer, spec, FormatArg(arg->text()));
                } else {
                    FormatPointer(writer, spec, *arg);
                }
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
                if (isText) {
                    FormatString(writer, spec, *arg);
                } else {
                    FormatDouble(writer, spec, arg->AsDouble());
                }
                break;
            default:
                if (isText) {
                    FormatString(writer, spec, *arg);
                } else {
                    FormatInteger(writer, spec, *arg);
                }
                break;
        }
    }
}

}  // namespace

int FormatTextV(char* buffer, size_t capacity, std::string_view format, FormatArgs args) {
    BufferOutput<char> output(buffer, capacity);
    FormatInto<char>(output, format, args);
    return output.Finish();
}

int FormatTextWV(WChar* buffer, size_t capacity, WStringView format, FormatArgs args) {
    BufferOutput<WChar> output(buffer, capacity);
    FormatInto<WChar>(output, format, args);
    return output.Finish();
}

std::string FormatStringV(std::string_view format, FormatArgs args) {
    std::string text;
    StringOutput<char> output(text);
    FormatInto<char>(output, format, args);
    return text;
}

WString FormatWStringV(WStringView format, FormatArgs args) {
    WString text;
    StringOutput<WChar> output(text);
    FormatInto<WChar>(output, format, args);
    return text;
}

}  // namespace qav
