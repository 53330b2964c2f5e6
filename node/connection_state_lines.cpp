#include "node/connection_state_lines.h"

#include <utility>

#include "connection/connection_context.h"
#include "core/format.h"
#include "core/text_utils.h"

namespace qav {

ConnectionStateLines::ConnectionStateLines(std::string host, LineSink sink)
    : m_host(std::move(host)), m_sink(std::move(sink)) {}

void ConnectionStateLines::ConnectionStateChanged(ConnectionContext* context,
                                                  const std::string& localAddress, int32_t priority,
                                                  bool connected) {
    const WString interfaceName = context != nullptr ? context->GetNetworkInterfaceName() : u"";
    if (m_sink) {
        m_sink(FormatLine(m_host, connected, localAddress, interfaceName, priority));
    }
}

std::string ConnectionStateLines::FormatLine(const std::string& host, bool connected,
                                             const std::string& localAddress,
                                             const WString& interfaceName, int32_t priority) {
    std::string name;
    if (!WideToUtf8Strict(interfaceName, name)) {
        WideToUtf8(interfaceName.data(), static_cast<int>(interfaceName.size()), name);
    }
    // A name from the system must not break the one line the operator reads.
    for (char& c : name) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return FormatString("%s %s via %s (interface %s, priority %d)",
                        connected ? "connected to" : "disconnected from", host,
                        localAddress.empty() ? std::string("unknown") : localAddress,
                        name.empty() ? std::string("unknown") : name, priority);
}

}  // namespace qav
