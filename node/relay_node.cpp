#include "node/relay_node.h"

#include "core/format.h"
#include "core/log_message.h"
#include "core/text_logger.h"
#include "core/text_utils.h"
#include "manager/protocol_manager.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"
#include "node/connection_state_lines.h"
#include "node/log_lines.h"
#include "records/log_sink.h"
#include "records/monitor_identification.h"

namespace qav {

RelayNode::RelayNode() = default;

RelayNode::~RelayNode() {
    Stop();
}

bool RelayNode::Start(const NodeOptions& options, std::string& error) {
    m_logSink = std::make_unique<LogSink>();
    // The operator watches connections come and go, which are status records.
    m_logSink->SetLogSeverity(kSeverityStatus);
    // Bursts of traffic log faster than a terminal prints: the queue takes up the slack.
    m_logSink->SetMaxNumberOfLogMessages(kLogLimit);
    m_logSink->SetWakeUpEvent(&m_logArrived);
    SetTextLogger(m_logSink.get());

    m_services = std::make_unique<PlatformServices>();
    m_waitLoop = std::make_unique<SocketHandlerManager>();
    m_services->SetSocketHandlerManager(m_waitLoop.get());
    m_manager = new ProtocolManager;
    m_manager->SetLogSink(m_logSink.get());
    if (m_manager->StartPollingThreads(m_waitLoop.get(), 1) != 1) {
        error = "cannot start the polling thread";
        Stop();
        return false;
    }

    // One listener on every address, so a taken port is a clear failure and broadcasts
    // arrive. Bound to no address in particular, it receives on every local address,
    // present and future, which is what lets the connection to a server follow them.
    m_manager->GetNetworkPacketsManager().SetPerAddressListening(false);
    int32_t udpPort = options.udpPort;
    int32_t tcpPort = options.tcpPort;
    switch (m_manager->StartServerRoles(m_services.get(), udpPort, tcpPort)) {
        case ProtocolManager::kServerRolesStarted:
            break;
        case ProtocolManager::kTcpServerFailed:
            error = FormatString("cannot listen on TCP port %d (is it taken?)", options.tcpPort);
            Stop();
            return false;
        default:
            error = FormatString("cannot listen on UDP port %d (is it taken?)", options.udpPort);
            Stop();
            return false;
    }
    m_udpPort = udpPort;
    m_tcpPort = tcpPort;
    if (!options.connect.empty() && !StartClient(options, error)) {
        Stop();
        return false;
    }
    return true;
}

bool RelayNode::StartClient(const NodeOptions& options, std::string& error) {
    m_manager->SetAllPaths(options.allPaths);
    std::function<void(const std::string&)> sink = m_connectionLineSink;
    if (!sink) {
        // One write per line, so that a line never mixes with the log lines main prints.
        sink = [](const std::string& line) {
            std::fprintf(stdout, "%s\n", line.c_str());
            std::fflush(stdout);
        };
    }
    RefPtr<ConnectionStateLines> lines(new ConnectionStateLines(options.connect, std::move(sink)));
    MonitorIdentification identification;
    const bool identify = !options.user.empty();
    if (identify) {
        Utf8ToWide(options.user.data(), static_cast<int>(options.user.size()),
                   identification.m_userName, nullptr);
        Utf8ToWide(options.password.data(), static_cast<int>(options.password.size()),
                   identification.m_password, nullptr);
    }
    if (!m_manager->StartMainServerConnection(m_services.get(), options.connect.c_str(),
                                              identify ? &identification : nullptr, lines.get(),
                                              options.serverTcpPort, options.serverUdpPort)) {
        error = FormatString("cannot start the connection to %s", options.connect);
        return false;
    }
    return true;
}

void RelayNode::TakeLogLines(std::vector<std::string>& lines) {
    if (m_logSink == nullptr) {
        return;
    }
    std::vector<LogSinkEntry> entries;
    // The records dropped were older than any taken now, so their count comes first.
    if (const uint32_t dropped = m_logSink->TakeMessages(entries); dropped > 0) {
        lines.push_back(FormatLogLine(
            kSeverityWarning, LogMessage(FormatWString(u"%u log records were dropped", dropped))));
    }
    for (const LogSinkEntry& entry : entries) {
        lines.push_back(FormatLogLine(entry.severity, entry.message));
    }
}

void RelayNode::PrintLog(std::FILE* out) {
    std::vector<std::string> lines;
    TakeLogLines(lines);
    for (const std::string& line : lines) {
        std::fprintf(out, "%s\n", line.c_str());
    }
    std::fflush(out);
}

bool RelayNode::StartLogPrinter(std::FILE* out) {
    if (m_logSink == nullptr || m_printer.HoldsThread()) {
        return false;
    }
    m_printTo = out;
    m_stopPrinting.store(false);
    int error = 0;
    if (!platform::StartThread(m_printer, "LogPrinter", &RelayNode::PrinterMain, this, error)) {
        m_printTo = nullptr;
        return false;
    }
    return true;
}

int RelayNode::PrinterMain(void* argument) {
    RelayNode& node = *static_cast<RelayNode*>(argument);
    while (!node.m_stopPrinting.load()) {
        node.m_logArrived.Wait(-1);
        // Reset before taking: a record queued after the take sets the event again.
        node.m_logArrived.Reset();
        node.PrintLog(node.m_printTo);
    }
    return 0;
}

void RelayNode::StopLogPrinter() {
    if (!m_printer.HoldsThread()) {
        return;
    }
    m_stopPrinting.store(true);
    m_logArrived.Set();
    platform::JoinThread(m_printer, -1);
}

void RelayNode::Stop() {
    // The manager's release closes the server and the listener.
    if (m_manager) {
        m_manager->ReleaseAllResources();
        m_manager.Reset();
    }
    if (m_services != nullptr) {
        m_services->SetSocketHandlerManager(nullptr);
    }
    m_waitLoop.reset();
    m_services.reset();
    StopLogPrinter();
    if (m_logSink != nullptr) {
        SetTextLogger(nullptr);
        // Whatever was logged while stopping still reaches the operator.
        PrintLog(m_printTo != nullptr ? m_printTo : stdout);
        m_logSink.reset();
    }
}

}  // namespace qav
