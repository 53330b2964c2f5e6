#include "node/relay_node.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>

#include "core/format.h"
#include "core/log_message.h"
#include "core/text_logger.h"
#include "core/text_utils.h"
#include "manager/protocol_manager.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"
#include "node/connection_state_lines.h"
#include "node/log_lines.h"
#include "platform/output.h"
#include "platform/system_error.h"
#include "records/log_sink.h"
#include "records/monitor_identification.h"

namespace qav {

namespace {

// A taken port is the usual cause and gets the operator's question; any other cause (out
// of descriptors, say) is named as the system names it, so that nobody hunts for a
// program holding the port.
std::string ListenFailure(const char* protocol, int32_t port, int32_t errorCode) {
    if (errorCode == EADDRINUSE) {
        return FormatString("cannot listen on %s port %d (is it taken?)", protocol, port);
    }
    if (errorCode != 0) {
        return FormatString("cannot listen on %s port %d: %s", protocol, port,
                            platform::ErrorMessage(errorCode));
    }
    return FormatString("cannot listen on %s port %d", protocol, port);
}

}  // namespace

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
            error = ListenFailure("TCP", options.tcpPort, m_services->GetLastListenError());
            Stop();
            return false;
        default:
            error = ListenFailure("UDP", options.udpPort, m_services->GetLastListenError());
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
        // Into the log, like every record: the polling thread must never wait for the output.
        sink = [this](const std::string& line) { PrintLine(line); };
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
    const uint32_t dropped = m_logSink->TakeMessages(entries);
    int32_t unformatted = 0;
    try {
        if (dropped > 0) {
            lines.push_back(
                FormatLogLine(kSeverityWarning,
                              LogMessage(FormatWString(u"%u log records were dropped", dropped))));
        }
    } catch (const std::bad_alloc&) {
        unformatted += static_cast<int32_t>(std::min<uint32_t>(dropped, INT32_MAX));
    }
    for (LogSinkEntry& entry : entries) {
        try {
            lines.push_back(FormatLogLine(entry.severity, entry.message));
        } catch (const std::bad_alloc&) {
            unformatted += entry.lostMessages > 0 ? entry.lostMessages : 1;
        }
    }
    if (unformatted > 0) {
        // Reported by the log like any loss, once the memory is back.
        m_logSink->CountLostMessages(unformatted);
    }
}

uint64_t RelayNode::PrintLog(int descriptor, int timeoutMs) {
    std::vector<std::string> lines;
    TakeLogLines(lines);
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    int errorCode = 0;
    const size_t written =
        platform::WriteOutput(descriptor, text.data(), text.size(), timeoutMs, -1, errorCode);
    return static_cast<uint64_t>(
        std::count(text.begin() + static_cast<std::ptrdiff_t>(written), text.end(), '\n'));
}

void RelayNode::PrintLine(const std::string& line) {
    LogSink* sink = m_logSink.get();
    if (sink == nullptr) {
        return;
    }
    try {
        WString text;
        Utf8ToWide(line.data(), static_cast<int>(line.size()), text, nullptr);
        sink->AddMessage(kNodeLineSeverity, LogMessage(text));
    } catch (const std::bad_alloc&) {
        sink->CountLostMessage();
    }
}

bool RelayNode::StartLogPrinter(int descriptor, const std::string& firstLine) {
    if (m_logSink == nullptr || m_printer.IsRunning()) {
        return false;
    }
    if (!m_printer.Start(
            descriptor, [this](std::vector<std::string>& lines) { TakeLogLines(lines); },
            firstLine)) {
        return false;
    }
    m_printTo = descriptor;
    m_logSink->SetWakeUpEvent(&m_printer.GetWakeUpEvent());
    // Records logged before the printer started are printed at once.
    m_printer.GetWakeUpEvent().Set();
    return true;
}

bool RelayNode::HasPollingThreadEnded() const {
    if (!m_manager) {
        return false;
    }
    RefPtr<PollingThread> thread = m_manager->GetPollingThread();
    return thread && thread->HasEndedUnexpectedly();
}

void RelayNode::Stop() {
    // The sockets first: the manager's release closes the server and the listener, and
    // whatever the output does, nothing arrives that nobody takes.
    if (m_manager) {
        m_manager->ReleaseAllResources();
        m_manager.Reset();
    }
    if (m_services != nullptr) {
        m_services->SetSocketHandlerManager(nullptr);
    }
    m_waitLoop.reset();
    m_services.reset();
    const bool printed = m_printer.Stop(LogPrinter::kStopOutputMs);
    if (m_logSink != nullptr) {
        m_logSink->SetWakeUpEvent(nullptr);
        SetTextLogger(nullptr);
        // Whatever was logged after the printer's last take, or with no printer at all,
        // still reaches the operator, unless the output has already failed the printer.
        const bool printerRan = m_printTo >= 0;
        if (!printerRan || (printed && m_printer.GetLostLineCount() == 0)) {
            m_linesLostAtStop +=
                PrintLog(printerRan ? m_printTo : 1, LogPrinter::kStopOutputMs / 4);
        } else {
            // Counted, not formatted: the stop does no work for lines that go nowhere.
            std::vector<LogSinkEntry> entries;
            const uint32_t dropped = m_logSink->TakeMessages(entries);
            m_linesLostAtStop += entries.size() + (dropped > 0 ? 1 : 0);
        }
        m_logSink.reset();
    }
}

}  // namespace qav
