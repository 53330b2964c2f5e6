// A TCP connection as a ConnectionStream: a non-blocking socket driven by the socket wait
// loop, with its outgoing messages queued in a send buffer and sent whenever the socket
// takes bytes, and what happens to it reported to a ConnectionEventSink (1 connected,
// 2 data, 3 writable, 4 closed or failed). Outgoing connections are made by Connect;
// sockets accepted by a server are adopted by Attach.
//
// Typical usage:
//   RefPtr<ReliableConnection> connection(new RefCountedObject<ReliableConnection>(services));
//   connection->Connect("127.0.0.1", false, 12654, &sink);  // event 1 once it is up
//   connection->Send(data, length, &completion);            // completion once it left
//   ...                                                     // on event 2: Receive
//   connection->Disconnect();
//
// A host name (with lookup allowed) is looked up by the connection's own resolver. Unless
// the address is known at once, Connect returns true and the connection stays connecting
// without a socket until the address arrives and the connect starts. A connect is not
// left to wait for ever; its time limits are counted by GetConnectionState, so the owner
// asks GetConnectionState at least once a second while a connect is under way:
//   - while the connection waits for the address, each GetConnectionState at least
//     kLookupRetryMicroseconds after the last ask asks the resolver again, which sends the
//     queries again (a lost datagram costs about a second, not the whole wait);
//   - with no address kLookupTimeoutMicroseconds after the lookup began, it fails:
//     "Failed to look up NAME: no answer";
//   - an answer that the name does not exist fails it at once, on the polling thread,
//     without waiting for GetConnectionState: "Failed to look up NAME: no such name";
//   - a connect whose SYN is not answered kConnectTimeoutMicroseconds after it started
//     (after the lookup) fails: "Failed to connect to NAME:PORT: no answer after 20 s".
// Each such failure closes the connection, writes its line to the text logger (level 2)
// and reports event 4, on the thread that found it; so does a connect that the address,
// once it came, could not start (its socket error logged as Connect's are). Meanwhile the
// lookup holds the connection; the answer, the failure, a new Connect or Disconnect lets
// it go.
//
// The send queue costs memory only while it is used: its array (kSendBufferCapacity
// bytes) is taken by the first message sent and given back when the connection closes,
// or when the queue has drained and no message was sent for the idle time
// (kSendBufferIdleMicroseconds). The connection looks as its queue drains and whenever
// input arrives, without a timer of its own: one that stops sending and then hears
// nothing keeps its array until its peer speaks or it closes. Whenever the queue has
// drained it starts again at the front of its array, so a connection whose messages leave
// as they come keeps only a few pages of it in use. None of this changes what Send takes
// or what the queue figures say.
//
// A connected socket whose peer vanished without a word (a cable pulled, a host gone)
// stays up as long as nothing is sent, unless SetLivenessTime asked the kernel to look:
// the connection's keep-alive probes then find the silence, the kernel ends the socket
// within about that time, and event 4 follows as for any socket error.
//
// An urgent (out-of-band) byte from the peer is read in its place in the stream, like any
// other byte.
//
// Each connection reports event 1 at most once and event 4 at most once; a connection
// closed by Disconnect or Reconnect reports no event 4. Every message Send took completes
// exactly once: wholly sent (error 0), failed (the socket's error) or aborted by a close
// (kSendQueueAborted); nothing queued before a close is ever sent on a later connection.
//
// A connection named after one of the machine's network interfaces (SetName) sends
// through that interface alone (SO_BINDTODEVICE); where the system refuses that, it is
// bound by its local address (SetAddress) alone, and says so once in the log. Each
// Connect binds to the address given by SetAddress, never to the local address an earlier
// connection happened to have.
//
// Disconnect returns only once no event or completion of the connection is under way on
// another thread, so the owner may free its sink and completions right after it; called
// from inside an event or a completion it does not wait for that one. It must not be
// called while holding a lock that the sink or a completion takes.
//
// Threads: the SocketHandler operations run on the polling thread inside the wait loop.
// Send, Receive, Connect, Attach, Disconnect, Reconnect and the queries may come from any
// thread. Events and completions are called without the connection's lock held. Events 2
// and 3 come on the polling thread; events 1 and 4 may also come on the thread of a
// Connect, Attach, Receive or GetConnectionState that caused them, or on the polling
// thread for a connect that waited for its host's address. A completion may come on the
// thread of the Send that sent its message at once, or of the call that closed the
// connection. Lock order: connection, then the wait loop, then the send buffer; the
// connection's lock is held while it asks its resolver. A Send on another thread that
// leaves its message queued behind a full socket wakes the wait loop, so the message goes
// as soon as the socket takes bytes, not at the loop's next turn.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "core/stopwatch.h"
#include "core/stream_buffer.h"
#include "core/wide_text.h"
#include "network/callout_tracker.h"
#include "network/connection_stream.h"
#include "network/host_address_resolver.h"
#include "network/socket_handler.h"
#include "network/stream_socket_calls.h"

