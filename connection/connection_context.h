// ConnectionContext: one connection of the system as the connection lists, handles and
// status messages see it — its transport stream, the header values of the HTTP request
// it is serving, its routing figures (priority, attach flag, status figure), the
// recordings its device reports, its name and the address texts of its peer. The
// protocol machinery that fills these fields sets them through the setters below.
//
// A context is reference counted through its ConnectionInterface level; it is made as
//   RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
// and destroyed by the last Release.
//
// Threads: the stream, name, address texts, recordings and id set are guarded by the
// connection lock, and the figures are atomic, so any thread may use them. The stream
// is called without the connection lock held. The current request is set and read on
// the polling thread only; the texts handed out stay valid until it changes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "connection/automatic_connection_links.h"
#include "core/log_sink_link.h"
#include "core/mutual_exclusion.h"
#include "core/wide_text.h"
#include "network/connection_stream.h"
#include "records/monitor_identification.h"
#include "records/recordings_list.h"

namespace qav {

class ConnectionEventSink;
class PlatformServices;

// The receive limits a context was given: the seconds of silence after which a protocol
// that reads the connection may give it up, and that protocol's own flag. A context only
// keeps them; nothing here acts on them, so a peer that stays silent is not ended by them.
// What ends a silent automatic TCP path is its transport's keep-alive, which sees a peer
// that answers probes as live even when it never speaks.
class ReceiveTimeouts {
  public:
    // Keeps `disconnectionSeconds` and the protocol's `flag`; neither starts a timer.
    void Set(int32_t disconnectionSeconds, int32_t flag) {
        m_disconnectionSeconds.store(disconnectionSeconds);
        m_flag.store(flag);
    }
    int32_t GetDisconnectionSeconds() const { return m_disconnectionSeconds.load(); }
    int32_t GetFlag() const { return m_flag.load(); }

  private:
    std::atomic<int32_t> m_disconnectionSeconds{0};
    std::atomic<int32_t> m_flag{0};
};

// The values of the request's "Content-Type: ", "Host: ", "Authorization: ", "Range: "
// and "Cookie: " lines, without the header names.
struct HttpRequestHeaders {
    std::string contentType;
    std::string host;
    std::string authorization;
    std::string range;
    std::string cookie;
};

class ConnectionContext : public ConnectionInterface {
  public:
    // How many address texts a context keeps for its peer.
    static constexpr size_t kAddressTextCount = 4;

    ConnectionContext();
    ConnectionContext(const ConnectionContext&) = delete;
    ConnectionContext& operator=(const ConnectionContext&) = delete;

    // ConnectionInterface: the transport's; nothing and 0 without one.
    void Disconnect() override;
    int32_t GetCurrentWriteQueueLength() override;

    // Unique per context for the process's life.
    int32_t GetContextId() const { return m_contextId; }

    // ---- Transport ----------------------------------------------------------------------

    // Replaces the transport (null: none).
    void SetStream(ConnectionStream* stream);
    // A reference to the transport taken under the connection lock, or null.
    RefPtr<ConnectionStream> GetStream();
    // The transport's Send result; 0 without a transport (the completion is not called).
    int32_t SendMessage(const void* data, int32_t length, SendCompletion* completion);

    // ---- Current HTTP request (polling thread) ------------------------------------------

    // Copies the headers; null means there is no request.
    void SetCurrentRequest(const HttpRequestHeaders* request);
    // Null when there is no request.
    const HttpRequestHeaders* GetCurrentRequest() const;
    // The request's "bytes=first-end" range as (first byte, byte count); the count is 0
    // for an open end and for an end below the first byte. False, both 0, without a
    // request and for anything but one range of plain decimal numbers that fit 63 bits.
    bool ParseHttpRange(int64_t& firstByte, int64_t& byteCount) const;

    // ---- Fields the protocol and the lists read and write --------------------------------

    void SetContextValue(int32_t value) { m_contextValue.store(value); }
    int32_t GetContextValue() const { return m_contextValue.load(); }

    // Lower is preferred; -1 until an automatic connection sets it.
    void SetPriority(int32_t priority) { m_priority.store(priority); }
    int32_t GetPriority() const { return m_priority.load(); }

    // Set when a transport was attached with the attach argument.
    void SetAttached(bool attached) { m_attached.store(attached); }
    bool IsAttached() const { return m_attached.load(); }

    void SetStatusFigure(int32_t figure) { m_statusFigure.store(figure); }
    int32_t GetStatusFigure() const { return m_statusFigure.load(); }

    void SetName(WStringView name);
    WString GetName();

    // Slot 0 is preferred over slot 1 and so on; slots beyond the last are ignored.
    void SetAddressText(size_t slot, std::string_view text);
    // The first non-empty address text; false when all are empty.
    bool GetRemoteAddressText(std::string& out);

