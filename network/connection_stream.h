// The one stream interface through which the system reads and writes a connection,
// whatever carries it (a TCP socket, a packet stream over datagrams, a stacked secure
// layer). Connection contexts, readers and connection lists use nothing else.
//
// Typical usage:
//   RefPtr<ConnectionStream> stream = ...;
//   if (stream->GetConnectionState() == kConnectionConnected &&
//       stream->Send(data, length, &completion) == length) { ... }  // queued
//   int32_t got = stream->Receive(buffer, sizeof(buffer));
//
// Threads: each implementation says which threads may call what; the reliable
// connection takes Send, Connect and the queries from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "core/ref_counted.h"
#include "core/wide_text.h"

namespace qav {

class ConnectionEventSink;
class PlatformServices;

// Error codes handed to SendCompletion::Complete.
constexpr int32_t kSendQueueAborted = -787;   // the connection closed with the message queued
constexpr int32_t kSendNoDestination = -797;  // a datagram sender without an address
constexpr int32_t kSendNothingSent = -789;

// Told once when a message given to Send leaves the send queue: wholly sent (error 0),
// failed (a socket error) or aborted (kSendQueueAborted). `source` is the pointer that
// was given to Send; the bytes behind it need not be valid any more.
class SendCompletion {
  public:
    virtual void Complete(const void* source, int32_t bytesSent, int32_t errorCode) = 0;

  protected:
    ~SendCompletion() = default;
};

class Disconnectable : public virtual RefCounted {
  public:
    // Closes the transport and forgets the peer.
    virtual void Disconnect() = 0;

  protected:
    ~Disconnectable() = default;
};

class ConnectionInterface : public Disconnectable {
  public:
    // Bytes waiting in the send queue, bookkeeping of each message included.
    virtual int32_t GetCurrentWriteQueueLength() = 0;

  protected:
    ~ConnectionInterface() = default;
};

// Connection states.
constexpr int32_t kConnectionClosed = 1;
constexpr int32_t kConnectionConnecting = 2;
constexpr int32_t kConnectionConnected = 3;

// Read-queue states.
constexpr int32_t kReadQueueNotReadable = 0;  // still connecting
constexpr int32_t kReadQueueClosed = 2;
constexpr int32_t kReadQueueEmpty = 3;  // connected, nothing to read
constexpr int32_t kReadQueueDataReady = 4;

// Results of Reconnect.
constexpr int32_t kReconnectStarted = 0;
constexpr int32_t kReconnectRefused = 1;
constexpr int32_t kReconnectNothing = 2;

class DataConnection : public ConnectionInterface {
  public:
    // Queues a copy of the message: the length when taken, 0 when refused (nothing is
    // queued then, and the completion is never called). A taken message completes
    // exactly once.
    virtual int32_t Send(const void* data, int32_t length, SendCompletion* completion) = 0;
    // Bytes read, 0 when nothing is there or the connection closed.
    virtual int32_t Receive(void* buffer, int32_t capacity) = 0;
    virtual int32_t GetConnectionState() = 0;  // kConnection*
    virtual int32_t Reconnect() = 0;           // kReconnect*
    virtual int32_t GetReadQueueState() = 0;   // kReadQueue*
    // Bytes readable now.
    virtual int32_t GetAvailableReadQueueSize() = 0;
    // The largest message that Send can take now.
    virtual int32_t GetAvailableWriteQueueLength() = 0;
    // The largest message that Send can ever take.
    virtual int32_t GetMaxWriteQueueLength() = 0;
    // Age of the oldest unsent message in raw clock units (Stopwatch), 0 when none.
    virtual int64_t GetOldestQueueDelayTime() = 0;

  protected:
    ~DataConnection() = default;
};

class ConnectionStream : public DataConnection {
  public:
    // The local address text (a copy) and port.
    virtual std::string GetAddress() = 0;
    virtual int32_t GetPort() = 0;
    // The local address to bind to; null means none.
    virtual void SetAddress(const char* address) = 0;
    // Null means empty.
    virtual void SetName(const WChar* name) = 0;
    virtual bool Connect(const char* host, bool lookupAllowed, int32_t port,
                         ConnectionEventSink* sink) = 0;
    // True when nothing happened on the connection for more than `microseconds`, and
    // always for 0 or less.
    virtual bool HasActivityTimerPassed(int64_t microseconds) = 0;

    // The transport's last measured round-trip time in raw clock units (Stopwatch), 0
    // when it has none (not connected, or a transport that does not measure it).
    virtual int64_t GetLastRoundTripTime() { return 0; }
    // The write-queue length (as GetCurrentWriteQueueLength) averaged over its recent
    // changes; with GetMaxWriteQueueLength it tells how full the queue tends to be.
    // Transports that keep no average give the current length.
    virtual double GetAverageWriteQueueLength() { return GetCurrentWriteQueueLength(); }

  protected:
    ~ConnectionStream() = default;
};

}  // namespace qav
