// The resolver's wire format: the queries it sends and the answers it reads. Every byte
// of an answer is read through one ByteReader, so no fault of the datagram can make a
// read leave it.
#include <algorithm>
#include <cstring>

#include "core/trace_frame.h"
#include "network/host_address_resolver.h"
#include "platform/socket.h"

namespace qav {
namespace {

constexpr uint16_t kDnsQueryFlags = 0x0100;      // recursion desired
constexpr uint16_t kNetbiosQueryFlags = 0x0110;  // recursion desired, broadcast
constexpr uint16_t kTypeA = 0x0001;
constexpr uint16_t kTypeNetbios = 0x0020;
constexpr uint16_t kClassInternet = 0x0001;
constexpr uint8_t kResponseBit = 0x80;       // of the first flags byte
constexpr uint8_t kResponseCodeBits = 0x0F;  // of the second flags byte
// "Name error" in DNS, "NAM_ERR" in a NetBIOS negative name query response: the name
// does not exist.
constexpr uint8_t kNoSuchNameCode = 3;
constexpr uint8_t kPointerBits = 0xC0;

// RFC 1002 first-level encoding, empty scope.
constexpr size_t kNetbiosNameBytes = 16;  // 15 characters and the name type
constexpr uint8_t kNetbiosNameType = 0x00;
constexpr uint8_t kEncodedNetbiosLength = 2 * kNetbiosNameBytes;
constexpr int kMaxNetbiosPointers = 10;
constexpr size_t kMaxScopeText = 64;
constexpr int kMaxScopeLabels = 10;

class QueryWriter {
  public:
    explicit QueryWriter(uint8_t* buffer) : m_buffer(buffer) {}
    void Byte(uint8_t value) { m_buffer[m_length++] = value; }
    void Be16(uint16_t value) {
        Byte(static_cast<uint8_t>(value >> 8));
        Byte(static_cast<uint8_t>(value));
    }
    void Bytes(const void* data, size_t count) {
        std::memcpy(m_buffer + m_length, data, count);
        m_length += count;
    }
    size_t Length() const { return m_length; }

  private:
    uint8_t* m_buffer;
    size_t m_length = 0;
};

uint8_t AsciiUpper(char c) {
    return static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiUpper(x) == AsciiUpper(y);
           });
}

// Neither "any" nor the general broadcast reaches a host: the node would send to itself or
// to everyone.
bool IsHostAddress(uint32_t address) {
    return address != 0 && address != 0xFFFFFFFFu;
}

// The labels of a DNS name, each 1 to 63 bytes, all of them with their length bytes and
// the closing zero byte in at most 255 bytes.
bool IsEncodableDnsName(std::string_view name) {
    if (name.empty() || name.size() + 2 > HostAddressResolver::kMaxEncodedDnsName) {
        return false;
    }
    size_t labelStart = 0;
    for (;;) {
        const size_t dot = name.find('.', labelStart);
        const size_t end = dot == std::string_view::npos ? name.size() : dot;
        const size_t labelLength = end - labelStart;
        if (labelLength == 0 || labelLength > HostAddressResolver::kMaxLabelLength) {
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        labelStart = dot + 1;
    }
}

// Follows the compression pointers at the start of a NetBIOS answer name. False when
// there are too many or one points too near the end.
bool FollowNetbiosPointers(ByteReader& cursor, bool& followed) {
    QAV_TRACE("HAR::hnptrs");
    followed = false;
    for (int hops = 0;; ++hops) {
        uint8_t first = 0;
        if (!cursor.PeekU8(first) || (first & kPointerBits) != kPointerBits) {
            return true;
        }
        uint16_t pointer = 0;
        if (hops == kMaxNetbiosPointers || !cursor.ReadBe16(pointer)) {
            return false;
        }
        const size_t target = pointer & 0x3FFFu;
        if (target + 2 > cursor.Size()) {
            return false;
        }
        cursor.SeekTo(target);
        followed = true;
    }
}

}  // namespace

