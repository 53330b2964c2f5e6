// Hands host address resolvers arbitrary datagrams, each as if from the name server that
// a resolver waiting for "relay.test" asked (192.0.2.53, port 53) or from a NetBIOS peer
// (port 137) answering a resolver waiting for "relay". Each datagram carries the
// identifier of its resolver's lookup, so that it reaches the answer parser. Input:
// records of [control byte: bit 0 the port, the rest a start position][length, 2 bytes]
// [datagram]. Checks after each datagram:
// - the status is one of the resolver's states, and never "being examined" once it is done;
// - the address is known (Resolve answers at once) exactly when the status is 0, its text
//   is the dotted form of that address, it is neither 0.0.0.0 nor 255.255.255.255, and
//   once known it never changes;
// - both name readers, started anywhere in the datagram, stay inside it and keep their
//   limits.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_reader.h"
#include "core/ref_counted.h"
#include "fuzz/fuzz_support.h"
#include "network/host_address_resolver.h"
#include "network/platform_services.h"
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
        case HostAddressResolver::kStatusNoSuchName:
            return true;
        default:
            return false;
    }
}

constexpr const char* kNameServer = "192.0.2.53";

// Platform services whose one DNS server is kNameServer, read from a resolv.conf of the
// run's own. Without a wait loop no lookup can open its listener, so nothing is ever sent.
class Services {
  public:
    Services() {
        char directory[] = "/tmp/qav-resolver-fuzz-XXXXXX";
        if (::mkdtemp(directory) != nullptr) {
            m_directory = directory;
            m_path = m_directory + "/resolv.conf";
            std::ofstream(m_path) << "nameserver " << kNameServer << "\n";
        }
        m_services = std::make_unique<qav::PlatformServices>(m_path);
    }
    ~Services() {
        ::unlink(m_path.c_str());
        ::rmdir(m_directory.c_str());
    }
    qav::PlatformServices* Get() { return m_services.get(); }

  private:
    std::string m_directory;
    std::string m_path;
    std::unique_ptr<qav::PlatformServices> m_services;
};

// One resolver waiting for its name, and what it has settled on so far.
struct Watched {
    Watched(qav::PlatformServices* services, const char* lookedUp) : name(lookedUp) {
        resolver->SetPlatformServices(services);
        uint32_t address = 0;
        Check(!resolver->Resolve(name, address, nullptr));
    }
    void CheckAfterAnswer() {
        const int32_t status = resolver->GetStatus();
        Check(IsStatus(status));
        uint32_t address = 0;
        const bool known = resolver->Resolve(name, address, nullptr);
        Check(known == (status == HostAddressResolver::kStatusResolved));
        Check(!resolved || known);
        if (known) {
            Check(address != 0 && address != 0xFFFFFFFFu);
            Check(!resolved || address == resolvedAddress);
            Check(resolver->GetResultText() == qav::platform::FormatDottedAddress(address));
            resolved = true;
            resolvedAddress = address;
        }
    }

    qav::RefPtr<HostAddressResolver> resolver{new qav::RefCountedObject<HostAddressResolver>};
    const char* name;
    bool resolved = false;
    uint32_t resolvedAddress = 0;
};

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
    static Services services;
    Input input(data, size);
    Watched dns(services.Get(), "relay.test");
    Watched netbios(services.Get(), "relay");
    while (!input.Done()) {
        const uint8_t control = input.Byte();
        size_t length = static_cast<size_t>(input.Byte()) << 8;
        length |= input.Byte();
        const uint8_t* bytes = input.Take(length);
        const bool fromNetbios = (control & 1) != 0;
        Watched& watched = fromNetbios ? netbios : dns;
        // Exactly as long as the input gave, so that a read past its end is caught.
        std::vector<uint8_t> datagram(bytes, bytes + length);
        if (length >= 2) {
            const uint16_t identifier = watched.resolver->GetQueryIdentifier();
            datagram[0] = static_cast<uint8_t>(identifier >> 8);
            datagram[1] = static_cast<uint8_t>(identifier);
        }
        watched.resolver->ProcessPacket(
            nullptr, nullptr, fromNetbios ? "192.0.2.137" : kNameServer,
            fromNetbios ? HostAddressResolver::kNetbiosPort : HostAddressResolver::kDnsPort,
            datagram.data(), length, nullptr);
        watched.CheckAfterAnswer();
        CheckNameReaders(datagram.data(), length, length == 0 ? 0 : (control >> 1) % length);
    }
    dns.resolver->Disconnect();
    netbios.resolver->Disconnect();
    return 0;
}
