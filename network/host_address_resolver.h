// Turns a host name into an IPv4 address with queries of its own instead of the system's
// resolver: a name with a dot goes as a DNS standard query (UDP port 53) to each DNS
// server of the owner's adapter, a name without one as a NetBIOS name query (UDP port
// 137) to the broadcast address of each interface and to 255.255.255.255. Every query of
// a lookup leaves from one listener's socket, so all answers come back to one port; the
// first answer that carries an address settles the lookup, and later Resolve calls for
// that name answer at once from it. An answer that the name does not exist (DNS RCODE 3,
// or a NetBIOS negative name query response) ends the lookup just as at once: the
// requester is told, and for kRetryMicroseconds a Resolve of that name sends nothing and
// gives false. An answer counts only when it carries the lookup's random identifier and
// comes from a server that was asked (its address, port 53) with the question asked or,
// for NetBIOS, from port 137 naming the name asked; 0.0.0.0 and 255.255.255.255 are
// never taken for an address. Each object that reaches a host by name owns one resolver
// (the reliable connection, the datagram sender).
//
// The resolver has no timer of its own: UDP loses queries, so the owner asks again
// (Resolve with the same name) for as long as it wants to wait, and each ask at least
// kRetryMicroseconds after the queries last went out sends them again, with the same
// identifier and from the same port. When to give up is the owner's choice too.
//
// Typical usage:
//   RefPtr<HostAddressResolver> resolver(new RefCountedObject<HostAddressResolver>);
//   resolver->SetPlatformServices(services);
//   uint32_t address = 0;
//   if (resolver->Resolve("relay.example", address, this)) ConnectTo(address);
//   // else this->HostAddressResolved(text, &address) or this->HostLookupFailed(reason)
//   // comes on the polling thread; meanwhile Resolve again about once a second
//   ...
//   resolver->Disconnect();   // always, before letting go of it
//
// The owner calls Disconnect before it lets go of the resolver: while a lookup waits for
// its answer, the lookup's listener holds the resolver and the resolver holds the
// requester, and only the answer or Disconnect ends that. The requester is thus alive
// whenever it is called, on whichever thread its owner lets go of it; a call that is
// already under way when Disconnect returns still comes, and finds its owner alive.
//
// Threads: Resolve, Disconnect, the setters and the queries come from the owner's thread
// (the owner serialises them); ProcessPacket comes from the listener on the polling
// thread. What they share is guarded by the resolver's lock, which is never held while
// the requester is called, nor while a listener is stopped (a stop waits for a delivery
// under way, which may be waiting for the lock). Lock order: resolver, then listener,
// then wait loop.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_reader.h"
#include "core/format.h"
#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "core/stopwatch.h"
#include "core/wide_text.h"
#include "network/packet_sink.h"

namespace qav {

class DatagramListener;
class PlatformServices;

// Told the result of a lookup that could not answer at once. The resolver holds a
// reference to it while it waits.
class HostResolveCallback : public virtual RefCounted {
  public:
    // `addressText` is dotted, `address` in network byte order. Called on the polling
    // thread without the resolver's lock.
    virtual void HostAddressResolved(const char* addressText, const uint32_t* address) = 0;
    // The lookup has ended without an address and no answer will follow: `reason` says why
    // ("no such name"). Called as HostAddressResolved is; by default nothing happens, and
    // the requester's own time-out ends its wait.
    virtual void HostLookupFailed(const char* reason) { (void)reason; }

