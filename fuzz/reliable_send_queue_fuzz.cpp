// Drives the send queue of one reliable connection over a scripted socket whose every
// answer comes from the input: how much of a send the peer takes, EAGAIN, resets, the
// peer's close, socket errors, and the caller's sends, turns, receives, closes and new
// connections. Checks, as it goes:
// - the bytes the peer took on each connection are exactly its messages in the order
//   they were queued, each either whole or, for the last one a close cut short, a prefix
//   that the completion reports; no byte twice, nothing from an earlier connection;
// - every message Send took completes exactly once (whole with error 0, cut short by a
//   close with kSendQueueAborted, or failed with the socket's error); a refused one never;
// - nothing is sent on a socket after it failed or was closed;
// - each connection reports event 1 once, event 4 at most once and nothing after it;
// - the queue's array is held only while connected, and with no idle time (inputs of
//   even length) only while messages are queued; a drained queue offers its whole room.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/ref_counted.h"
#include "fuzz/fuzz_support.h"
#include "network/connection_event_sink.h"
#include "network/reliable_connection.h"
#include "network/stream_socket_calls.h"

namespace {

using qav::ConnectionEventSink;

using qav::fuzz::Check;

// Bytes are 0 once the input is used up: sockets then take everything and report nothing.
class Input : public qav::fuzz::FuzzInput {
  public:
    using FuzzInput::FuzzInput;
    uint32_t Bytes(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) {
            value = value << 8 | Byte();
        }
        return value;
    }
};

uint8_t MessageByte(uint32_t id, int32_t offset) {
    return static_cast<uint8_t>(id * 131u + static_cast<uint32_t>(offset) * 7u +
                                (static_cast<uint32_t>(offset) >> 8));
}

struct Message;

class Completion final : public qav::SendCompletion {
  public:
    explicit Completion(Message& message) : m_message(message) {}
    void Complete(const void* source, int32_t bytesSent, int32_t errorCode) override;

  private:
    Message& m_message;
};

struct Message {
    uint32_t id = 0;
    int32_t length = 0;
    const void* source = nullptr;
    int32_t seenByPeer = 0;
    int completions = 0;
    int32_t bytesSent = 0;
    int32_t errorCode = 0;
    Completion completion{*this};
};

void Completion::Complete(const void* source, int32_t bytesSent, int32_t errorCode) {
    Message& m = m_message;
    Check(++m.completions == 1);
    Check(source == m.source);
    Check(bytesSent == m.seenByPeer);
    if (errorCode == 0) {
        Check(bytesSent == m.length);
    } else {
        Check(bytesSent < m.length);
        Check(errorCode == qav::kSendQueueAborted || errorCode == ECONNRESET || errorCode == EPIPE);
    }
    m.bytesSent = bytesSent;
    m.errorCode = errorCode;
}

// One connection as the peer sees it: the messages queued on it, in order, and how far
// the peer has read into them.
struct Connection {
    int socket = -1;
    std::vector<Message*> messages;
    size_t current = 0;  // the message the next byte belongs to
    bool closed = false;
    bool failed = false;
    int connectedEvents = 0;
    int closedEvents = 0;
    bool closedOnRequest = false;
};

class ScriptedSocket final : public qav::StreamSocketCalls {
  public:
    explicit ScriptedSocket(Input& input) : m_input(input) {}

    ptrdiff_t Send(int socket, const void* data, size_t length, int& errorCode) override {
        Connection& connection = Find(socket);
        Check(!connection.closed && !connection.failed);
        Check(length > 0);
        const uint8_t script = m_input.Byte();
        size_t taken = length;
        switch (script % 5) {
            case 1:
                taken = m_input.Bytes(3) % length;  // part, maybe nothing
                break;
            case 2:
                errorCode = EAGAIN;
                return -1;
            case 3:
                connection.failed = true;
                errorCode = script % 2 == 0 ? ECONNRESET : EPIPE;
                return -1;
            default:
                break;
        }
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < taken; ++i) {
            Check(connection.current < connection.messages.size());
            Message& message = *connection.messages[connection.current];
            Check(bytes[i] == MessageByte(message.id, message.seenByPeer));
            if (++message.seenByPeer == message.length) {
                ++connection.current;
            }
        }
        return static_cast<ptrdiff_t>(taken);
    }
    ptrdiff_t Receive(int socket, void*, size_t capacity, int& errorCode) override {
        Check(!Find(socket).closed);
        const uint8_t script = m_input.Byte();
        if (script % 3 == 0) {
            return 0;  // the peer closed
        }
        if (script % 3 == 1) {
            errorCode = EAGAIN;
            return -1;
        }
        // The bytes themselves do not matter here; the buffer is left as it is.
        return static_cast<ptrdiff_t>(script % capacity + 1);
    }
    // Nothing readable: the peer's close, a reset that the look takes from the socket, or
    // bytes that another reader took first (the connection stays).
    bool PeerHasClosed(int socket, int& errorCode) override {
        Check(!Find(socket).closed);
        const uint8_t script = m_input.Byte();
        if (script % 3 == 2) {
            return false;
        }
        errorCode = script % 3 == 0 ? 0 : ECONNRESET;
        return true;
    }
    int GetReadableBytes(int socket, int&) override {
        Check(!Find(socket).closed);
        return m_input.Byte() % 4 == 0 ? 0 : 100;
    }
    bool GetPendingError(int socket, int& pendingError, int& errorCode) override {
        Check(!Find(socket).closed);
        const uint8_t script = m_input.Byte();
        if (script % 4 == 3) {
            errorCode = EBADF;
            return false;
        }
        pendingError = script % 4 == 0 ? 0 : ECONNRESET;
        return true;
    }
    void Close(int socket) override {
        Connection& connection = Find(socket);
        Check(!connection.closed);
        connection.closed = true;
    }

    Connection& Find(int socket) {
        for (std::unique_ptr<Connection>& connection : connections) {
            if (connection->socket == socket) {
                return *connection;
            }
        }
        std::abort();
    }

    std::vector<std::unique_ptr<Connection>> connections;

  private:
    Input& m_input;
};

