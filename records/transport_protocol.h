// TransportProtocol: the transport a connection or stream asks for. The connection
// parameters and their server connections, forwarding rules and social-network channel
// carry it, and so do the device's media streams and the maintenance messages.
//
// The table is constant; any thread may read it.
#pragma once

#include "core/enum_text_table.h"

namespace qav {

inline constexpr EnumTextRow kTransportProtocolTable[] = {
    {0, u"Any"},
    {1, u"TCP"},
    {2, u"UDP"},
};

}  // namespace qav