size_t HostAddressResolver::BuildQuery(std::string_view name, bool netbios, uint16_t identifier,
                                       uint8_t (&buffer)[kQueryBufferSize]) {
    std::memset(buffer, 0, kQueryBufferSize);
    if (netbios ? name.empty() : !IsEncodableDnsName(name)) {
        return 0;
    }
    QueryWriter writer(buffer);
    writer.Be16(identifier);
    writer.Be16(netbios ? kNetbiosQueryFlags : kDnsQueryFlags);
    writer.Be16(1);  // one question; no answer, authority or additional records
    writer.Bytes("\0\0\0\0\0\0", 6);
    if (!netbios) {
        size_t labelStart = 0;
        while (labelStart <= name.size()) {
            const size_t dot = std::min(name.find('.', labelStart), name.size());
            writer.Byte(static_cast<uint8_t>(dot - labelStart));
            writer.Bytes(name.data() + labelStart, dot - labelStart);
            labelStart = dot + 1;
        }
        writer.Byte(0);
        writer.Be16(kTypeA);
        writer.Be16(kClassInternet);
        return writer.Length();
    }
    // The wildcard name is padded with zero bytes, every other name with spaces.
    const uint8_t padding = name == "*" ? 0 : ' ';
    uint8_t plain[kNetbiosNameBytes];
    for (size_t i = 0; i + 1 < kNetbiosNameBytes; ++i) {
        plain[i] = i < name.size() ? AsciiUpper(name[i]) : padding;
    }
    plain[kNetbiosNameBytes - 1] = kNetbiosNameType;
    writer.Byte(kEncodedNetbiosLength);
    for (const uint8_t byte : plain) {
        writer.Byte(static_cast<uint8_t>('A' + (byte >> 4)));
        writer.Byte(static_cast<uint8_t>('A' + (byte & 0x0F)));
    }
    writer.Byte(0);
    writer.Be16(kTypeNetbios);
    writer.Be16(kClassInternet);
    writer.Bytes("\0\0\1\0\1", 5);
    return kQueryBufferSize;  // the whole buffer goes out
}

bool HostAddressResolver::ParseDnsName(ByteReader& reader, std::string& name) {
    QAV_TRACE("HAR::ParseDNSN");
    name.clear();
    ByteReader cursor = reader;
    // Where the reader resumes: behind the first pointer, or behind the closing zero byte.
    size_t resume = 0;
    bool jumped = false;
    // A pointer must point before the stretch of labels that led to it: each jump then
    // goes strictly backwards, so loops and forward jumps are refused and the walk ends.
    size_t stretchStart = cursor.Position();
    for (;;) {
        uint8_t labelLength = 0;
        if (!cursor.ReadU8(labelLength)) {
            return false;
        }
        if (labelLength == 0) {
            break;
        }
        if ((labelLength & kPointerBits) == kPointerBits) {
            uint8_t low = 0;
            if (!cursor.ReadU8(low)) {
                return false;
            }
            const size_t target = static_cast<size_t>(labelLength & 0x3F) << 8 | low;
            if (target >= stretchStart) {
                return false;
            }
            if (!jumped) {
                resume = cursor.Position();
                jumped = true;
            }
            cursor.SeekTo(target);
            stretchStart = target;
            continue;
        }
        // Labels are at most 63 bytes; the two other top-bit forms are not in use.
        const uint8_t* bytes = nullptr;
        if (labelLength > kMaxLabelLength || !cursor.ReadBytes(labelLength, bytes)) {
            return false;
        }
        const size_t separator = name.empty() ? 0 : 1;
        if (name.size() + separator + labelLength > kMaxNameText) {
            return false;
        }
        if (separator != 0) {
            name += '.';
        }
        name.append(reinterpret_cast<const char*>(bytes), labelLength);
    }
    reader.SeekTo(jumped ? resume : cursor.Position());
    return true;
}

