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
//   node.StartLogPrinter(stdout);  // prints each record as it is logged
//   ... wait for a stop signal ...
//   node.Stop();
//
// Nothing logged is lost silently: a record the log could not take is reported as
// "N messages could not be logged", and records pushed out of its queue (it holds
// kLogLimit) as "N log records were dropped".
//
// Threads: Start, StartLogPrinter, TakeLogLines, PrintLog and Stop are called by one
// thread (main), TakeLogLines and PrintLog only while no printer runs; the node's work
// runs on the polling thread, the printing on the printer's own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/ref_counted.h"
#include "node/node_options.h"
#include "platform/thread.h"

namespace qav {

class LogSink;
class PlatformServices;
class ProtocolManager;
class SocketHandlerManager;

class RelayNode {
  public:
    // The records the node's log holds before it drops the oldest.
    static constexpr int32_t kLogLimit = 10000;

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

    // The log records queued since the last call, one line each (see log_lines.h), after
    // a line that counts the records dropped since then, if any.
    void TakeLogLines(std::vector<std::string>& lines);
    // The same, printed.
    void PrintLog(std::FILE* out);

    // Starts a thread that prints the log to `out` whenever records arrive, until Stop.
    // False when the thread cannot start (or one runs already).
    bool StartLogPrinter(std::FILE* out);

    // Closes the sockets, joins the polling thread and the printer, and prints what is
    // left of the log. Safe to call twice.
    void Stop();

  private:
    // The manager's connection to the server of `options.connect`.
    bool StartClient(const NodeOptions& options, std::string& error);

    static int PrinterMain(void* node);
    void StopLogPrinter();

    // Declared before the sink, which sets it, so that it outlives the sink.
    Event m_logArrived;
    platform::ThreadHandle m_printer;
    std::FILE* m_printTo = nullptr;  // the printer's output while it runs
    std::atomic<bool> m_stopPrinting{false};
    std::unique_ptr<LogSink> m_logSink;
    std::unique_ptr<PlatformServices> m_services;
    std::unique_ptr<SocketHandlerManager> m_waitLoop;
    RefPtr<ProtocolManager> m_manager;
    std::function<void(const std::string&)> m_connectionLineSink;
    int32_t m_tcpPort = -1;
    int32_t m_udpPort = -1;
};

}  // namespace qav
