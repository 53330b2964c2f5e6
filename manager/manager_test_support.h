// For tests only: a log sink that keeps every record as one line of text, a polled loop
// whose manager reports to one, a bounded wait for a condition, a plain server socket that
// plays the node's server, and the identification message a client sends.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection_context.h"
#include "core/log_message.h"
#include "core/text_logger.h"
#include "core/text_utils.h"
#include "core/xml_document.h"
#include "core/xml_element.h"
#include "network/loopback_test_support.h"
#include "records/monitor_identification.h"
#include "routing/connection_state_observer.h"

namespace qav::test_support {

// Keeps each record as "<text> <name>=<value> ...".
class RecordingLog final : public MessageLogger {
  public:
    explicit RecordingLog(int level = kSeverityStatus) : m_level(level) {}

    int GetLevel() override { return m_level; }
    void Log(int, const LogMessage& message) override {
        const XmlElement root = message.GetRoot();
        WString text;
        root.GetAttribute(u"qav:Text", text);
        std::string line = Narrow(text);
        for (XmlElement child = root.FirstChild(); child.IsValid(); child = child.NextSibling()) {
            WString name;
            WString value;
            child.GetAttribute(u"qav:Name", name);
            child.GetAttribute(u"qav:Value", value);
            line += " " + Narrow(name) + "=" + Narrow(value);
        }
        std::lock_guard<std::mutex> hold(m_mutex);
        m_lines.push_back(std::move(line));
    }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_lines;
    }
    // The records that contain `part`.
    int Count(const std::string& part) {
        int count = 0;
        for (const std::string& line : Lines()) {
            count += line.find(part) != std::string::npos;
        }
        return count;
    }
    std::string Text() {
        std::string text;
        for (const std::string& line : Lines()) {
            text += line + "\n";
        }
        return text;
    }

  private:
    static std::string Narrow(const WString& text) {
        std::string narrow;
        WideToUtf8(text.data(), static_cast<int>(text.size()), narrow);
        return narrow;
    }

    const int m_level;
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Whether `condition` became true within `limit`.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The server's side of connections from the node: a listening socket on every address
// (of the namespace it is made in) and a port the system chooses, or `port`, and every
// connection it accepted with what each sent so far.
class AcceptingServer {
  public:
    explicit AcceptingServer(int32_t port = 0) {
        const int on = 1;
        ::setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_ANY)}, {}};
        m_listening =
            ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(m_socket, 16) == 0;
        socklen_t length = sizeof address;
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        this->port = ntohs(address.sin_port);
    }
    ~AcceptingServer() {
        CloseConnections();
        ::close(m_socket);
    }
    AcceptingServer(const AcceptingServer&) = delete;
    AcceptingServer& operator=(const AcceptingServer&) = delete;

    bool IsListening() const { return m_listening; }

    // Connections accepted from now on probe their peer after 1 s of silence and are
    // closed after 2 probes without an answer, as a server does to notice a client that
    // vanished without a word (its address gone, so that no FIN could leave it).
    void ProbeIdlePeers(bool on) { m_probeIdlePeers = on; }

    struct Connection {
        int socket;
        std::string peer;  // dotted address of the node's end
        std::string bytes;
        bool closed = false;
    };

    // Accepts what waits and reads what arrived, without waiting.
    std::vector<Connection>& Update() {
        for (;;) {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            const int socket = ::accept4(m_socket, reinterpret_cast<sockaddr*>(&peer), &length,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (socket < 0) {
                break;
            }
            if (m_probeIdlePeers) {
                const int on = 1;
                const int idle = 1;
                const int interval = 1;
                const int count = 2;
                ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
                ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
                ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
                ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
            }
            const uint32_t host = ntohl(peer.sin_addr.s_addr);
            m_connections.push_back(
                {socket,
                 std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 255) + "." +
                     std::to_string((host >> 8) & 255) + "." + std::to_string(host & 255),
                 std::string()});
        }
        for (Connection& connection : m_connections) {
            char buffer[4096];
            ssize_t got = 0;
            while (!connection.closed &&
                   (got = ::recv(connection.socket, buffer, sizeof buffer, MSG_DONTWAIT)) != 0) {
                if (got < 0) {
                    connection.closed = errno != EAGAIN && errno != EWOULDBLOCK;
                    break;
                }
                connection.bytes.append(buffer, static_cast<size_t>(got));
            }
            connection.closed = connection.closed || got == 0;
        }
        return m_connections;
    }
    // Connections from `peer` that are still open.
    int OpenFrom(const std::string& peer) {
        int count = 0;
        for (const Connection& connection : Update()) {
            count += connection.peer == peer && !connection.closed;
        }
        return count;
    }
    // Connections accepted from `peer`, open or closed since.
    int AcceptedFrom(const std::string& peer) {
        int count = 0;
        for (const Connection& connection : Update()) {
            count += connection.peer == peer;
        }
        return count;
    }
    // The peers with an open connection.
    std::set<std::string> OpenPeers() {
        std::set<std::string> peers;
        for (const Connection& connection : Update()) {
            if (!connection.closed) {
                peers.insert(connection.peer);
            }
        }
        return peers;
    }
    // Whether some connection received exactly `bytes`.
    bool Received(const std::string& bytes) {
        for (const Connection& connection : Update()) {
            if (connection.bytes == bytes) {
                return true;
            }
        }
        return false;
    }
    bool AllClosed() {
        for (const Connection& connection : Update()) {
            if (!connection.closed) {
                return false;
            }
        }
        return true;
    }
    // Resets every open connection from `peer` (an RST, as a middlebox that drops the
    // path does); returns how many.
    int ResetFrom(const std::string& peer) {
        int count = 0;
        for (Connection& connection : Update()) {
            if (connection.peer != peer || connection.closed) {
                continue;
            }
            const linger abort{1, 0};
            ::setsockopt(connection.socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            ::shutdown(connection.socket, SHUT_RDWR);
            connection.closed = true;
            ++count;
        }
        return count;
    }
    void CloseConnections() {
        for (const Connection& connection : m_connections) {
            ::close(connection.socket);
        }
        m_connections.clear();
    }

    int32_t port = 0;

  private:
    int m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool m_listening = false;
    bool m_probeIdlePeers = false;
    std::vector<Connection> m_connections;
};