size_t HostAddressResolver::ParseNetbiosName(const uint8_t* data, size_t length, size_t position,
                                             std::string& name) {
    QAV_TRACE("HAR::PnmbN");
    name.clear();
    ByteReader cursor(data, length);
    bool followed = false;
    if (!cursor.SeekTo(position) || !FollowNetbiosPointers(cursor, followed)) {
        return 0;
    }
    // The encoded name: two characters "A" to "P" per byte.
    uint8_t labelLength = 0;
    const uint8_t* encoded = nullptr;
    if (!cursor.ReadU8(labelLength) || labelLength == 0 || labelLength % 2 != 0 ||
        labelLength > kEncodedNetbiosLength || !cursor.ReadBytes(labelLength, encoded)) {
        return 0;
    }
    std::string plain;
    for (size_t i = 0; i < labelLength; i += 2) {
        const auto high = static_cast<uint8_t>(encoded[i] - 'A');
        const auto low = static_cast<uint8_t>(encoded[i + 1] - 'A');
        if (high > 0x0F || low > 0x0F) {
            return 0;
        }
        plain += static_cast<char>(high << 4 | low);
    }
    if (plain.size() == kNetbiosNameBytes) {
        plain.pop_back();  // the name type
        plain.erase(plain.find_last_not_of(' ') + 1);
    }
    // The scope: further labels up to the zero byte.
    std::string scope;
    for (int labels = 0;; ++labels) {
        if (!cursor.ReadU8(labelLength)) {
            return 0;
        }
        if (labelLength == 0) {
            break;
        }
        const uint8_t* bytes = nullptr;
        const size_t separator = scope.empty() ? 0 : 1;
        if (labels == kMaxScopeLabels || labelLength > kMaxLabelLength ||
            scope.size() + separator + labelLength > kMaxScopeText ||
            !cursor.ReadBytes(labelLength, bytes)) {
            return 0;
        }
        if (separator != 0) {
            scope += '.';
        }
        scope.append(reinterpret_cast<const char*>(bytes), labelLength);
    }
    name = scope.empty() ? plain : plain + '.' + scope;
    return followed ? 2 : cursor.Position() - position;
}

bool HostAddressResolver::IsFromAskedServer(const char* senderAddress, int32_t senderPort) const {
    if (m_lastName.empty()) {
        return false;  // no lookup waits
    }
    // NetBIOS queries go out as broadcasts: any host may answer, from port 137.
    if (m_lastName.find('.') == std::string::npos) {
        return senderPort == kNetbiosPort && !m_netbiosName.empty();
    }
    uint32_t sender = 0;
    return senderPort == kDnsPort && platform::ParseDottedAddress(senderAddress, sender) &&
           std::find(m_askedServers.begin(), m_askedServers.end(), sender) != m_askedServers.end();
}

bool HostAddressResolver::IsNegativeAnswerToQuestion(ByteReader& reader, bool netbios,
                                                     const uint8_t* data, size_t length) {
    if (netbios) {
        // The name follows the header, as the question or as the record that refuses it.
        std::string name;
        return ParseNetbiosName(data, length, reader.Position(), name) != 0 &&
               EqualIgnoringAsciiCase(name, m_netbiosName);
    }
    std::string question;
    uint16_t type = 0;
    uint16_t questionClass = 0;
    return ParseDnsName(reader, question) && reader.ReadBe16(type) &&
           reader.ReadBe16(questionClass) && type == kTypeA && questionClass == kClassInternet &&
           EqualIgnoringAsciiCase(question, m_lastName);
}