  protected:
    ~HostResolveCallback() = default;
};

class HostAddressResolver : public PacketSink, public virtual RefCounted {
  public:
    // The state of the last lookup.
    enum Status : int32_t {
        kStatusResolved = 0,      // the address is valid
        kStatusNotSentWhole = 4,  // a query was not sent whole
        kStatusExamining = 5,     // an answer is being examined
        kStatusEmptyAnswer = 8,
        kStatusShortAnswer = 9,        // shorter than kMinAnswerLength
        kStatusUnexpectedAnswer = 10,  // not a response, or no usable record
        kStatusNoAnswerRecords = 11,
        kStatusParseError = 14,
        kStatusWaiting = 18,  // queries sent, no answer yet
        kStatusNoLookup = 19,
        kStatusNoSuchName = 22,  // an asked server answered that the name does not exist
    };
    // Results of a lookup that could not send its queries.
    enum LookupFailure : int32_t {
        kServerNotDotted = 1,
        kNoPlatformServices = 15,
        kNoListener = 16,
        kNoSender = 17,
        kNoDnsServer = 20,
        kNameRefused = 21,  // empty, or a DNS name that cannot be encoded
    };

    static constexpr int32_t kDnsPort = 53;
    static constexpr int32_t kNetbiosPort = 137;
    static constexpr size_t kQueryBufferSize = 272;
    static constexpr size_t kMinAnswerLength = 26;
    static constexpr size_t kMaxNameText = 255;        // characters of a parsed name
    static constexpr size_t kMaxEncodedDnsName = 255;  // bytes of a name in a query
    static constexpr size_t kMaxLabelLength = 63;
    // A lookup not answered yet sends its queries again when Resolve asks for it this
    // long or more after they last went out: about as long as a name server that has to
    // ask further takes to answer, and short enough that a lost datagram costs little of
    // a connect's wait.
    static constexpr int64_t kRetryMicroseconds = 1000000;
    // The reason HostLookupFailed gives for a negative answer.
    static constexpr const char* kNoSuchNameReason = "no such name";

    HostAddressResolver();
    HostAddressResolver(const HostAddressResolver&) = delete;
    HostAddressResolver& operator=(const HostAddressResolver&) = delete;

    // What the lookups use: the services that make the listener and know the DNS servers
    // and interfaces (null: no lookup can be made), and the owner's local address and
    // adapter (empty: any).
    void SetPlatformServices(PlatformServices* services);
    void SetLocalAddress(const std::string& address);
    void SetAdapterName(const WString& name);
    // Diagnostic lines on the standard output; off unless set.
    void SetPrintFlag(bool on) { m_printFlag.store(on, std::memory_order_relaxed); }

    // True when the address is known now: `name` is a dotted address, or the last lookup
    // of this name resolved. Otherwise a lookup starts, or the one waiting for this name
    // sends its queries again (nothing is sent within kRetryMicroseconds of the last
    // send, nor within that time of a negative answer for the name), and false is
    // returned; `requester` (may be null) then replaces any earlier one and is called when
    // an answer with an address or a negative answer arrives, unless no query could be
    // sent or the name was just answered negatively (GetStatus tells which).
    bool Resolve(const char* name, uint32_t& address, HostResolveCallback* requester);
    // Lets go of the requester and stops the listener; a lookup that had not resolved is
    // forgotten.
    void Disconnect();

    int32_t GetStatus();
    // The identifier that the queries of the current lookup carry and its answers must
    // carry; drawn at random for each lookup.
    uint16_t GetQueryIdentifier();
    // The dotted text of the last result, or the dotted name Resolve was last given.
    std::string GetResultText();
    // Whether more than `microseconds` passed since the last lookup began: its first
    // queries, not the ones sent again.
    bool HasLookupLastedLongerThan(int64_t microseconds);

    // PacketSink: examines one answer. A datagram that a listener of an earlier lookup
    // still delivers is ignored, and so is one that is not an answer to the current
    // lookup's queries (another sender or identifier, another question): it changes
    // nothing.
    void ProcessPacket(DatagramListener* listener, PlatformServices* services,
                       const char* senderAddress, int32_t senderPort, const uint8_t* data,
                       size_t length, LentPacketBuffer* packet) override;
    // None: the listener receives into its own buffer.
    LentPacketBuffer* AllocatePacketBuffer(uint8_t** buffer, size_t& capacity) override;