namespace qav {

class ConnectionEventSink;
class PlatformServices;

class ReliableConnection : public ConnectionStream, public SocketHandler {
  public:
    static constexpr int32_t kSendBufferCapacity = 0x40000;
    // Room each queued message takes in the send buffer besides its bytes.
    static constexpr int32_t kSendHeaderSize = 40;
    static constexpr int32_t kMaxMessageLength = kSendBufferCapacity - kSendHeaderSize;
    // How long a connect waits for its host's address.
    static constexpr int64_t kLookupTimeoutMicroseconds = 5000000;
    // How often a connect that waits for its host's address asks its resolver again.
    static constexpr int64_t kLookupRetryMicroseconds = HostAddressResolver::kRetryMicroseconds;
    // How long a connect waits for its SYN to be answered. 20 s is the least connect
    // time-out of gRPC's connection back-off: long enough for a slow path that loses a
    // SYN or two, far shorter than the kernel's own two minutes.
    static constexpr int64_t kConnectTimeoutMicroseconds = 20000000;
    // How long a drained send queue keeps its array with no message sent. Each take costs
    // a mapping, its page faults and an unmapping, so a connection that sends at least
    // every 10 s keeps its array; and the replies of one exchange hold no memory for long.
    static constexpr int64_t kSendBufferIdleMicroseconds = 10000000;

    // Made closed. `services` gives the wait loop the connection registers with and is
    // passed in every event; it must outlive the connection.
    explicit ReliableConnection(PlatformServices* services);
    // The same, with the connected socket driven through `calls` instead of the system's
    // socket calls; `calls` must outlive the connection.
    ReliableConnection(PlatformServices* services, StreamSocketCalls& calls);
    ReliableConnection(const ReliableConnection&) = delete;
    ReliableConnection& operator=(const ReliableConnection&) = delete;

    // Adopts a connected socket (taking it over) and reports event 1 with the incoming
    // flag. `peerAddress` is the dotted peer address, `port` the peer's port.
    void Attach(int socket, const char* peerAddress, int32_t port, ConnectionEventSink* sink);

    // How many seconds of silence from a vanished peer the sockets of later connects
    // notice: unanswered keep-alive probes or data end the socket a sixth (at least a
    // second) before `seconds`, which leaves the kernel's timers their slack within the
    // time (at least 2 s for any time: the probes count whole seconds). 0 (the default,
    // and anything below) leaves the system's keep-alive times, which notice nothing for
    // hours.
    void SetLivenessTime(int32_t seconds);

    // The send buffer's idle time for this connection (negative counts as 0: the array
    // goes back as soon as the queue has drained).
    void SetSendBufferIdleTime(int64_t microseconds);
    // Whether the send queue holds its array now.
    bool HoldsSendBuffer();

    // ConnectionStream.
    void Disconnect() override;
    int32_t GetCurrentWriteQueueLength() override;
    int32_t Send(const void* data, int32_t length, SendCompletion* completion) override;
    int32_t Receive(void* buffer, int32_t capacity) override;
    // The state; for a connect under way also the clock of its time limits (see above):
    // a limit that has passed closes the connection and reports event 4 from here.
    int32_t GetConnectionState() override;
    int32_t Reconnect() override;
    int32_t GetReadQueueState() override;
    int32_t GetAvailableReadQueueSize() override;
    int32_t GetAvailableWriteQueueLength() override;
    int32_t GetMaxWriteQueueLength() override;
    int64_t GetOldestQueueDelayTime() override;
    std::string GetAddress() override;
    int32_t GetPort() override;
    void SetAddress(const char* address) override;
    void SetName(const WChar* name) override;
    bool Connect(const char* host, bool lookupAllowed, int32_t port,
                 ConnectionEventSink* sink) override;
    bool HasActivityTimerPassed(int64_t microseconds) override;
    // The kernel's smoothed round-trip time of the connected socket in raw clock units; 0
    // when not connected.
    int64_t GetLastRoundTripTime() override;
    // A moving average of GetCurrentWriteQueueLength, updated each time a message is queued
    // or leaves the queue. Read without the connection's lock.
    double GetAverageWriteQueueLength() override;

