// A relay node in the server role, wired from the layers below: the log sink (also the
// process-wide text logger), the platform services, the socket wait loop, and the
// protocol manager with its polling thread and its server roles (the datagram listener
// and the TCP server).
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

    // Starts everything; false with a one-line `error` when a port cannot be taken or a
    // thread cannot start (what was started is stopped again).
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
    std::unique_ptr<LogSink> m_logSink;
    std::unique_ptr<PlatformServices> m_services;
    std::unique_ptr<SocketHandlerManager> m_waitLoop;
    RefPtr<ProtocolManager> m_manager;
    int32_t m_tcpPort = -1;
    int32_t m_udpPort = -1;
};

}  // namespace qav
