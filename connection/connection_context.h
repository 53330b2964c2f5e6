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

#include "core/mutual_exclusion.h"
#include "core/wide_text.h"
#include "network/connection_stream.h"
#include "records/recordings_list.h"

namespace qav {

class PlatformServices;

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
    // The network interface the connection goes through, empty when none.
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
    // given (not null, not empty), and the port matches: the UDP port when `udpPort` is
    // given (above 0), else the TCP port when `tcpPort` is, else any.
    bool MatchesConnection(PlatformServices* services, const WChar* interfaceName,
                           const char* localAddress, const char* target, int32_t tcpPort,
                           int32_t udpPort);

  protected:
    virtual ~ConnectionContext();

  private:
    const int32_t m_contextId;
    std::atomic<int32_t> m_contextValue{0};
    std::atomic<int32_t> m_priority{-1};
    std::atomic<bool> m_attached{false};
    std::atomic<int32_t> m_statusFigure{0};
    std::atomic<PlatformServices*> m_services{nullptr};
    std::atomic<int32_t> m_tcpPort{0};
    std::atomic<int32_t> m_udpPort{0};
    std::atomic<bool> m_valid{true};

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
};

}  // namespace qav