class CountingSink final : public ConnectionEventSink {
  public:
    explicit CountingSink(ScriptedSocket& sockets) : m_sockets(sockets) {}
    int32_t ManageConnectionProtocol(bool incoming, const char*, const char*, int32_t, const char*,
                                     int32_t, qav::ConnectionStream*, int32_t eventKind,
                                     qav::PlatformServices*) override {
        Check(incoming);
        Check(!m_sockets.connections.empty());
        Connection& connection = *m_sockets.connections.back();
        Check(connection.closedEvents == 0 && !connection.closedOnRequest);
        if (eventKind == ConnectionEventSink::kEventConnected) {
            Check(++connection.connectedEvents == 1);
        } else {
            Check(connection.connectedEvents == 1);
        }
        if (eventKind == ConnectionEventSink::kEventClosed) {
            Check(connection.closed);
            ++connection.closedEvents;
        }
        return 0;
    }

  private:
    ScriptedSocket& m_sockets;
};

// The connection must never touch these descriptors as real ones; they are far above
// anything the process has open.
constexpr int kFirstFakeSocket = 0x40000000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    ScriptedSocket sockets(input);
    CountingSink sink(sockets);
    std::vector<std::unique_ptr<Message>> messages;
    std::vector<uint8_t> scratch(0x40100 + 16);
    qav::RefPtr<qav::ReliableConnection> connection(
        new qav::RefCountedObject<qav::ReliableConnection>(nullptr, sockets));
    // Chosen by the length, so that every byte of an input means what it always did.
    const bool giveBackAtOnce = size % 2 == 0;
    if (giveBackAtOnce) {
        connection->SetSendBufferIdleTime(0);
    }

    auto attach = [&] {
        auto fresh = std::make_unique<Connection>();
        fresh->socket = kFirstFakeSocket + static_cast<int>(sockets.connections.size());
        if (!sockets.connections.empty() && !sockets.connections.back()->closed) {
            sockets.connections.back()->closedOnRequest = true;  // Attach closes the old one
        }
        sockets.connections.push_back(std::move(fresh));
        connection->Attach(sockets.connections.back()->socket, "192.0.2.1", 4000, &sink);
        Check(sockets.connections.back()->connectedEvents == 1);
    };
    attach();

    for (int steps = 0; !input.Done() && steps < 2000; ++steps) {
        const uint8_t operation = input.Byte();
        switch (operation % 10) {
            case 0:
            case 1:
            case 2: {
                int32_t length = 0;
                if (operation % 10 == 0) {
                    length = input.Byte();
                } else if (operation % 10 == 1) {
                    length = static_cast<int32_t>(input.Bytes(2));
                } else {
                    length = static_cast<int32_t>(input.Bytes(3) % 0x40100) - 8;
                }
                auto message = std::make_unique<Message>();
                message->id = static_cast<uint32_t>(messages.size());
                message->length = length;
                message->source = scratch.data() + message->id % 16;
                uint8_t* bytes = scratch.data() + message->id % 16;
                for (int32_t i = 0; i < length; ++i) {
                    bytes[i] = MessageByte(message->id, i);
                }
                Connection& current = *sockets.connections.back();
                const bool connected =
                    connection->GetConnectionState() == qav::kConnectionConnected;
                const int32_t room = connection->GetAvailableWriteQueueLength();
                current.messages.push_back(message.get());
                const int32_t taken = connection->Send(bytes, length, &message->completion);
                if (taken == 0) {
                    current.messages.pop_back();
                    Check(!connected || length <= 0 || length > room);
                    Check(message->completions == 0);
                } else {
                    Check(taken == length && connected && length > 0);
                    messages.push_back(std::move(message));
                }
                break;
            }
            case 3:
            case 4:
                connection->HandleOutput();
                break;
            case 5:
                connection->HandleInput();
                break;
            case 6:
                connection->HandleError();
                break;
            case 7: {
                char buffer[64];
                connection->Receive(buffer, sizeof buffer);
                break;
            }
            case 8:
                if (!sockets.connections.back()->closed) {
                    sockets.connections.back()->closedOnRequest = true;
                }
                connection->Disconnect();
                break;
            default:
                attach();
                break;
        }
        Check(connection->GetOldestQueueDelayTime() >= 0);
        const int32_t queued = connection->GetCurrentWriteQueueLength();
        Check(queued >= 0);
        const bool held = connection->HoldsSendBuffer();
        if (connection->GetConnectionState() != qav::kConnectionConnected) {
            Check(!held);
        } else if (queued == 0) {
            Check(!(held && giveBackAtOnce));
            Check(connection->GetAvailableWriteQueueLength() ==
                  qav::ReliableConnection::kMaxMessageLength);
        }
    }

    connection->Disconnect();
    Check(!connection->HoldsSendBuffer());
    for (const std::unique_ptr<Message>& message : messages) {
        Check(message->completions == 1);
    }
    for (const std::unique_ptr<Connection>& each : sockets.connections) {
        Check(each->closed && each->closedEvents <= 1);
        // Only the message a close cut short may be partial, and only the last one seen.
        for (size_t i = 0; i < each->messages.size(); ++i) {
            const Message& message = *each->messages[i];
            if (i < each->current) {
                Check(message.errorCode == 0 && message.seenByPeer == message.length);
            } else if (i > each->current) {
                Check(message.seenByPeer == 0 && message.errorCode != 0);
            }
        }
    }
    return 0;
}