    // Copies the list; null means the device reports none.
    void SetRecordingsList(const RecordingsList* recordings);
    // The reported list's manual recording of these channels; -1 without a list.
    int32_t FindManualRecording(int32_t deviceId, int32_t videoChannel, int32_t audioChannel);

    void AddToIdSet(uint32_t id);

    // ---- Where the connection runs ------------------------------------------------------

    // The platform that made the transport (not owned); null until set.
    void SetPlatformServices(PlatformServices* services) { m_services.store(services); }
    PlatformServices* GetPlatformServices() const { return m_services.load(); }

    // The local address the connection is bound to (dotted text), empty when none.
    void SetLocalAddress(std::string_view address);
    std::string GetLocalAddress();
    // The network interface the connection goes through, empty when none; also finds its
    // index in the platform's interfaces list (-1 when it is not there).
    void SetNetworkInterfaceName(WStringView name);
    WString GetNetworkInterfaceName();

    // The peer's ports; 0 when the connection has none of that kind.
    void SetTcpPort(int32_t port) { m_tcpPort.store(port); }
    int32_t GetTcpPort() const { return m_tcpPort.load(); }
    void SetUdpPort(int32_t port) { m_udpPort.store(port); }
    int32_t GetUdpPort() const { return m_udpPort.load(); }

    // A context is valid from its making until the protocol gives it up.
    void SetValid(bool valid) { m_valid.store(valid); }
    bool IsValid() const { return m_valid.load(); }

    // Whether this is the connection to `target` that a caller looks for: the context is
    // valid, `target` is not empty and equals one of the address texts, the platform is
    // `services`, the interface name and local address equal the given ones when those are
    // given (not null, not empty), and the ports match: the UDP port when it is given
    // (above 0) and the context has one, else the TCP port when given and the context has
    // one (so a TCP context is found by a search for a server's two ports); a search that
    // gives no port matches any.
    bool MatchesConnection(PlatformServices* services, const WChar* interfaceName,
                           const char* localAddress, const char* target, int32_t tcpPort,
                           int32_t udpPort);

    // ---- Transport set-up ----------------------------------------------------------------

    // Transport kinds.
    static constexpr int32_t kTransportNone = 0;
    static constexpr int32_t kTransportAutomaticTcp = 3;

    // Attaches a TCP transport to a new context: `stream` (not connected yet; the context
    // takes a reference) to `target` (and `secondAddress`, may be empty) on `tcpPort`.
    // Events of the connection go to `eventSink`; `attach` is stored as the attach flag.
    // OnSocketPoll starts the connect. False, nothing changed, for a null stream or target.
    bool SetTcpConnectionParameters(ConnectionEventSink* eventSink, ConnectionStream* stream,
                                    int32_t attach, const char* target, const char* secondAddress,
                                    int32_t tcpPort, int32_t reserved, LogSinkLink* logSink,
                                    PlatformServices* services, int32_t connectionFormat,
                                    bool client);
    // Attaches a datagram transport to `target` on `udpPort`; `sessionKind` is stored.
    bool SetUdpConnectionParameters(ConnectionEventSink* eventSink, int32_t attach,
                                    const char* target, const char* secondAddress, int32_t udpPort,
                                    LogSinkLink* logSink, PlatformServices* services,
                                    int32_t sessionKind);

    // Prepares the datagram packet session. Datagram sessions speak the binary packet
    // protocol, which this node does not have: logs so and returns false.
    bool InitPacketSession(bool& startConversation);
    // The binary packet stream of a datagram session; false, as there is no session.
    bool StartPacketStream(RefPtr<RefCounted>& stream, int32_t mode);
    bool StartClientPacketStream();

    // One poll step: a new TCP context starts its connect. True when something started.
    bool OnSocketPoll();
    // Sends the identification (SetServerRecord) as one XML message, when there is one.
    // False when there is none or the transport refused it.
    bool StartMessageClientConversation();

    // The context has connected (true) or is gone (false): sets "Connected" and tells the
    // owner automatic connection, when there is one, on the calling thread. Gone is
    // ReportEnded; a connection reported after the end is ignored.
    void ReportConnectionState(bool connected);
    // The context has ended for good, whoever ended it (its peer, a failed connect, or a
    // Disconnect through its set): it stops being valid and connected, and its owner is
    // told once, on the calling thread, and let go. Later calls do nothing.
    void ReportEnded();
    bool HasEnded() const { return m_ended.load(); }

    int32_t GetConnectionFormat() const { return m_connectionFormat.load(); }
    bool IsClient() const { return m_client.load(); }
    int32_t GetSessionKind() const { return m_sessionKind.load(); }
    int32_t GetInterfaceIndex() const { return m_interfaceIndex.load(); }

    // ---- Queue figures of the transport --------------------------------------------------

