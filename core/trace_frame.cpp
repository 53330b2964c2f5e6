#include "core/trace_frame.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/text_utils.h"
#include "core/utf8_codec.h"
#include "platform/safe_read.h"

namespace qav {

namespace {

constexpr int kReportRoom = 200;
// Chains are followed through memory that may be corrupt: a loop of frames or
// variables that write nothing must still end.
constexpr int kMaxFrames = 4096;
constexpr int kMaxVariables = 4096;

// The bytes of a NUL-terminated text, read safely up to a limit.
struct TextProbe {
    enum Status { kComplete, kTooLong, kUnreadable };
    Status status;
    int length;  // the text's length (kComplete) or the bytes read
};

TextProbe ProbeText(const char* text, char* out, int limit) {
    const int read = static_cast<int>(platform::SafeReadPrefix(text, out, limit));
    const void* nul = std::memchr(out, '\0', static_cast<size_t>(read));
    if (nul != nullptr) {
        return {TextProbe::kComplete, static_cast<int>(static_cast<const char*>(nul) - out)};
    }
    return {read == limit ? TextProbe::kTooLong : TextProbe::kUnreadable, read};
}

bool FirstByteReadable(const void* address) {
    char byte;
    return platform::SafeRead(address, &byte, 1);
}

// Bytes of the variable itself that its type code renders.
size_t ValueWidth(int32_t type) {
    switch (type) {
        case kTracePointer:
        case kTraceText:
        case kTraceWideText:
            return sizeof(void*);
        case kTraceInt64:
            return 8;
        case kTraceBool:
        case kTraceByte:
            return 1;
        case kTraceInt16:
        case kTraceFlags:
            return 2;
        default:
            return 4;
    }
}

int WriteHex(char* out, uint64_t value, int digits) {
    out[0] = '0';
    out[1] = 'x';
    for (int i = 0; i < digits; ++i) {
        out[2 + i] = kUpperHexDigits[(value >> (4 * (digits - 1 - i))) & 0xF];
    }
    return 2 + digits;
}

// Decimal with "," after every three digits from the right.
int WriteGrouped(char* out, int64_t value) {
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char reversed[32];
    int count = 0;
    int digits = 0;
    do {
        if (digits > 0 && digits % 3 == 0) {
            reversed[count++] = ',';
        }
        reversed[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
        ++digits;
    } while (magnitude != 0);
    int length = 0;
    if (value < 0) {
        out[length++] = '-';
    }
    while (count > 0) {
        out[length++] = reversed[--count];
    }
    return length;
}

// Appends to the report and counts the room down, so that the report never runs past
// its room.
class ReportOut {
  public:
    ReportOut(char* buffer, int room) : m_buffer(buffer), m_room(room) {}

    int room() const { return m_room; }
    int length() const { return m_length; }

    bool Put(const char* text, int length) {
        if (length > m_room) {
            return false;
        }
        std::memcpy(m_buffer + m_length, text, static_cast<size_t>(length));
        m_length += length;
        m_room -= length;
        return true;
    }
    bool Put(const char* text) { return Put(text, static_cast<int>(std::strlen(text))); }

  private:
    char* m_buffer;
    int m_room;
    int m_length = 0;
};

void WriteNarrowText(ReportOut& out, const char* text) {
    if (text == nullptr) {
        out.Put("NULL");
        return;
    }
    if (!FirstByteReadable(text)) {
        out.Put("INVALID");
        return;
    }
    out.Put("\"");
    // Characters are copied while at least 15 characters of room remain.
    char copy[kReportRoom];
    const int limit = std::max(0, out.room() - 14);
    const TextProbe probe = ProbeText(text, copy, limit);
    out.Put(copy, probe.length);
    out.Put("\"");
}

void WriteWideText(ReportOut& out, const WChar* text) {
    if (text == nullptr || reinterpret_cast<uintptr_t>(text) % 2 != 0) {
        out.Put("NULL");
        return;
    }
    WChar first;
    if (!platform::SafeRead(text, &first, sizeof first)) {
        out.Put("INVALID");
        return;
    }
    // Written only when the length plus 15 is less than the room.
    const int maxUnits = out.room() - 16;
    if (maxUnits < 0) {
        return;
    }
    WChar units[kReportRoom];
    const size_t unitsRead =
        platform::SafeReadPrefix(text, units, (static_cast<size_t>(maxUnits) + 1) * sizeof(WChar)) /
        sizeof(WChar);
    const WChar* end = std::find(units, units + unitsRead, WChar{0});
    if (end == units + unitsRead) {
        return;  // too long for the room, or unreadable before its end
    }
    char utf8[kReportRoom + 3];
    const int byteLimit = out.room() - 16;
    int bytes = 0;
    utf8[bytes++] = '"';
    for (const WChar* unit = units; unit != end; ++unit) {
        if (bytes - 1 + Utf8LengthOfUnit(*unit) > byteLimit) {
            break;
        }
        bytes += EncodeUnitUtf8(*unit, utf8 + bytes);
    }
    utf8[bytes++] = '"';
    out.Put(utf8, bytes);
}

void WriteValue(ReportOut& out, int32_t type, const unsigned char* value) {
    char text[80];
    int length = 0;
    auto read = [value](auto zero) {
        decltype(zero) result;
        std::memcpy(&result, value, sizeof result);
        return result;
    };
    switch (type) {
        case kTracePointer: {
            const auto pointer = read(uintptr_t{});
            if (pointer == 0) {
                out.Put("NULL");
                return;
            }
            if (!FirstByteReadable(reinterpret_cast<const void*>(pointer))) {
                std::memcpy(text, "(BAD)", 5);
                length = 5;
            }
            length += WriteHex(text + length, pointer, static_cast<int>(sizeof(void*) * 2));
            break;
        }
        case kTraceInt32:
            length = WriteGrouped(text, read(int32_t{}));
            break;
        case kTraceMask: {
            if (out.room() <= 40) {
                return;
            }
            const auto mask = read(uint32_t{});
            text[length++] = '0';
            text[length++] = 'b';
            for (int bit = 31; bit >= 0; --bit) {
                text[length++] = (mask >> bit) & 1 ? '1' : '0';
            }
            break;
        }
        case kTraceText:
            WriteNarrowText(out, reinterpret_cast<const char*>(read(uintptr_t{})));
            return;
        case kTraceBool:
            out.Put(value[0] != 0 ? "True" : "False");
            return;
        case kTraceWideText:
            WriteWideText(out, reinterpret_cast<const WChar*>(read(uintptr_t{})));
            return;
        case kTraceInt64:
            length = WriteGrouped(text, read(int64_t{}));
            break;
        case kTraceByte:
            length = WriteHex(text, value[0], 2);
            break;
        case kTraceInt16:
            length = WriteGrouped(text, read(int16_t{}));
            break;
        case kTraceFlags:
            length = WriteHex(text, read(uint16_t{}), 4);
            break;
        default:
            length = WriteHex(text, read(uint32_t{}), 8);
            break;
    }
    out.Put(text, length);  // a value that does not fit writes nothing
}

void WriteVariables(ReportOut& out, const TraceVariable* record) {
    for (int count = 0; record != nullptr && count < kMaxVariables; ++count) {
        TraceVariable variable;
        if (!platform::SafeRead(record, &variable, sizeof variable)) {
            return;
        }
        record = variable.m_next;
        unsigned char value[8];
        if (!FirstByteReadable(variable.m_name) ||
            !platform::SafeRead(variable.m_address, value, ValueWidth(variable.m_type))) {
            continue;
        }
        // The list stops when the name's length plus 15 is not below the room.
        char name[kReportRoom];
        const int nameLimit = out.room() - 15;
        if (nameLimit <= 0) {
            return;
        }
        const TextProbe probe = ProbeText(variable.m_name, name, nameLimit);
        if (probe.status == TextProbe::kTooLong) {
            return;
        }
        if (probe.status == TextProbe::kUnreadable) {
            continue;
        }
        out.Put(" ");
        out.Put(name, probe.length);
        out.Put("=");
        WriteValue(out, variable.m_type, value);
    }
}

}  // namespace

int WriteStateReport(const TraceFrame* frame, char* buffer, size_t size) {
    if (buffer == nullptr) {
        return 0;
    }
    ReportOut out(buffer, static_cast<int>(std::min<size_t>(kReportRoom, size)));
    for (int count = 0; frame != nullptr && count < kMaxFrames; ++count) {
        if (out.room() <= 10 || reinterpret_cast<uintptr_t>(frame) % alignof(TraceFrame) != 0) {
            break;
        }
        TraceFrame fields;
        if (!platform::SafeRead(frame, &fields, offsetof(TraceFrame, m_slot))) {
            break;
        }
        frame = fields.m_previous;
        if (fields.m_tag == nullptr) {
            continue;
        }
        // The report stops at a tag that is unreadable or whose length plus 2 is not
        // below the room.
        char tag[kReportRoom];
        const TextProbe probe = ProbeText(fields.m_tag, tag, out.room() - 2);
        if (probe.status != TextProbe::kComplete) {
            break;
        }
        out.Put(tag, probe.length);
        WriteVariables(out, fields.m_firstVariable);
        if (!out.Put("\r\n", 2)) {
            break;
        }
    }
    return out.length();
}

TraceFrame** TraceFrame::AttachThread(TraceFrame* frame, const char* tag) {
    // Installed before the thread's first frame exists, hence before any report can
    // find a chain to render.
    platform::SetTraceChainWriter(&WriteStateReport);
    return platform::GetAllocExVarsStorage(frame, tag);
}

}  // namespace qav
