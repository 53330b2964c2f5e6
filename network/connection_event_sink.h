// Where a reliable connection reports what happens to it: the protocol manager's intake
// of connection events. For a connection that comes up (connected or accepted) the
// manager makes the connection's context.
//
// Threads: called on the polling thread, without the connection's lock held.
#pragma once

#include <cstdint>

namespace qav {

class ConnectionStream;
class PlatformServices;

class ConnectionEventSink {
  public:
    // Event kinds. A connection accepted by a server is reported by its own reliable
    // connection as kEventConnected with the incoming flag set.
    static constexpr int32_t kEventConnected = 1;
    static constexpr int32_t kEventData = 2;
    static constexpr int32_t kEventWritable = 3;
    static constexpr int32_t kEventClosed = 4;  // closed or failed
    static constexpr int32_t kEventAccepted = 5;

    // The texts are narrow (addresses dotted); the caller ignores the result.
    virtual int32_t ManageConnectionProtocol(bool incoming, const char* connectionName,
                                             const char* peerAddress, int32_t peerPort,
                                             const char* localAddress, int32_t localPort,
                                             ConnectionStream* connection, int32_t eventKind,
                                             PlatformServices* services) = 0;

  protected:
    ~ConnectionEventSink() = default;
};

}  // namespace qav
