// LocalNetworkParameters: the addressing of one local network interface (wired or Wi-Fi),
// its DHCP server, NAT router and VPN switch, its port forwarding rules and its static
// configurations. The connection parameters hold two: one for the wired network, one
// under "qav:WiFi".
//
// Wire form (in the parent given; children in this order):
//   <qav:LocalNetworkParameters><qav:AddressConfigMethod>Manual</qav:AddressConfigMethod>
//   <qav:HostAddress>...</qav:HostAddress> ... <qav:NameserverAddress2/>
//   <qav:EnableDHCPServer>False</...><qav:EnableNATRouter>False</...>
//   <qav:VPNParams qav:Enable="False"/>
//   <qav:ForwardingRules __merge_options="erase_children"><qav:ForwardingRule
//     qav:Address="10.0.0.2" qav:PortNumber="80" qav:Protocol="TCP"/></qav:ForwardingRules>
//   <qav:StaticNetworkConfigurations __merge_options="erase_children">
//     <qav:StaticNetworkConfiguration><qav:HostAddress>...</...></...></...>
//   </qav:LocalNetworkParameters>
//
// Used by one thread at a time; the table is constant.
#pragma once

#include <cstdint>
#include <vector>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"

namespace qav {

inline constexpr EnumTextRow kAddressConfigMethodTable[] = {
    {0, u"Undefined"},
    {1, u"DHCP"},
    {2, u"Manual"},
};

// One port forwarded by the interface's NAT router.
class ForwardingRule {
  public:
    // Reads or writes the rule in its own item element; true when every field was.
    bool Serialize(XmlElement element, uint32_t direction);
    bool operator==(const ForwardingRule&) const = default;

    WString m_address;
    int32_t m_portNumber = 0;
    int32_t m_protocol = 0;  // kTransportProtocolTable: "Any"
};

// One fixed addressing of the interface.
class StaticNetworkConfiguration {
  public:
    // Reads or writes the configuration in its own item element; true when every field was.
    bool Serialize(XmlElement element, uint32_t direction);
    bool operator==(const StaticNetworkConfiguration&) const = default;

    WString m_hostAddress;
    WString m_subnetMask;
    WString m_broadcastAddress;
    WString m_subnetAddress;
    WString m_gatewayAddress;
    WString m_nameserverAddress;
    WString m_nameserverAddress2;
};

class LocalNetworkParameters {
  public:
    // Reads or writes "qav:LocalNetworkParameters" under `parent` (created only when
    // writing). Reading without that element changes nothing and gives false; otherwise
    // true when every field was read or written.
    bool Serialize(XmlElement parent, uint32_t direction);
    bool operator==(const LocalNetworkParameters&) const = default;

    int32_t m_addressConfigMethod = 0;  // kAddressConfigMethodTable: "Undefined"
    WString m_hostAddress;
    WString m_subnetMask;
    WString m_broadcastAddress;
    WString m_subnetAddress;
    WString m_gatewayAddress;
    WString m_nameserverAddress;
    WString m_nameserverAddress2;
    bool m_enableDhcpServer = false;
    bool m_enableNatRouter = false;
    bool m_vpnEnabled = false;
    std::vector<ForwardingRule> m_forwardingRules;
    std::vector<StaticNetworkConfiguration> m_staticNetworkConfigurations;
};

// Marks a list wrapper so that a merge of this element into a stored one replaces the
// stored items instead of adding to them.
void MarkEraseChildren(XmlElement wrapper, uint32_t direction);

}  // namespace qav