    // The wire format, for the resolver's own use and its tests.
    // Writes the query for `name`, carrying `identifier`, into `buffer` (cleared first)
    // and returns the bytes to send: the whole buffer for NetBIOS, the exact length for
    // DNS; 0 when the name is refused (empty; for DNS an empty label, a label over
    // kMaxLabelLength bytes or more than kMaxEncodedDnsName bytes encoded).
    static size_t BuildQuery(std::string_view name, bool netbios, uint16_t identifier,
                             uint8_t (&buffer)[kQueryBufferSize]);
    // Reads a DNS name at the reader's position and moves past it. Compression pointers
    // must point before the part of the name that led to them, so each one goes strictly
    // backwards and the walk ends. False (the reader unmoved) on any fault.
    static bool ParseDnsName(ByteReader& reader, std::string& name);
    // Reads the encoded NetBIOS name of an answer record at `position`; returns the bytes
    // it takes there, 0 on any fault.
    static size_t ParseNetbiosName(const uint8_t* data, size_t length, size_t position,
                                   std::string& name);

  protected:
    virtual ~HostAddressResolver();

  private:
    // What an accepted answer leaves to do after the lock is given up.
    struct Settled {
        bool resolved = false;
        bool failed = false;  // the name does not exist
        uint32_t address = 0;
        std::string text;
        RefPtr<HostResolveCallback> requester;
        RefPtr<DatagramListener> listener;
    };

    // All REQUIRE m_mutex held. A listener that the lookup no longer uses is left in
    // `stale`, to be stopped once the lock is given up.
    int32_t ResolveLowLevel(const std::string& name, uint32_t& address,
                            RefPtr<DatagramListener>& stale);
    int32_t LookupDns(const std::string& name);
    int32_t LookupNetbios(const std::string& name);
    bool GetBroadcastAddresses(std::vector<std::string>& destinations);
    int32_t SendQuery(const std::string& name, const std::string& server, int32_t port);
    RefPtr<DatagramListener> OpenListener();
    // REQUIRES m_mutex NOT held.
    static void StopListener(RefPtr<DatagramListener>& listener);
    // Whether a datagram from there can answer the current lookup.
    bool IsFromAskedServer(const char* senderAddress, int32_t senderPort) const;
    void ExamineAnswer(const char* senderAddress, int32_t senderPort, const uint8_t* data,
                       size_t length, Settled& settled);
    void HandleResult(uint32_t address, Settled& settled);
    // Whether a negative answer (`reader` behind its header) names the asked question.
    bool IsNegativeAnswerToQuestion(ByteReader& reader, bool netbios, const uint8_t* data,
                                    size_t length);
    void HandleNoSuchName(Settled& settled);

    template <typename... Args>
    void Print(std::string_view format, const Args&... args) {
        if (m_printFlag.load(std::memory_order_relaxed)) {
            WriteToStandardOutput(FormatString(format, args...));
        }
    }
    static void WriteToStandardOutput(const std::string& line);

    MutualExclusion m_mutex;
    // Guarded by m_mutex.
    std::string m_localAddress;
    std::string m_lastName;
    std::string m_resultText;
    WString m_adapterName;
    PlatformServices* m_services = nullptr;
    RefPtr<DatagramListener> m_listener;
    RefPtr<HostResolveCallback> m_requester;
    uint32_t m_address = 0;       // network byte order; valid with kStatusResolved only
    Stopwatch m_lookupStopwatch;  // since the lookup's first queries
    Stopwatch m_sendStopwatch;    // since its queries last went out
    uint8_t m_queryBuffer[kQueryBufferSize] = {};
    uint16_t m_queryIdentifier = 0;
    std::vector<uint32_t> m_askedServers;  // network byte order
    std::string m_netbiosName;             // as an answer names it
    int32_t m_status = kStatusNoLookup;

    std::atomic<bool> m_printFlag{false};
};

}  // namespace qav
