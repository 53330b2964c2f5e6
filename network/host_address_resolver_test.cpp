// The resolver's wire format against hand-built datagrams, and what its status and result
// become for each kind of answer. No socket is needed: answers go straight to ProcessPacket.
#include "network/host_address_resolver.h"

#include <memory>
#include <set>

#include "core/test_support.h"
#include "network/dns_test_support.h"
#include "network/platform_services.h"
#include "network/reliable_connection.h"

namespace qav {
namespace {

using test_support::Be16;
using test_support::DnsHeader;
using test_support::DnsName;
using test_support::Ipv4;
using test_support::kDnsResponseFlags;
using test_support::kEncodedRelay;
using test_support::kToQuestion;
using test_support::Question;
using test_support::Record;

using Resolver = HostAddressResolver;

std::string Query(std::string_view name, bool netbios, uint16_t identifier = 1) {
    uint8_t buffer[Resolver::kQueryBufferSize];
    const size_t length = Resolver::BuildQuery(name, netbios, identifier, buffer);
    return std::string(reinterpret_cast<const char*>(buffer), length);
}

const uint8_t* Bytes(const std::string& datagram) {
    return reinterpret_cast<const uint8_t*>(datagram.data());
}

constexpr const char* kServer = "10.0.0.53";

// Platform services whose DNS server is kServer, without a wait loop: a lookup asks
// kServer (or, for a name without a dot, the NetBIOS peers) and no query can leave, so
// answers go straight to ProcessPacket.
class Lookups {
  public:
    Lookups() {
        const std::string path = m_directory.Narrow("resolv.conf");
        test_support::WriteBytes(path, std::string("nameserver ") + kServer + "\n");
        m_services = std::make_unique<PlatformServices>(path);
    }
    RefPtr<Resolver> Make() {
        RefPtr<Resolver> resolver(new RefCountedObject<Resolver>);
        resolver->SetPlatformServices(m_services.get());
        return resolver;
    }
    // A resolver waiting for `name`.
    RefPtr<Resolver> WaitingFor(const char* name) {
        RefPtr<Resolver> resolver = Make();
        uint32_t address = 0;
        EXPECT_FALSE(resolver->Resolve(name, address, nullptr)) << name;
        return resolver;
    }