void HostAddressResolver::ExamineAnswer(const char* senderAddress, int32_t senderPort,
                                        const uint8_t* data, size_t length, Settled& settled) {
    // An ended lookup takes no further answer.
    if (m_status == kStatusResolved || m_status == kStatusNoSuchName ||
        !IsFromAskedServer(senderAddress, senderPort)) {
        return;
    }
    const int32_t before = m_status;
    m_status = kStatusExamining;
    if (data == nullptr || length < 1) {
        m_status = kStatusEmptyAnswer;
        return;
    }
    if (length < kMinAnswerLength) {
        m_status = kStatusShortAnswer;
        Print("Bytes received=%d\r\n", static_cast<int32_t>(length));
        return;
    }
    ByteReader reader(data, length);
    uint16_t identifier = 0;
    uint8_t flags = 0;
    uint8_t flagsLow = 0;
    uint16_t questions = 0;
    uint16_t answers = 0;
    uint16_t authorities = 0;
    uint16_t additionals = 0;
    reader.ReadBe16(identifier);
    reader.ReadU8(flags);
    reader.ReadU8(flagsLow);
    reader.ReadBe16(questions);
    reader.ReadBe16(answers);
    reader.ReadBe16(authorities);
    reader.ReadBe16(additionals);
    if (identifier != m_queryIdentifier) {
        m_status = before;  // not an answer to these queries
        return;
    }
    // A NetBIOS answer may come without its question.
    const bool netbios = senderPort == kNetbiosPort;
    if ((questions != 1 && !netbios) || (flags & kResponseBit) == 0) {
        m_status = kStatusUnexpectedAnswer;
        Print("Unexpected answer. #qs=%d flags1=0x%02X\r\n", questions, flags);
        return;
    }
    // The name does not exist: no other answer will tell otherwise, and waiting for one
    // would only hold the requester up. Only a refusal of the very question asked counts.
    if ((flagsLow & kResponseCodeBits) == kNoSuchNameCode) {
        if (IsNegativeAnswerToQuestion(reader, netbios, data, length)) {
            HandleNoSuchName(settled);
        } else {
            m_status = before;
        }
        return;
    }
    if (answers == 0) {
        m_status = kStatusNoAnswerRecords;
        Print("No answers. Name servers:%d Additional:%d\r\n", authorities, additionals);
        return;
    }
    std::string question;
    if (questions == 1 && (!ParseDnsName(reader, question) || !reader.Skip(4))) {
        m_status = kStatusParseError;
        Print("DNS Parse error.\r\n");
        return;
    }
    if (!netbios && !EqualIgnoringAsciiCase(question, m_lastName)) {
        m_status = before;  // the answer to another question
        return;
    }
    Print("Question Server=%s Host=%s\r\n", senderAddress, question);
    m_status = kStatusUnexpectedAnswer;

    for (uint16_t record = 0; record < answers; ++record) {
        std::string host;
        if (netbios) {
            const size_t taken = ParseNetbiosName(data, length, reader.Position(), host);
            if (taken == 0 || !reader.Skip(taken)) {
                m_status = kStatusParseError;
                return;
            }
        } else if (!ParseDnsName(reader, host)) {
            m_status = kStatusParseError;
            return;
        }
        Print("Answer Server=%s Host=%s\r\n", senderAddress, host);
        uint16_t type = 0;
        uint16_t recordClass = 0;
        uint16_t dataLength = 0;
        if (!reader.ReadBe16(type) || !reader.ReadBe16(recordClass) || !reader.Skip(4) ||
            !reader.ReadBe16(dataLength)) {
            m_status = kStatusParseError;
            return;
        }
        // An address record: A (the 4 bytes), or NB (2 flag bytes, then the address).
        if (recordClass == kClassInternet &&
            ((type == kTypeA && dataLength == 4) || (type == kTypeNetbios && dataLength == 6))) {
            const uint8_t* recordData = nullptr;
            if (!reader.ReadBytes(dataLength, recordData)) {
                m_status = kStatusParseError;
                return;
            }
            uint32_t address = 0;  // the bytes are in network order already
            std::memcpy(&address, recordData + dataLength - 4, sizeof address);
            // A DNS record may name an alias of the question; a NetBIOS one names the
            // host, which must be the one asked for.
            if (IsHostAddress(address) &&
                (!netbios || EqualIgnoringAsciiCase(host, m_netbiosName))) {
                HandleResult(address, settled);
                return;
            }
            continue;
        }
        if (dataLength >= reader.Remaining()) {
            m_status = kStatusParseError;
            Print("DNS Parse error: passes limit.\r\n");
            return;
        }
        reader.Skip(dataLength);
    }
}

}  // namespace qav
