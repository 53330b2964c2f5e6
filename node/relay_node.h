// A relay node in the server role, wired from the layers below: the log sink (also the
// process-wide text logger), the platform services, the socket wait loop, and the
// protocol manager with its polling thread and its server roles (the datagram listener
// and the TCP server). With a server to connect to, it is also a client: the manager's
// main-server connection keeps a path to that server through the best local address
// (or through every one), and each change is printed as one line (connection_state_lines.h).
//
// Typical usage (see main.cpp):
//   RelayNode node;
//   if (!node.Start(options, error)) { ... }
//   while (no stop signal) node.PrintLog(stdout);
//   node.Stop();
//
// Threads: Start, PrintLog and Stop are called by one thread (main); the node's work
// runs on the polling thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ref_counted.h"
#include "node/node_options.h"

namespace qav {

class LogSink;
class PlatformServices;
class ProtocolManager;
class SocketHandlerManager;

class RelayNode {
  public:
    RelayNode();
    ~RelayNode();
    RelayNode(const RelayNode&) = delete;
    RelayNode& operator=(const RelayNode&) = delete;

    // Where the lines about the connection to the server go (polling thread); stdout
    // when not set. Set before Start.
    void SetConnectionLineSink(std::function<void(const std::string&)> sink) {
        m_connectionLineSink = std::move(sink);
    }

    // Starts everything; false with a one-line `error` when a port cannot be taken, a
    // thread cannot start or the connection to the server cannot start (what was started
    // is stopped again).
    bool Start(const NodeOptions& options, std::string& error);

    // The ports actually bound (useful when 0 was asked for); -1 before Start.
    int32_t GetTcpPort() const { return m_tcpPort; }
    int32_t GetUdpPort() const { return m_udpPort; }

    // The log records queued since the last call, one line each (see log_lines.h).
    void TakeLogLines(std::vector<std::string>& lines);
    // The same, printed.
    void PrintLog(std::FILE* out);

    // Closes the sockets and joins the polling thread. Safe to call twice.
    void Stop();

  private:
    // The manager's connection to the server of `options.connect`.
    bool StartClient(const NodeOptions& options, std::string& error);

    std::unique_ptr<LogSink> m_logSink;
    std::unique_ptr<PlatformServices> m_services;
    std::unique_ptr<SocketHandlerManager> m_waitLoop;
    RefPtr<ProtocolManager> m_manager;
    std::function<void(const std::string&)> m_connectionLineSink;
    int32_t m_tcpPort = -1;
    int32_t m_udpPort = -1;
};

}  // namespace qav
