#include "records/connection_parameters.h"

#include <functional>

#include "core/xml_fields.h"
#include "records/record_test_support.h"

namespace qav {
namespace {

using test_support::ParseXml;
using test_support::ReadXmlText;
using test_support::SavedXml;
using test_support::WrittenXml;

// A multi-connection node with every part filled.
ConnectionParameters Filled() {
    ConnectionParameters p;
    p.m_connectionType = 3;
    p.m_serverAddress = u"relay.example:8000";
    p.m_transportProtocol = 1;
    p.m_maxIdleTime = 90;
    p.m_sleepManagementMinutes = 15;
    p.m_pppAuthenticationType = 3;
    p.m_modemInterfaceType = 2;
    p.m_referenceServerAddress = u"10.1.1.1";
    p.m_localNetwork.m_addressConfigMethod = 2;
    p.m_localNetwork.m_forwardingRules = {{u"192.0.2.9", 554, 2}, {}};
    p.m_localNetwork.m_staticNetworkConfigurations.resize(1);
    p.m_localNetwork.m_staticNetworkConfigurations[0].m_gatewayAddress = u"192.0.2.1";
    p.m_sim.m_pin = u"1234";
    p.m_accessPointRole = 2;
    p.m_wiFiLocalNetwork.m_enableDhcpServer = true;
    p.m_outputServiceType = 3;
    p.m_serverConnections = {{true, true, 2, u"main", u"a.example", u"eth0", u"u", u"p\"w"}, {}};
    p.m_socialNetwork = {true, true, 1, u"rtmp://s", u"ch", u"n", u"d", u"c", u"l", u"g"};
    p.m_interfaceUtilizationPolicy = 1;
    return p;
}

TEST(ConnectionParameters, WritesItsDefaultsInOrder) {
    ConnectionParameters parameters = Filled();
    parameters.Reset();
    const std::string localNetwork =
        "<qav:LocalNetworkParameters><qav:AddressConfigMethod>Undefined</qav:AddressConfigMethod>"
        "<qav:HostAddress/><qav:SubnetMask/><qav:BroadcastAddress/><qav:SubnetAddress/>"
        "<qav:GatewayAddress/><qav:NameserverAddress/><qav:NameserverAddress2/>"
        "<qav:EnableDHCPServer>False</qav:EnableDHCPServer>"
        "<qav:EnableNATRouter>False</qav:EnableNATRouter><qav:VPNParams qav:Enable=\"False\"/>"
        "<qav:ForwardingRules __merge_options=\"erase_children\"/>"
        "<qav:StaticNetworkConfigurations __merge_options=\"erase_children\"/>"
        "</qav:LocalNetworkParameters>";
    EXPECT_EQ(
        WrittenXml(parameters),
        "<qav:ConnectionParameters " QAV_TEST_NS
        "><qav:ConnectionType>No Connection</qav:ConnectionType><qav:ServerAddress/>"
        "<qav:ConnectPeers>False</qav:ConnectPeers><qav:TransportProtocol>Any"
        "</qav:TransportProtocol><qav:MaxIdleTime qav:Enable=\"True\">"
        "<qav:SleepManagementAction qav:Minutes=\"0\"/>30</qav:MaxIdleTime>"
        "<qav:RemoteAccessConnection qav:CellRadTechPref=\"0\" qav:CellRatPref=\"0\" "
        "qav:ModemDiagnostics=\"False\" qav:ModemInterfaceType=\"Default\"><qav:EntryName/>"
        "<qav:AccessPointName/><qav:UserName/><qav:Password/><qav:ModemDialString/>"
        "<qav:ModemCommand/><qav:ConnSMSPhoneNum/>"
        "<qav:PPPAuthenticationType>None</qav:PPPAuthenticationType>"
        "<qav:ModemConfigMethod>Manual</qav:ModemConfigMethod><qav:Roaming qav:Enable=\"True\"/>"
        "</qav:RemoteAccessConnection><qav:EnableHardwareReset>False</qav:EnableHardwareReset>"
        "<qav:NetworkConnectionsProvider/><qav:Secure>False</qav:Secure>"
        "<qav:ReferenceConnection qav:Enable=\"False\"><qav:ServerAddress/>"
        "<qav:PortNumber>0</qav:PortNumber></qav:ReferenceConnection>" +
            localNetwork +
            "<qav:SimParameters qav:PHPIN=\"\" qav:PHPUK=\"\" qav:PIN=\"\" qav:PIN2=\"\" "
            "qav:PUK=\"\" qav:PUK2=\"\"/><qav:WiFi qav:AccessPointRole=\"Client\" "
            "qav:Enable=\"False\"><qav:ServiceSetIdentifier/><qav:EncryptionPassPhrase/>" +
            localNetwork +
            "</qav:WiFi><qav:SMS qav:OutputServiceType=\"Circuit Switched\"/>"
            "<qav:MultipleConnectionParameters qav:EnableLocalServer=\"False\" "
            "qav:ShareDevicesAmongServers=\"False\"><qav:ServerConnections "
            "__merge_options=\"erase_children\"/></qav:MultipleConnectionParameters>"
            "<qav:SocialNetwork1 qav:Enable=\"False\"/><qav:VPNParams qav:Enable=\"False\"/>"
            "<qav:InterfaceUtilizationPolicy>Prioritize</qav:InterfaceUtilizationPolicy>"
            "</qav:ConnectionParameters>");
}

TEST(ConnectionParameters, FilledRecordWritesItsPartsAndReadsBackEqual) {
    ConnectionParameters filled = Filled();
    const std::string wire = WrittenXml(filled);
    for (const char* part : {
             "<qav:MaxIdleTime qav:Enable=\"True\"><qav:SleepManagementAction "
             "qav:Minutes=\"15\"/>90</qav:MaxIdleTime>",
             "<qav:ForwardingRules __merge_options=\"erase_children\"><qav:ForwardingRule "
             "qav:Address=\"192.0.2.9\" qav:PortNumber=\"554\" qav:Protocol=\"UDP\"/>"
             "<qav:ForwardingRule qav:Address=\"\" qav:PortNumber=\"0\" qav:Protocol=\"Any\"/>"
             "</qav:ForwardingRules><qav:StaticNetworkConfigurations __merge_options="
             "\"erase_children\"><qav:StaticNetworkConfiguration><qav:HostAddress/>"
             "<qav:SubnetMask/><qav:BroadcastAddress/><qav:SubnetAddress/><qav:GatewayAddress>"
             "192.0.2.1</qav:GatewayAddress><qav:NameserverAddress/><qav:NameserverAddress2/>"
             "</qav:StaticNetworkConfiguration></qav:StaticNetworkConfigurations>",
             "<qav:ServerConnections __merge_options=\"erase_children\"><qav:ClientParameters "
             "qav:Enable=\"True\" qav:Name=\"main\" qav:NetworkInterface=\"eth0\" "
             "qav:Password=\"p&quot;w\" qav:Secure=\"True\" qav:ServerAddress=\"a.example\" "
             "qav:TransportProtocol=\"UDP\" qav:UserName=\"u\"/><qav:ClientParameters ",
             "<qav:SocialNetwork1 qav:Category=\"c\" qav:ChannelIdentifier=\"ch\" "
             "qav:Enable=\"True\" qav:GroupID=\"g\" qav:Location=\"l\" qav:Name=\"n\" "
             "qav:RecordChannel=\"True\" qav:ServerAddress=\"rtmp://s\" "
             "qav:TransportProtocol=\"TCP\"><qav:Description>d</qav:Description>"
             "</qav:SocialNetwork1>",
         }) {
        EXPECT_NE(wire.find(part), std::string::npos) << part << "\nin " << wire;
    }
    ConnectionParameters copy;
    ReadXmlText(copy, wire);
    EXPECT_EQ(copy, filled);

    // Serializing into the same element again replaces the items instead of adding to them.
    XmlDocument document;
    XmlElement element = ParseXml(document, wire);
    filled.m_serverConnections.pop_back();
    filled.Serialize(element, kSyncWrite);
    ReadXmlText(copy, SavedXml(document));
    EXPECT_EQ(copy, filled);
}

TEST(ConnectionParameters, ReadingKeepsWhatTheElementLeavesOutOrNamesWrongly) {
    struct Case {
        const char* body;  // inside "qav:ConnectionParameters"; read into Filled()
        std::function<void(ConnectionParameters&)> expect;  // the change it makes to Filled()
    };
    const Case cases[] = {
        {"<qav:ConnectionType>multiple connections</qav:ConnectionType><qav:TransportProtocol>"
         "tcp</qav:TransportProtocol><qav:WiFi qav:AccessPointRole=\"client\"/><qav:SMS "
         "qav:OutputServiceType=\"GPRS \"/>",
         [](ConnectionParameters&) {}},
        {"<qav:MaxIdleTime qav:Enable=\"False\">\n <qav:SleepManagementAction/>\n"
         "</qav:MaxIdleTime><qav:SocialNetwork1 qav:Enable=\"False\" qav:ServerAddress=\"x\">"
         "<qav:Description>y</qav:Description></qav:SocialNetwork1><qav:ReferenceConnection>"
         "<qav:ServerAddress>ref</qav:ServerAddress></qav:ReferenceConnection>"
         "<qav:ClientParameters qav:Name=\"stray\"/>",
         [](ConnectionParameters& p) {
             p.m_idleTimeoutEnabled = false;
             p.m_socialNetwork.m_enable = false;
             p.m_referenceServerAddress = u"ref";
         }},
        // The idle time is the node's own limit: text that is no number keeps it.
        {"<qav:MaxIdleTime qav:Enable=\"False\">x<qav:SleepManagementAction/>--5"
         "</qav:MaxIdleTime>",
         [](ConnectionParameters& p) { p.m_idleTimeoutEnabled = false; }},
        {"<qav:MaxIdleTime>0x10</qav:MaxIdleTime>", [](ConnectionParameters&) {}},
        {"<qav:MaxIdleTime> 45\n</qav:MaxIdleTime>",
         [](ConnectionParameters& p) { p.m_maxIdleTime = 45; }},
        {"<qav:MultipleConnectionParameters><qav:ServerConnections><qav:ClientParameters "
         "qav:TransportProtocol=\"Udp\"/><qav:Other qav:Name=\"x\"/><qav:ClientParameters "
         "qav:Name=\"b\"/></qav:ServerConnections></qav:MultipleConnectionParameters>",
         [](ConnectionParameters& p) {
             p.m_serverConnections.assign(2, ClientParameters());
             p.m_serverConnections[1].m_name = u"b";
         }},
        {"<qav:LocalNetworkParameters><qav:AddressConfigMethod>dhcp</qav:AddressConfigMethod>"
         "<qav:ForwardingRules><qav:ForwardingRule qav:Protocol=\"udp\" qav:PortNumber=\"8\"/>"
         "</qav:ForwardingRules></qav:LocalNetworkParameters><qav:WiFi/>",
         [](ConnectionParameters& p) {
             p.m_localNetwork.m_forwardingRules = {{u"", 8, 0}};
             p.m_localNetwork.m_staticNetworkConfigurations.clear();
         }},
    };
    for (const Case& c : cases) {
        ConnectionParameters read = Filled();
        ReadXmlText(read, std::string("<qav:ConnectionParameters>") + c.body +
                              "</qav:ConnectionParameters>");
        ConnectionParameters expected = Filled();
        c.expect(expected);
        EXPECT_TRUE(read == expected) << c.body << "\nread:     " << WrittenXml(read)
                                      << "\nexpected: " << WrittenXml(expected);
    }
}

}  // namespace
}  // namespace qav