    // SocketHandler; called by the wait loop.
    uint32_t GetWaitEvents() override;
    int GetSocket() override;
    intptr_t HandleInput() override;
    void ProcessInput(intptr_t value) override;
    void HandleOutput() override;
    void HandleError() override;

  protected:
    virtual ~ReliableConnection();

  private:
    // Tells the connection what became of the lookup of one connect, so that a late
    // answer for an earlier connect changes nothing.
    class LookupRequester;

    // Kept in the send buffer in front of each message's bytes. Copied in and out with
    // memcpy: blocks of the ring start at any byte. Without padding it takes 36 bytes on
    // a 64-bit build (full pointers), which the alignment of its pointers rounds up to
    // the 40 bytes each message has always taken in the send buffer; the message bytes
    // follow right behind it, so no pointer to them is kept.
    struct SendBlockHeader {
        const void* source = nullptr;  // what the caller gave to Send
        SendCompletion* completion = nullptr;
        int64_t enqueueTime = 0;  // raw clock
        int32_t length = 0;
        int32_t bytesSent = 0;
        int32_t errorCode = 0;
    };
    static_assert(sizeof(SendBlockHeader) <= kSendHeaderSize);

    // What one event tells the sink, copied under the lock.
    struct EventDetails {
        ConnectionEventSink* sink = nullptr;
        bool incoming = false;
        std::string host;
        std::string address;
        int32_t remotePort = 0;
        std::string localAddress;
        int32_t localPort = 0;
    };

    // What a close took out, to be finished without the lock: the messages of the send
    // queue, to be completed, and the resolver, to be disconnected.
    struct ClosedParts {
        std::vector<SendBlockHeader> blocks;
        RefPtr<HostAddressResolver> resolver;
    };

    enum SendResult : int32_t {
        kSendNothing = 1,   // queue empty
        kSendFailed = 2,    // the socket refused the bytes with an error
        kSendWaiting = 3,   // the socket took part or nothing; the rest goes when writable
        kSendComplete = 4,  // the block in flight is wholly sent
    };
    enum ConnectResult { kConnectFailed, kConnectInProgress, kConnectOpened };
    enum Role : int32_t { kRoleNone = 0, kRoleOutgoing = 1, kRoleAccepted = 2 };

    // All REQUIRE m_mutex held.
    ConnectResult ConnectToResolvedAddress(EventDetails& details);
    // True with the address known now; false while the lookup goes on. Asks again when
    // the lookup is under way already.
    bool ResolveHostName(uint32_t& address, HostResolveCallback* requester);
    RefPtr<HostResolveCallback> MakeLookupRequester();
    // Whether the connect under way has run out of time; `why` says how.
    bool HasConnectTimedOut(std::string& why);
    void ApplyLiveness(int socket);
    // Lets go of the resolver, if any, into `closed`.
    void ReleaseResolver(ClosedParts& closed);
    // SO_BINDTODEVICE by the connection's name, when it names an interface.
    void BindToInterface(int socket);
    void TakeSocket(int socket);
    bool OpenConnection(EventDetails& details);
    void RegisterWithWaitLoop();
    void UnregisterFromWaitLoop();
    // Closes the socket, if any, and takes every queued message and the resolver out.
    bool CloseSocket(ClosedParts& closed);
    SendResult SendNextPacket();
    // Takes the block in flight out of the queue and completes it, unlocking around the
    // completion. False when no block is in flight.
    bool CompletePacket(MutualExclusionLock& lock);
    void FillEventDetails(EventDetails& details);
    void RestartActivityTimer();
    // Nothing to send and the socket known to take bytes: the wait loop need not watch
    // for output.
    bool IsSendIdle() const { return m_writable && m_queuedBlocks == 0 && !m_sendFailed; }
    // The send buffer's array, taken now unless held already; false when the memory
    // cannot be had.
    bool TakeSendBuffer();
    // With the queue drained: gives the array back when `closing` or when no message came
    // for the idle time; otherwise, when `rewind`, starts the queue again at its front.
    void SettleDrainedSendBuffer(bool closing, bool rewind);
    void NoteWriteQueueLength();

