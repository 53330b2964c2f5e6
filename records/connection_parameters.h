// ConnectionParameters: how the node reaches the relay network — the connection type,
// the server's address and transport, the idle time-out, the cellular dial-up connection,
// the reference connection, the wired and Wi-Fi local networks, the SIM codes, the SMS
// service, the server connections of a multi-connection node, the social-network
// broadcast channel, the VPN switch and the interface utilization policy. The node loads
// it from and saves it into its session file and hands it to the connection starter.
//
// A plain record (not an XmlRecord): it travels as "qav:ConnectionParameters".
//
// Wire form, in this order: "qav:ConnectionType", "qav:ServerAddress", "qav:ConnectPeers",
// "qav:TransportProtocol", "qav:MaxIdleTime" (its text the idle time, attribute
// "qav:Enable", child "qav:SleepManagementAction"), "qav:RemoteAccessConnection" (the
// dial-up texts, "qav:PPPAuthenticationType", "qav:ModemConfigMethod", "qav:Roaming"),
// "qav:EnableHardwareReset", "qav:NetworkConnectionsProvider", "qav:Secure",
// "qav:ReferenceConnection", "qav:LocalNetworkParameters", "qav:SimParameters",
// "qav:WiFi" (with its own "qav:LocalNetworkParameters"), "qav:SMS",
// "qav:MultipleConnectionParameters" (with "qav:ServerConnections"),
// "qav:SocialNetwork1", "qav:VPNParams", "qav:InterfaceUtilizationPolicy".
//
// Reading keeps whatever the element leaves out: a missing "qav:LocalNetworkParameters",
// "qav:SimParameters" or "qav:MultipleConnectionParameters" leaves its whole part as it
// was, and a disabled social-network channel is read (and written) as its switch alone.
//
// Used by one thread at a time; the tables are constant.
#pragma once

#include <cstdint>
#include <vector>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"
#include "records/local_network_parameters.h"
#include "records/transport_protocol.h"

namespace qav {

inline constexpr EnumTextRow kConnectionTypeTable[] = {
    {0, u"No Connection"},
    {1, u"Connection to server"},
    {2, u"Connection as a server"},
    {3, u"Multiple Connections"},
};

inline constexpr EnumTextRow kPPPAuthenticationTypeTable[] = {
    {0, u"None"},
    {1, u"Any"},
    {2, u"PAP"},
    {3, u"CHAP"},
};

inline constexpr EnumTextRow kModemConfigMethodTable[] = {
    {0, u"None"},
    {1, u"Manual"},
    {2, u"Automatic"},
};

inline constexpr EnumTextRow kModemInterfaceTypeTable[] = {
    {0, u"Default"},
    {1, u"AT+PPP"},
    {2, u"QMI"},
};

inline constexpr EnumTextRow kAccessPointRoleTable[] = {
    {0, u"Undefined"},
    {1, u"Client"},
    {2, u"Host"},
};

inline constexpr EnumTextRow kOutputServiceTypeTable[] = {
    {0, u"GPRS"},
    {1, u"Circuit Switched"},
    {2, u"GPRS Preferred"},
    {3, u"Circuit Switched Preferred"},
};

inline constexpr EnumTextRow kInterfaceUtilizationPolicyTable[] = {
    {0, u"Prioritize"},
    {1, u"All Together"},
};

// The SIM's codes.
class SimParameters {
  public:
    // Reads or writes "qav:SimParameters" under `parent` (created only when writing).
    // Reading without that element changes nothing and gives false; otherwise true when
    // every code was read or written.
    bool Serialize(XmlElement parent, uint32_t direction);
    bool operator==(const SimParameters&) const = default;

    WString m_pin;
    WString m_pin2;
    WString m_phPin;
    WString m_puk;
    WString m_puk2;
    WString m_phPuk;
};

// One outgoing server connection of a multi-connection node.
class ClientParameters {
  public:
    // Reads or writes the connection in its own item element; true when every field was.
    bool Serialize(XmlElement element, uint32_t direction);
    bool operator==(const ClientParameters&) const = default;

