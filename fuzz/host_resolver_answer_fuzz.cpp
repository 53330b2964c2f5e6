// Hands the host address resolver arbitrary datagrams, each as if from a name server (port
// 53) or a NetBIOS peer (port 137), while it waits for "relay.test". Input: records of
// [control byte: bit 0 the port, the rest a start position][length, 2 bytes][datagram].
// Checks after each datagram:
// - the status is one of the resolver's states, and never "being examined" once it is done;
// - the address is known (Resolve answers at once) exactly when the status is 0, its text
//   is the dotted form of that address, and once known it never changes;
// - both name readers, started anywhere in the datagram, stay inside it and keep their
//   limits.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/byte_reader.h"
#include "core/ref_counted.h"
#include "fuzz/fuzz_support.h"
#include "network/host_address_resolver.h"
#include "platform/socket.h"

namespace {

using qav::HostAddressResolver;
using qav::fuzz::Check;

class Input : public qav::fuzz::FuzzInput {
  public:
    using FuzzInput::FuzzInput;
    // Up to `count` bytes (fewer at the end of the input).
    const uint8_t* Take(size_t& count) {
        const size_t left = m_size - m_at;
        count = count < left ? count : left;
        const uint8_t* bytes = m_data + m_at;
        m_at += count;
        return bytes;
    }
};

bool IsStatus(int32_t status) {
    switch (status) {
        case HostAddressResolver::kStatusResolved:
        case HostAddressResolver::kStatusNotSentWhole:
        case HostAddressResolver::kStatusEmptyAnswer:
        case HostAddressResolver::kStatusShortAnswer:
        case HostAddressResolver::kStatusUnexpectedAnswer:
        case HostAddressResolver::kStatusNoAnswerRecords:
        case HostAddressResolver::kStatusParseError:
        case HostAddressResolver::kStatusWaiting:
        case HostAddressResolver::kStatusNoLookup:
            return true;
        default:
            return false;
    }
}

void CheckNameReaders(const uint8_t* datagram, size_t length, size_t start) {
    qav::ByteReader reader(datagram, length);
    reader.SeekTo(start);
    std::string name;
    if (HostAddressResolver::ParseDnsName(reader, name)) {
        Check(name.size() <= HostAddressResolver::kMaxNameText);
        Check(reader.Position() > start && reader.Position() <= length);
    } else {
        Check(reader.Position() == start);
    }
    const size_t taken = HostAddressResolver::ParseNetbiosName(datagram, length, start, name);
    Check(taken <= length - start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    qav::RefPtr<HostAddressResolver> resolver(new qav::RefCountedObject<HostAddressResolver>);
    uint32_t address = 0;
    Check(!resolver->Resolve("relay.test", address, nullptr));
    bool resolved = false;
    uint32_t resolvedAddress = 0;
    while (!input.Done()) {
        const uint8_t control = input.Byte();
        size_t length = static_cast<size_t>(input.Byte()) << 8;
        length |= input.Byte();
        const uint8_t* datagram = input.Take(length);
        const int32_t port =
            (control & 1) != 0 ? HostAddressResolver::kNetbiosPort : HostAddressResolver::kDnsPort;
        resolver->ProcessPacket(nullptr, nullptr, "192.0.2.53", port, datagram, length, nullptr);

        const int32_t status = resolver->GetStatus();
        Check(IsStatus(status));
        const bool known = resolver->Resolve("relay.test", address, nullptr);
        Check(known == (status == HostAddressResolver::kStatusResolved));
        Check(!resolved || known);
        if (known) {
            Check(!resolved || address == resolvedAddress);
            Check(resolver->GetResultText() == qav::platform::FormatDottedAddress(address));
            resolved = true;
            resolvedAddress = address;
        }
        CheckNameReaders(datagram, length, length == 0 ? 0 : (control >> 1) % length);
    }
    resolver->Disconnect();
    return 0;
}