  private:
    test_support::ScratchDirectory m_directory;
    std::unique_ptr<PlatformServices> m_services;
};

// Hands `datagram` to the resolver with the current lookup's identifier.
void Answer(Resolver& resolver, const char* sender, int32_t senderPort,
            const std::string& datagram) {
    const std::string stamped =
        test_support::WithIdentifier(datagram, resolver.GetQueryIdentifier());
    resolver.ProcessPacket(nullptr, nullptr, sender, senderPort, Bytes(stamped), stamped.size(),
                           nullptr);
}

TEST(HostAddressResolverWire, BuildsQueries) {
    const std::string header = std::string("\0\1\1\0\0\1\0\0\0\0\0\0", 12);
    EXPECT_EQ(header + std::string("\1a\2bc\0\0\1\0\1", 10), Query("a.bc", false));

    const std::string netbiosHeader = std::string("\0\1\1\x10\0\1\0\0\0\0\0\0", 12);
    const std::string trailer = std::string("\0\0\x20\0\1\0\0\1\0\1", 10);
    const struct {
        const char* name;
        std::string encoded;  // 32 characters
    } netbios[] = {
        {"relay", kEncodedRelay.substr(1, 32)},
        {"*", "CK" + std::string(30, 'A')},  // the wildcard is padded with zero bytes
        {"abcdefghijklmnopq", "EBECEDEEEFEGEHEIEJEKELEMENEOEPAA"},  // upper case, 15 kept
    };
    for (const auto& c : netbios) {
        const std::string query = Query(c.name, true);
        const std::string expected = netbiosHeader + "\x20" + c.encoded + trailer;
        ASSERT_EQ(Resolver::kQueryBufferSize, query.size()) << c.name << ": always sent whole";
        EXPECT_EQ(expected, query.substr(0, expected.size())) << c.name;
        EXPECT_EQ(std::string(query.size() - expected.size(), '\0'), query.substr(expected.size()))
            << c.name;
    }

    // The longest name that fits: 255 bytes encoded, 271 sent.
    const std::string label63(63, 'x');
    const std::string longest =
        label63 + "." + label63 + "." + label63 + "." + std::string(61, 'y');
    EXPECT_EQ(271u, Query(longest, false).size());
    for (const std::string& refused :
         {std::string(), std::string("a..b"), std::string(".a"), std::string("a."),
          std::string(64, 'x') + ".test", longest + "y"}) {
        EXPECT_EQ("", Query(refused, false)) << "'" << refused << "'";
    }
    EXPECT_EQ("", Query("", true));

    EXPECT_EQ(std::string("\xBE\xEF", 2), Query("a.bc", false, 0xBEEF).substr(0, 2));
    EXPECT_EQ(std::string("\xBE\xEF", 2), Query("relay", true, 0xBEEF).substr(0, 2));
}

TEST(HostAddressResolverWire, ParsesDnsNames) {
    const std::string label63(63, 'x');
    const std::string fourLabels = std::string(1, 63) + label63 + std::string(1, 63) + label63 +
                                   std::string(1, 63) + label63 + std::string(1, 63) + label63;
    const struct {
        const char* what;
        std::string datagram;
        size_t start;
        bool parsed;
        std::string name;
        size_t end;
    } cases[] = {
        {"labels", DnsName("a.bc"), 0, true, "a.bc", 6},
        {"the root name", std::string(1, '\0'), 0, true, "", 1},
        {"a pointer back", DnsName("bc") + std::string("\1a\xC0\0", 4), 4, true, "a.bc", 8},
        {"pointers back twice", DnsName("c") + std::string("\1b\xC0\0\1a\xC0\3", 8), 7, true,
         "a.b.c", 11},
        {"a pointer to itself", std::string("\xC0\0", 2), 0, false, "", 0},
        {"a pointer forwards", std::string("\xC0\2\1a\0", 5), 0, false, "", 0},
        {"a loop of two pointers", std::string("\1a\xC0\4\1b\xC0\0", 8), 4, false, "", 0},
        {"a pointer past the end", "\1a\xFF\xFF", 0, false, "", 0},
        {"a cut pointer", "\1a\xC0", 0, false, "", 0},
        {"a cut label", "\5ab", 0, false, "", 0},
        {"no closing zero byte", "\1a", 0, false, "", 0},
        {"a 64-byte label", "\x40" + std::string(64, 'x') + '\0', 0, false, "", 0},
        {"255 characters", fourLabels + '\0', 0, true,
         label63 + "." + label63 + "." + label63 + "." + label63, 257},
        {"256 characters", fourLabels + "\1z" + '\0', 0, false, "", 0},
        {"nothing at the start", "", 0, false, "", 0},
    };
    for (const auto& c : cases) {
        ByteReader reader(Bytes(c.datagram), c.datagram.size());
        ASSERT_TRUE(reader.SeekTo(c.start)) << c.what;
        std::string name;
        EXPECT_EQ(c.parsed, Resolver::ParseDnsName(reader, name)) << c.what;
        if (c.parsed) {
            EXPECT_EQ(c.name, name) << c.what;
            EXPECT_EQ(c.end, reader.Position()) << c.what;
        } else {
            EXPECT_EQ(c.start, reader.Position()) << c.what << ": the reader stays";
        }
    }
}

TEST(HostAddressResolverWire, ReadsNetbiosAnswerNames) {
    const std::string pad(12, '\0');  // the header the pointers point past
    // Ten pointers, each to the one before, the first to the name.
    std::string tenPointers = pad + kEncodedRelay;
    size_t lastPointer = pad.size();
    for (int i = 0; i < 10; ++i) {
        const size_t at = tenPointers.size();
        tenPointers += "\xC0" + std::string(1, static_cast<char>(lastPointer));
        lastPointer = at;
    }

    const struct {
        const char* what;
        std::string datagram;
        size_t start;
        size_t taken;
        std::string name;
    } cases[] = {
        {"an encoded name", pad + kEncodedRelay, 12, 34, "RELAY"},
        {"a pointer to it", pad + kEncodedRelay + kToQuestion, 46, 2, "RELAY"},
        {"ten pointers", tenPointers, lastPointer, 2, "RELAY"},
        {"eleven pointers", tenPointers + "\xC0" + static_cast<char>(lastPointer), lastPointer + 2,
         0, ""},
        {"a pointer to the last byte", pad + kEncodedRelay + "\xC0\x2F", 46, 0, ""},
        {"a short name", pad + "\4FCEF" + '\0', 12, 6, "RE"},
        {"with a scope", pad + kEncodedRelay.substr(0, 33) + "\4corp\3lan" + '\0', 12, 43,
         "RELAY.corp.lan"},
        {"an odd label", pad + "\3FCE" + '\0', 12, 0, ""},
        {"a character past P", pad + "\2FQ" + '\0', 12, 0, ""},
        {"a scope of 65 characters",
         pad + kEncodedRelay.substr(0, 33) + '\x3F' + std::string(63, 's') + "\1t" + '\0', 12, 0,
         ""},
        {"cut short", pad + kEncodedRelay.substr(0, 20), 12, 0, ""},
    };
    for (const auto& c : cases) {
        std::string name = "untouched";
        EXPECT_EQ(c.taken,
                  Resolver::ParseNetbiosName(Bytes(c.datagram), c.datagram.size(), c.start, name))
            << c.what;
        if (c.taken != 0) {
            EXPECT_EQ(c.name, name) << c.what;
        }
    }
}

// Each answer goes to a fresh resolver that waits for "relay.test" from kServer (or, for
// answers from port 137, for "relay"). Resolving the name again tells whether it settled.
TEST(HostAddressResolverAnswers, StatusAndResultOfEachAnswer) {
    const std::string question = Question("relay.test");
    const std::string header = DnsHeader(kDnsResponseFlags, 1, 1);
    const std::string a = Record(kToQuestion, 1, 1, Ipv4(10, 1, 2, 3));
    const std::string cname = Record(kToQuestion, 5, 1, "\3cdn" + kToQuestion);
    const struct {
        const char* what;
        int32_t senderPort;
        std::string datagram;
        int32_t status;
        const char* address;  // when resolved
    } cases[] = {
        {"empty", 53, "", Resolver::kStatusEmptyAnswer, nullptr},
        {"25 bytes", 53, std::string(25, '\x81'), Resolver::kStatusShortAnswer, nullptr},
        {"a query, not a response", 53, DnsHeader(0x0100, 1, 1) + question + a,
         Resolver::kStatusUnexpectedAnswer, nullptr},
        {"two questions", 53, DnsHeader(kDnsResponseFlags, 2, 1) + question + question + a,
         Resolver::kStatusUnexpectedAnswer, nullptr},
        {"no answer records", 53, DnsHeader(kDnsResponseFlags, 1, 0, 1, 1) + question + a,
         Resolver::kStatusNoAnswerRecords, nullptr},
        {"a question that loops", 53, header + "\xC0\x0C" + Be16(1) + Be16(1) + a,
         Resolver::kStatusParseError, nullptr},
        {"an A record", 53, header + question + a, Resolver::kStatusResolved, "10.1.2.3"},
        {"an A record cut short", 53, (header + question + a).substr(0, 42),
         Resolver::kStatusParseError, nullptr},
        {"only a CNAME, up to the end", 53, header + question + cname, Resolver::kStatusParseError,
         nullptr},
        {"a CNAME, then an A record", 53, DnsHeader(kDnsResponseFlags, 1, 2) + question + cname + a,
         Resolver::kStatusResolved, "10.1.2.3"},
        {"no usable record", 53,
         header + question + Record(kToQuestion, 16, 1, "\3txt") + std::string(8, '\0'),
         Resolver::kStatusUnexpectedAnswer, nullptr},
        {"an A record of 16 bytes", 53,
         header + question + Record(kToQuestion, 1, 1, std::string(16, '\1')) + '\0',
         Resolver::kStatusUnexpectedAnswer, nullptr},
        {"a NetBIOS answer without question", 137,
         test_support::NetbiosAnswer(kEncodedRelay, Ipv4(10, 77, 0, 9)), Resolver::kStatusResolved,
         "10.77.0.9"},
        {"a NetBIOS answer named badly", 137,
         test_support::NetbiosAnswer("\3FCE" + std::string(1, '\0'), Ipv4(10, 77, 0, 9)),
         Resolver::kStatusParseError, nullptr},
    };
    Lookups lookups;
    for (const auto& c : cases) {
        const char* name = c.senderPort == 137 ? "relay" : "relay.test";
        RefPtr<Resolver> resolver = lookups.WaitingFor(name);
        Answer(*resolver, kServer, c.senderPort, c.datagram);
        EXPECT_EQ(c.status, resolver->GetStatus()) << c.what;
        uint32_t address = 0;
        EXPECT_EQ(c.address != nullptr, resolver->Resolve(name, address, nullptr)) << c.what;
        if (c.address != nullptr) {
            EXPECT_EQ(test_support::AddressOf(c.address), address) << c.what;
            EXPECT_EQ(c.address, resolver->GetResultText()) << c.what;
        }
    }
}

// The stored address answers only the name it was looked up for.
TEST(HostAddressResolverAnswers, AnAddressBelongsToItsName) {
    Lookups lookups;
    RefPtr<Resolver> resolver = lookups.WaitingFor("relay.test");
    Answer(*resolver, kServer, 53, test_support::AnswerA("relay.test", Ipv4(10, 1, 2, 3)));
    uint32_t address = 0;
    ASSERT_TRUE(resolver->Resolve("relay.test", address, nullptr));
    for (const char* other : {"other.test", "other.test", "relay.test"}) {
        address = 0;
        EXPECT_FALSE(resolver->Resolve(other, address, nullptr)) << other;
        EXPECT_NE(Resolver::kStatusResolved, resolver->GetStatus()) << other;
        EXPECT_EQ("", resolver->GetResultText()) << other;
    }
}

// Only an answer to the lookup's own queries counts: with their identifier, from a server
// that was asked (port 53) and to the question asked, or for NetBIOS from port 137 naming
// the name asked. Anything else leaves the lookup as it was. 0.0.0.0 and
// 255.255.255.255 are no address.
TEST(HostAddressResolverAnswers, OnlyAnAnswerToTheLookupsQueriesCounts) {
    const std::string good = test_support::AnswerA("relay.test", Ipv4(10, 1, 2, 3));
    const std::string goodNetbios = test_support::NetbiosAnswer(kEncodedRelay, Ipv4(10, 7, 0, 9));
    const std::string header = DnsHeader(kDnsResponseFlags, 1, 1);
    const std::string question = Question("relay.test");
    const std::string broadcast = Record(kToQuestion, 1, 1, Ipv4(255, 255, 255, 255));
    const std::string encodedOther = Query("other", true).substr(12, 34);
    constexpr int32_t kIgnored = -1;  // the status stays as it was
    const struct {
        const char* what;
        const char* name;  // looked up
        const char* sender;
        int32_t senderPort;
        std::string datagram;
        uint16_t identifierChange;  // XORed into the lookup's identifier
        int32_t status;
        const char* address;
    } cases[] = {
        {"the answer", "relay.test", kServer, 53, good, 0, Resolver::kStatusResolved, "10.1.2.3"},
        {"another identifier", "relay.test", kServer, 53, good, 0x0100, kIgnored, nullptr},
        {"a server not asked", "relay.test", "10.0.0.54", 53, good, 0, kIgnored, nullptr},
        {"another port", "relay.test", kServer, 5353, good, 0, kIgnored, nullptr},
        {"the NetBIOS port", "relay.test", kServer, 137, goodNetbios, 0, kIgnored, nullptr},
        {"another question", "relay.test", kServer, 53,
         test_support::AnswerA("other.test", Ipv4(10, 1, 2, 3)), 0, kIgnored, nullptr},
        {"the question in other case", "relay.test", kServer, 53,
         test_support::AnswerA("RELAY.Test", Ipv4(10, 1, 2, 3)), 0, Resolver::kStatusResolved,
         "10.1.2.3"},
        {"0.0.0.0", "relay.test", kServer, 53,
         test_support::AnswerA("relay.test", Ipv4(0, 0, 0, 0)), 0,
         Resolver::kStatusUnexpectedAnswer, nullptr},
        {"255.255.255.255", "relay.test", kServer, 53, header + question + broadcast, 0,
         Resolver::kStatusUnexpectedAnswer, nullptr},
        {"255.255.255.255, then an address", "relay.test", kServer, 53,
         DnsHeader(kDnsResponseFlags, 1, 2) + question + broadcast +
             Record(kToQuestion, 1, 1, Ipv4(10, 1, 2, 4)),
         0, Resolver::kStatusResolved, "10.1.2.4"},
        {"a NetBIOS answer", "relay", "10.7.0.9", 137, goodNetbios, 0, Resolver::kStatusResolved,
         "10.7.0.9"},
        {"a NetBIOS answer with another identifier", "relay", "10.7.0.9", 137, goodNetbios, 0x0001,
         kIgnored, nullptr},
        {"a NetBIOS answer from port 53", "relay", kServer, 53, goodNetbios, 0, kIgnored, nullptr},
        {"a NetBIOS answer naming another name", "relay", "10.7.0.9", 137,
         test_support::NetbiosAnswer(encodedOther, Ipv4(10, 7, 0, 9)), 0,
         Resolver::kStatusUnexpectedAnswer, nullptr},
        {"a NetBIOS answer of 0.0.0.0", "relay", "10.7.0.9", 137,
         test_support::NetbiosAnswer(kEncodedRelay, Ipv4(0, 0, 0, 0)), 0,
         Resolver::kStatusUnexpectedAnswer, nullptr},
    };
    Lookups lookups;
    for (const auto& c : cases) {
        RefPtr<Resolver> resolver = lookups.WaitingFor(c.name);
        const int32_t before = resolver->GetStatus();
        const std::string datagram = test_support::WithIdentifier(
            c.datagram, resolver->GetQueryIdentifier() ^ c.identifierChange);
        resolver->ProcessPacket(nullptr, nullptr, c.sender, c.senderPort, Bytes(datagram),
                                datagram.size(), nullptr);
        EXPECT_EQ(c.status == kIgnored ? before : c.status, resolver->GetStatus()) << c.what;
        uint32_t address = 0;
        EXPECT_EQ(c.address != nullptr, resolver->Resolve(c.name, address, nullptr)) << c.what;
        if (c.address != nullptr) {
            EXPECT_EQ(test_support::AddressOf(c.address), address) << c.what;
        }
        if (c.status == kIgnored) {  // the lookup still takes its answer
            const bool netbios = std::string_view(c.name).find('.') == std::string_view::npos;
            Answer(*resolver, netbios ? "10.7.0.9" : kServer, netbios ? 137 : 53,
                   netbios ? goodNetbios : good);
            EXPECT_TRUE(resolver->Resolve(c.name, address, nullptr)) << c.what;
        }
    }

    // A lookup that was let go of takes no answer.
    for (const char* name : {"relay.test", "relay"}) {
        RefPtr<Resolver> forgotten = lookups.WaitingFor(name);
        const uint16_t identifier = forgotten->GetQueryIdentifier();
        forgotten->Disconnect();
        const bool netbios = std::string_view(name).find('.') == std::string_view::npos;
        const std::string datagram =
            test_support::WithIdentifier(netbios ? goodNetbios : good, identifier);
        forgotten->ProcessPacket(nullptr, nullptr, netbios ? "10.7.0.9" : kServer,
                                 netbios ? 137 : 53, Bytes(datagram), datagram.size(), nullptr);
        EXPECT_NE(Resolver::kStatusResolved, forgotten->GetStatus()) << name;
    }

    // Each lookup draws its own identifier.
    RefPtr<Resolver> resolver = lookups.Make();
    std::set<uint16_t> identifiers;
    for (int i = 0; i < 8; ++i) {
        uint32_t address = 0;
        resolver->Resolve(("name" + std::to_string(i) + ".test").c_str(), address, nullptr);
        identifiers.insert(resolver->GetQueryIdentifier());
    }
    EXPECT_LT(1u, identifiers.size()) << "the identifier is not drawn anew";
}

// "No such name" from an asked server, to the lookup's own question, ends the lookup at
// once: a repeated Resolve within a second sends nothing, and no later answer changes it.
// Any other refusal leaves the lookup waiting for its answer.
TEST(HostAddressResolverAnswers, NoSuchNameEndsTheLookup) {
    const std::string good = test_support::AnswerA("relay.test", Ipv4(10, 1, 2, 3));
    const std::string goodNetbios = test_support::NetbiosAnswer(kEncodedRelay, Ipv4(10, 7, 0, 9));
    const auto netbiosRefusal = [](const std::string& encodedName) {
        return DnsHeader(0x8583, 0, 0) + Record(encodedName, 0x000A, 1, "");
    };
    const struct {
        const char* what;
        const char* name;  // looked up
        const char* sender;
        int32_t senderPort;
        std::string datagram;
        uint16_t identifierChange;  // XORed into the lookup's identifier
        bool ends;
    } cases[] = {
        {"no such name", "relay.test", kServer, 53, test_support::NoSuchName("relay.test"), 0,
         true},
        {"no such name, in other case", "relay.test", kServer, 53,
         test_support::NoSuchName("Relay.TEST"), 0, true},
        {"another question", "relay.test", kServer, 53, test_support::NoSuchName("other.test"), 0,
         false},
        {"another question type", "relay.test", kServer, 53,
         DnsHeader(test_support::kDnsNoSuchNameFlags, 1, 0) + DnsName("relay.test") + Be16(28) +
             Be16(1),
         0, false},
        {"the question cut short", "relay.test", kServer, 53,
         test_support::NoSuchName("relay.test").substr(0, 27), 0, false},
        {"another identifier", "relay.test", kServer, 53, test_support::NoSuchName("relay.test"),
         0x0100, false},
        {"a server not asked", "relay.test", "10.0.0.54", 53,
         test_support::NoSuchName("relay.test"), 0, false},
        {"a server failure", "relay.test", kServer, 53,
         test_support::NoSuchName("relay.test", 0x8182), 0, false},
        {"a query, not a response", "relay.test", kServer, 53,
         test_support::NoSuchName("relay.test", 0x0103), 0, false},
        {"a NetBIOS negative response", "relay", "10.7.0.9", 137, netbiosRefusal(kEncodedRelay), 0,
         true},
        {"a NetBIOS negative response for another name", "relay", "10.7.0.9", 137,
         netbiosRefusal(Query("other", true).substr(12, 34)), 0, false},
    };
    Lookups lookups;
    for (const auto& c : cases) {
        const bool netbios = std::string_view(c.name).find('.') == std::string_view::npos;
        RefPtr<Resolver> resolver = lookups.WaitingFor(c.name);
        const std::string datagram = test_support::WithIdentifier(
            c.datagram, resolver->GetQueryIdentifier() ^ c.identifierChange);
        resolver->ProcessPacket(nullptr, nullptr, c.sender, c.senderPort, Bytes(datagram),
                                datagram.size(), nullptr);
        EXPECT_EQ(c.ends, resolver->GetStatus() == Resolver::kStatusNoSuchName) << c.what;
        // Asked again at once, the lookup still waits, or stays refused without waiting.
        uint32_t address = 0;
        EXPECT_FALSE(resolver->Resolve(c.name, address, nullptr)) << c.what;
        Answer(*resolver, netbios ? "10.7.0.9" : kServer, netbios ? 137 : 53,
               netbios ? goodNetbios : good);
        EXPECT_EQ(c.ends ? Resolver::kStatusNoSuchName : Resolver::kStatusResolved,
                  resolver->GetStatus())
            << c.what;
    }

    // A second after the refusal the name is looked up anew, and may be answered.
    test_support::FakeRawClock clock(1000000);
    RefPtr<Resolver> resolver = lookups.WaitingFor("relay.test");
    Answer(*resolver, kServer, 53, test_support::NoSuchName("relay.test"));
    clock.Advance(Resolver::kRetryMicroseconds - 1);
    uint32_t address = 0;
    EXPECT_FALSE(resolver->Resolve("relay.test", address, nullptr));
    EXPECT_EQ(Resolver::kStatusNoSuchName, resolver->GetStatus());
    clock.Advance(1);
    EXPECT_FALSE(resolver->Resolve("relay.test", address, nullptr));
    EXPECT_NE(Resolver::kStatusNoSuchName, resolver->GetStatus());
    Answer(*resolver, kServer, 53, good);
    EXPECT_TRUE(resolver->Resolve("relay.test", address, nullptr));
    EXPECT_EQ(test_support::AddressOf("10.1.2.3"), address);
}

TEST(HostAddressResolverAnswers, DottedNamesAndDiagnosticLines) {
    Lookups lookups;
    RefPtr<Resolver> resolver = lookups.Make();
    uint32_t address = 0;
    EXPECT_TRUE(resolver->Resolve("10.0.0.9", address, nullptr));
    EXPECT_EQ(test_support::AddressOf("10.0.0.9"), address);
    EXPECT_EQ("10.0.0.9", resolver->GetResultText());
    EXPECT_EQ(Resolver::kStatusNoLookup, resolver->GetStatus()) << "no lookup for a dotted name";

    const std::string shortAnswer(25, '\x81');
    for (const bool print : {false, true}) {
        resolver->SetPrintFlag(print);
        testing::internal::CaptureStdout();
        resolver->Resolve(print ? "printed.test" : "quiet.test", address, nullptr);
        Answer(*resolver, kServer, 53, shortAnswer);
        EXPECT_EQ(print ? "Low Level DNS Lookup (std) Result=16\r\nResolve Low Level Result = "
                          "16\r\nBytes received=25\r\n"
                        : "",
                  testing::internal::GetCapturedStdout());
    }
}

// Without a DNS server nothing is sent, and the connection waits for an address that never
// comes: connecting for 5 s, then closed when asked, saying why; Disconnect ends the wait
// at once.
TEST(HostAddressResolverAnswers, ConnectByNameGivesUpAfterFiveSeconds) {
    test_support::CapturingTextLogger logger(kSeverityWarning);
    test_support::FakeRawClock clock(1000000);
    test_support::ScratchDirectory directory;
    PlatformServices services(directory.Narrow("missing-resolv.conf"));
    RefPtr<ReliableConnection> connection = services.CreateReliableConnection();
    EXPECT_TRUE(connection->Connect("never.test", true, 12654, nullptr));
    EXPECT_EQ(kConnectionConnecting, connection->GetConnectionState());
    clock.Advance(4900000);
    EXPECT_EQ(kConnectionConnecting, connection->GetConnectionState());
    clock.Advance(200000);
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_EQ(kReadQueueClosed, connection->GetReadQueueState());
    EXPECT_EQ(std::vector<std::string>{"2 Failed to look up never.test: no query could be sent"},
              logger.Lines());

    EXPECT_TRUE(connection->Connect("never.test", true, 12654, nullptr));
    EXPECT_EQ(kConnectionConnecting, connection->GetConnectionState());
    connection->Disconnect();
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
}

}  // namespace
}  // namespace qav