    bool m_enable = false;
    bool m_secure = false;
    int32_t m_transportProtocol = 0;  // kTransportProtocolTable: "Any"
    WString m_name;
    WString m_serverAddress;
    WString m_networkInterface;
    WString m_userName;
    WString m_password;
};

// The broadcast channel on a social network. Only its switch travels while it is off.
class SocialNetwork1 {
  public:
    // Reads or writes "qav:SocialNetwork1" under `parent` (created only when writing);
    // true when every field that travelled was read or written.
    bool Serialize(XmlElement parent, uint32_t direction);
    bool operator==(const SocialNetwork1&) const = default;

    bool m_enable = false;
    bool m_recordChannel = false;
    int32_t m_transportProtocol = 0;  // kTransportProtocolTable: "Any"
    WString m_serverAddress;
    WString m_channelIdentifier;
    WString m_name;
    WString m_description;
    WString m_category;
    WString m_location;
    WString m_groupId;
};

class ConnectionParameters {
  public:
    // Every field back to the defaults below.
    void Reset();

    // Appends a new "qav:ConnectionParameters" under `parent` and writes into it.
    void WriteXml(XmlElement parent);
    // Reads from `element`, the "qav:ConnectionParameters" element itself.
    void ReadXml(XmlElement element);
    // The one routine of both directions (kSyncWrite or kSyncRead) on the record's element.
    void Serialize(XmlElement element, uint32_t direction);

    bool operator==(const ConnectionParameters&) const = default;

    int32_t m_connectionType = 0;  // kConnectionTypeTable: "No Connection"
    WString m_serverAddress;
    WString m_entryName;
    WString m_networkConnectionsProvider;
    WString m_accessPointName;
    WString m_userName;
    WString m_password;
    WString m_modemDialString;
    WString m_referenceServerAddress;
    WString m_serviceSetIdentifier;
    WString m_encryptionPassPhrase;
    WString m_modemCommand;
    WString m_smsConnectionPhoneNumber;
    bool m_connectPeers = false;
    bool m_idleTimeoutEnabled = true;
    bool m_enableHardwareReset = false;
    bool m_referenceConnectionEnabled = false;
    bool m_wiFiEnabled = false;
    bool m_secure = false;
    bool m_vpnEnabled = false;
    bool m_roamingEnabled = true;
    bool m_modemDiagnostics = false;
    int32_t m_referencePortNumber = 0;
    int32_t m_maxIdleTime = 30;
    int32_t m_sleepManagementMinutes = 0;
    int32_t m_cellRadioTechnologyPreference = 0;
    int32_t m_cellRatPreference = 0;
    int32_t m_pppAuthenticationType = 0;       // kPPPAuthenticationTypeTable: "None"
    int32_t m_transportProtocol = 0;           // kTransportProtocolTable: "Any"
    int32_t m_modemConfigMethod = 1;           // kModemConfigMethodTable: "Manual"
    int32_t m_modemInterfaceType = 0;          // kModemInterfaceTypeTable: "Default"
    int32_t m_accessPointRole = 1;             // kAccessPointRoleTable: "Client"
    int32_t m_interfaceUtilizationPolicy = 0;  // kInterfaceUtilizationPolicyTable: "Prioritize"
    LocalNetworkParameters m_localNetwork;
    LocalNetworkParameters m_wiFiLocalNetwork;
    SimParameters m_sim;
    int32_t m_outputServiceType = 1;  // kOutputServiceTypeTable: "Circuit Switched"
    bool m_enableLocalServer = false;
    bool m_shareDevicesAmongServers = false;
    std::vector<ClientParameters> m_serverConnections;
    SocialNetwork1 m_socialNetwork;
};

}  // namespace qav