// The polled loop of the socket tests, with the manager reporting to m_log.
class LoggedManagerTest : public PolledLoopTest {
  protected:
    void SetUp() override {
        PolledLoopTest::SetUp();
        m_manager->SetLogSink(&m_log);
    }
    RecordingLog m_log;  // ends after TearDown stopped the polling thread
};

// The bytes a client sends to identify its user: the record in a "qav:Message".
inline std::string IdentificationText(const MonitorIdentification& identification) {
    XmlDocument document;
    MonitorIdentification copy = identification;
    copy.WriteXml(document.CreateRoot(u"qav:Message", kQavNamespaceUri));
    std::string text;
    document.SaveToString(text);
    return text;
}

// Keeps "up|down <local address> <priority>" for each change, and the network interface
// its context named.
class RecordingObserver final : public RefCountedObject<ConnectionStateObserver> {
  public:
    void ConnectionStateChanged(ConnectionContext* context, const std::string& localAddress,
                                int32_t priority, bool connected) override {
        std::string interfaceName;
        if (context != nullptr) {
            const WString name = context->GetNetworkInterfaceName();
            WideToUtf8(name.data(), static_cast<int>(name.size()), interfaceName);
        }
        std::lock_guard<std::mutex> hold(m_mutex);
        m_changes.push_back(std::string(connected ? "up " : "down ") + localAddress + " " +
                            std::to_string(priority));
        m_interfaces.push_back(std::move(interfaceName));
    }
    std::vector<std::string> Changes() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_changes;
    }
    // Whether `change` through `interfaceName` was among the changes from the `from`th on.
    bool SawOn(const std::string& change, const std::string& interfaceName, size_t from = 0) {
        std::lock_guard<std::mutex> hold(m_mutex);
        for (size_t i = from; i < m_changes.size(); ++i) {
            if (m_changes[i] == change && m_interfaces[i] == interfaceName) {
                return true;
            }
        }
        return false;
    }
    // Whether `change` was among the changes from the `from`th on.
    bool Saw(const std::string& change, size_t from = 0) {
        const std::vector<std::string> changes = Changes();
        for (size_t i = from; i < changes.size(); ++i) {
            if (changes[i] == change) {
                return true;
            }
        }
        return false;
    }
    // Each change on a line of its own, with its interface.
    std::string Text() {
        std::lock_guard<std::mutex> hold(m_mutex);
        std::string text;
        for (size_t i = 0; i < m_changes.size(); ++i) {
            text += m_changes[i] + " (" + m_interfaces[i] + ")\n";
        }
        return text;
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_changes;
    std::vector<std::string> m_interfaces;  // one per change
};

}  // namespace qav::test_support