    // The path's round-trip time in raw clock units; 0 without a transport.
    int64_t GetLastRoundTripTime();
    // Age of the oldest unsent message in raw clock units; 0 without a transport.
    int64_t GetOldestQueueDelayTime();
    // The free share of the write queue, (maximum - average length) / maximum; -1 without
    // a transport.
    double GetQueueStatus();

    // ---- What an automatic connection sets ----------------------------------------------

    // Both automatic flags.
    void MarkAutomatic() {
        m_automaticConnection.store(true);
        m_automaticReconnect.store(true);
    }
    bool IsAutomatic() const { return m_automaticConnection.load(); }

    // The automatic connection that made the context; held until the context ends.
    void SetOwner(ConnectionContextOwner* owner);
    RefPtr<ConnectionContextOwner> GetOwner();

    // Set while the context is connected; null clears it. The owner outlives the link.
    void SetAutomaticConnectionManager(AutomaticConnectionManager* manager) {
        m_automaticManager.store(manager);
    }
    AutomaticConnectionManager* GetAutomaticConnectionManager() const {
        return m_automaticManager.load();
    }

    // A NetworkInterfaceType value.
    void SetInterfaceType(int32_t type) { m_interfaceType.store(type); }
    int32_t GetInterfaceType() const { return m_interfaceType.load(); }

    // Merges a connection type into the word: 0 (none yet) or the same type become the
    // type; a different one makes the word 0 (mixed).
    void MergeConnectionType(int32_t type);
    int32_t GetConnectionType() const { return m_connectionType.load(); }

    void SetTransportKind(int32_t kind) { m_transportKind.store(kind); }
    int32_t GetTransportKind() const { return m_transportKind.load(); }

    void SetTcpContextWord(int32_t word) { m_tcpContextWord.store(word); }
    int32_t GetTcpContextWord() const { return m_tcpContextWord.load(); }

    void SetMonitorId(int32_t id) { m_monitorId.store(id); }
    int32_t GetMonitorId() const { return m_monitorId.load(); }

    bool IsConnected() const { return m_connected.load(); }

    ReceiveTimeouts& GetReceiveTimeouts() { return m_receiveTimeouts; }

    // Replaces the context's copy of the user identification; null: none.
    void SetServerRecord(const MonitorIdentification* record);
    bool GetServerRecord(MonitorIdentification& out);

    // Replaces the object the context keeps on behalf of its monitor (null: none).
    void SetAttachedObject(RefCounted* object);
    RefPtr<RefCounted> GetAttachedObject();

  protected:
    virtual ~ConnectionContext();

  private:
    // What both kinds of transport set: where events and reports go, and the target.
    void SetTransportCommon(ConnectionEventSink* eventSink, int32_t attach, const char* target,
                            const char* secondAddress, LogSinkLink* logSink,
                            PlatformServices* services);

    const int32_t m_contextId;
    std::atomic<int32_t> m_contextValue{0};
    std::atomic<int32_t> m_priority{-1};
    std::atomic<bool> m_attached{false};
    std::atomic<int32_t> m_statusFigure{0};
    std::atomic<PlatformServices*> m_services{nullptr};
    std::atomic<int32_t> m_tcpPort{0};
    std::atomic<int32_t> m_udpPort{0};
    std::atomic<bool> m_valid{true};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_automaticConnection{false};
    std::atomic<bool> m_automaticReconnect{false};
    std::atomic<int32_t> m_interfaceType{0};
    std::atomic<int32_t> m_interfaceIndex{-1};
    std::atomic<int32_t> m_connectionType{0};
    std::atomic<int32_t> m_transportKind{kTransportNone};
    std::atomic<int32_t> m_tcpContextWord{0};
    std::atomic<int32_t> m_monitorId{0};
    std::atomic<int32_t> m_connectionFormat{0};
    std::atomic<bool> m_client{false};
    std::atomic<int32_t> m_sessionKind{0};
    std::atomic<bool> m_connectStarted{false};
    std::atomic<AutomaticConnectionManager*> m_automaticManager{nullptr};
    std::atomic<ConnectionEventSink*> m_eventSink{nullptr};
    ReceiveTimeouts m_receiveTimeouts;

    std::optional<HttpRequestHeaders> m_request;  // polling thread only

    MutualExclusion m_connectionLock;
    // Guarded by m_connectionLock.
    RefPtr<ConnectionStream> m_stream;
    WString m_name;
    std::array<std::string, kAddressTextCount> m_addressTexts;
    std::string m_localAddress;
    WString m_interfaceName;
    std::optional<RecordingsList> m_recordings;
    std::set<uint32_t> m_idSet;
    RefPtr<ConnectionContextOwner> m_owner;
    std::optional<MonitorIdentification> m_serverRecord;
    RefPtr<RefCounted> m_attachedObject;
    RefPtr<LogSinkLink> m_logSink;
};

}  // namespace qav
