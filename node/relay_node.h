// A relay node in the server role, wired from the layers below: the log sink (also the
// process-wide text logger), the platform services, the socket wait loop, and the
// protocol manager with its polling thread and its server roles (the datagram listener
// and the TCP server). With a server to connect to, it is also a client: the manager's
// main-server connection keeps a path to that server through the best local address
// (or through every one), and each change is logged as one of the node's own lines
// (connection_state_lines.h).
//
// Typical usage (see main.cpp):
//   RelayNode node;
//   if (!node.Start(options, error)) { ... }
//   node.StartLogPrinter(1);  // prints each record as it is logged
//   ... wait for a stop signal, watching HasPollingThreadEnded ...
//   node.Stop();
//
// Nothing logged is lost silently: a record the log could not take is reported as
// "N messages could not be logged", and records pushed out of its queue (it holds
// kLogLimit) as "N log records were dropped". The output is another matter: only the
// printer's thread writes to it, so an output that nobody reads stalls nothing else, and
// at the stop what cannot be written within LogPrinter::kStopOutputMs is given up.
//
// Threads: Start, StartLogPrinter, TakeLogLines, PrintLog, HasPollingThreadEnded and Stop
// are called by one thread (main), TakeLogLines and PrintLog only while no printer runs;
// PrintLine from any thread while the node runs. The node's work runs on the polling
// thread, the printing on the printer's own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ref_counted.h"
#include "node/log_printer.h"
#include "node/node_options.h"

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

    // Where the lines about the connection to the server go instead of the log (called on
    // the polling thread), for tests that watch them. Set before Start.
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
    // a line that counts the records dropped since then, if any. A record that cannot be
    // formatted for lack of memory is counted as lost in the log.
    void TakeLogLines(std::vector<std::string>& lines);
    // The same, written to `descriptor` within `timeoutMs` (negative: no limit). Returns
    // the lines that could not be written.
    uint64_t PrintLog(int descriptor, int timeoutMs);

    // Queues one of the node's own lines (about its connection, its stop) in the log, to
    // be printed as it is, in its place among the records.
    void PrintLine(const std::string& line);

    // Starts a thread that prints `firstLine` (unless empty) to `descriptor`, then the log
    // whenever records arrive, until Stop. The first line comes before any record, once
    // the printer runs: the last step of a start. False when the thread cannot start (or
    // one runs already).
    bool StartLogPrinter(int descriptor, const std::string& firstLine = {});

    // True once the polling thread has ended while the node runs: the node takes nothing
    // in any more, and should stop with a failure.
    bool HasPollingThreadEnded() const;

    // Closes the sockets, joins the polling thread, then lets the printer print what is
    // left of the log within LogPrinter::kStopOutputMs and joins it. Safe to call twice.
    void Stop();

    // Lines that never reached the output: those the printer could not print (see
    // LogPrinter::GetLostLineCount), and those still in the log at the stop when the
    // output had already failed, or that the last print could not write. Read after Stop.
    uint64_t GetLostOutputLineCount() const {
        return m_printer.GetLostLineCount() + m_linesLostAtStop;
    }

  private:
    // The manager's connection to the server of `options.connect`.
    bool StartClient(const NodeOptions& options, std::string& error);

    // Declared before the sink, which sets its wake-up event, so that it outlives the sink.
    LogPrinter m_printer;
    int m_printTo = -1;  // the printer's output once it has started
    std::unique_ptr<LogSink> m_logSink;
    std::unique_ptr<PlatformServices> m_services;
    std::unique_ptr<SocketHandlerManager> m_waitLoop;
    RefPtr<ProtocolManager> m_manager;
    std::function<void(const std::string&)> m_connectionLineSink;
    uint64_t m_linesLostAtStop = 0;
    int32_t m_tcpPort = -1;
    int32_t m_udpPort = -1;
};

}  // namespace qav
