#include "records/local_network_parameters.h"

#include "core/xml_fields.h"
#include "records/record_fields.h"
#include "records/transport_protocol.h"

namespace qav {
namespace {

// The seven address children shared by the interface and its static configurations.
template <typename Addresses>
bool SyncAddresses(Addresses& record, XmlElement element, uint32_t direction) {
    bool ok = SyncStringField(element, u"qav:HostAddress", direction, record.m_hostAddress);
    ok &= SyncStringField(element, u"qav:SubnetMask", direction, record.m_subnetMask);
    ok &= SyncStringField(element, u"qav:BroadcastAddress", direction, record.m_broadcastAddress);
    ok &= SyncStringField(element, u"qav:SubnetAddress", direction, record.m_subnetAddress);
    ok &= SyncStringField(element, u"qav:GatewayAddress", direction, record.m_gatewayAddress);
    ok &= SyncStringField(element, u"qav:NameserverAddress", direction, record.m_nameserverAddress);
    ok &=
        SyncStringField(element, u"qav:NameserverAddress2", direction, record.m_nameserverAddress2);
    return ok;
}

}  // namespace

void MarkEraseChildren(XmlElement wrapper, uint32_t direction) {
    if (direction != kSyncRead) {
        wrapper.SetAttribute(u"__merge_options", u"erase_children");
    }
}

bool ForwardingRule::Serialize(XmlElement element, uint32_t direction) {
    bool ok = SyncTextAttribute(element, u"qav:Address", kQavNamespaceUri, direction, m_address);
    ok &= SyncIntAttribute(element, u"qav:PortNumber", kQavNamespaceUri, direction, m_portNumber);
    ok &= SyncEnumAttribute(element, u"qav:Protocol", kQavNamespaceUri, kTransportProtocolTable,
                            direction, m_protocol);
    return ok;
}

bool StaticNetworkConfiguration::Serialize(XmlElement element, uint32_t direction) {
    return SyncAddresses(*this, element, direction);
}

bool LocalNetworkParameters::Serialize(XmlElement parent, uint32_t direction) {
    const bool write = direction != kSyncRead;
    XmlElement element =
        parent.FindOrCreateChild(u"qav:LocalNetworkParameters", kQavNamespaceUri, write);
    if (!element.IsValid()) {
        return false;
    }
    bool ok = SyncEnumField(element, u"qav:AddressConfigMethod", kQavNamespaceUri,
                            kAddressConfigMethodTable, direction, m_addressConfigMethod);
    ok &= SyncAddresses(*this, element, direction);
    ok &= SyncBoolField(element, u"qav:EnableDHCPServer", direction, m_enableDhcpServer);
    ok &= SyncBoolField(element, u"qav:EnableNATRouter", direction, m_enableNatRouter);
    ok &= SyncBoolAttribute(element.FindOrCreateChild(u"qav:VPNParams", kQavNamespaceUri, write),
                            u"qav:Enable", kQavNamespaceUri, direction, m_vpnEnabled);

    XmlElement rules = element.FindOrCreateChild(u"qav:ForwardingRules", kQavNamespaceUri, write);
    ok &= SyncList(rules, u"qav:ForwardingRule", kQavNamespaceUri, direction, m_forwardingRules);
    MarkEraseChildren(rules, direction);

    XmlElement configurations =
        element.FindOrCreateChild(u"qav:StaticNetworkConfigurations", kQavNamespaceUri, write);
    ok &= SyncList(configurations, u"qav:StaticNetworkConfiguration", kQavNamespaceUri, direction,
                   m_staticNetworkConfigurations);
    MarkEraseChildren(configurations, direction);
    return ok;
}

}  // namespace qav