    // REQUIRES m_mutex held by `lock`; gives it up. Ends the connect under way, logs
    // `why` (unless empty) and reports event 4.
    void FailConnect(MutualExclusionLock& lock, const std::string& why);
    // REQUIRES m_mutex held by `lock`; gives it up. Connects to the address a lookup
    // found and reports how that went: event 1 when connected at once, event 4 when failed.
    void ConnectAfterLookup(MutualExclusionLock& lock);

    // Without m_mutex held.
    // What became of the lookup of the connect `generation`.
    void HostAddressResolved(uint64_t generation, const char* addressText, const uint32_t* address);
    void HostLookupFailed(uint64_t generation, const char* reason);
    void AnnounceOpened(const EventDetails& details, uint64_t generation);
    void SendEvent(const EventDetails& details, int32_t eventKind);
    static void CompleteBlock(const SendBlockHeader& block);
    // Completes the messages a close took out (inside a callout when called out of one).
    static void CompleteBlocks(ClosedParts& closed);
    // Completes what is left, then lets the resolver go; never inside a callout. A close
    // that another thread's Disconnect may race completes its messages inside a callout
    // first (CompleteBlocks), entered under the lock of the close.
    static void FinishClose(ClosedParts& closed);
    // Ends the connection `generation` and reports event 4, unless it is closed already.
    void CloseAndReport(uint64_t generation);
    void ReportError(int errorCode, bool errorRead);
    static void ReportReadableBytesFailure(const EventDetails& details, int errorCode);
    static void ReportEmptyReadQueue(const EventDetails& details);
    int32_t LargestFreeBlock();

    PlatformServices* const m_services;
    StreamSocketCalls& m_calls;

    MutualExclusion m_mutex;

    // Written under m_mutex; read without it by the wait loop (which calls GetSocket and
    // GetWaitEvents under its own lock) and by the queries.
    std::atomic<int> m_socket{-1};
    std::atomic<int32_t> m_state{kConnectionClosed};
    std::atomic<bool> m_dataReady{false};
    std::atomic<bool> m_writable{false};
    std::atomic<int32_t> m_queuedBlocks{0};
    // A send failed: the stream cannot go on; the polling thread closes the connection.
    std::atomic<bool> m_sendFailed{false};
    std::atomic<int64_t> m_lastActivityRaw{0};
    // Written under m_mutex.
    std::atomic<double> m_averageWriteQueueLength{0.0};
    // The events and completions under way, for Disconnect to wait for.
    CalloutTracker m_callouts;

    // Guarded by m_mutex.
    int32_t m_lastError = 0;
    // An error a read took from the socket, kept for the report of the close it causes.
    int32_t m_unreportedError = 0;
    // The local address the socket is, or was, bound to; filled in when connected.
    std::string m_localAddress;
    // The local address to bind each connect to (SetAddress).
    std::string m_bindAddress;
    std::string m_host;
    std::string m_address;
    WString m_name;
    bool m_deviceFallbackLogged = false;   // once per connection object
    bool m_livenessFailureLogged = false;  // once per connection object
    int32_t m_livenessSeconds = 0;
    // The time limits of the connect under way.
    Stopwatch m_lookupWatch;     // since the lookup began
    Stopwatch m_lookupAskWatch;  // since the resolver was last asked
    Stopwatch m_connectWatch;    // since the connect (the SYN) began
    int32_t m_localPort = 0;
    int32_t m_remotePort = 0;
    uint32_t m_remoteAddress = 0;  // network byte order
    int32_t m_inputEvents = 0;
    bool m_lookupAllowed = false;
    int32_t m_role = kRoleNone;
    ConnectionEventSink* m_sink = nullptr;
    // Counts the connects and the sockets taken, so that a late call can tell its
    // connection is gone.
    uint64_t m_generation = 0;
    bool m_registered = false;               // with the wait loop
    RefPtr<HostAddressResolver> m_resolver;  // made for each connect that looks up
    RefPtr<RefCountedStreamBuffer> m_sendBuffer;
    bool m_sendBufferTaken = false;  // its array is held
    int64_t m_sendBufferIdleMicroseconds = kSendBufferIdleMicroseconds;
    int64_t m_lastSendRaw = 0;  // when Send last took a message
    // The block being sent: the first block of the send buffer while m_hasBlockInFlight.
    SendBlockHeader m_inFlight;
    uint8_t* m_inFlightBlock = nullptr;
    bool m_hasBlockInFlight = false;
};

}  // namespace qav
