#include "records/connection_parameters.h"

#include "core/text_utils.h"
#include "core/xml_fields.h"
#include "records/record_fields.h"

namespace qav {
namespace {

// The idle time is the text of "qav:MaxIdleTime", which also holds an attribute and a
// child of its own: an element that carries only those (or white space around them)
// says nothing about the time and keeps it. The time is the node's own limit, so other
// text that is no number keeps it too, rather than reading as 0.
void SyncMaxIdleTimeText(XmlElement maxIdleTime, uint32_t direction, int32_t& field) {
    if (direction != kSyncRead) {
        maxIdleTime.SetTextInt(field);
        return;
    }
    WString text;
    if (maxIdleTime.GetText(text) && SkipCharsW(text, u" \t\r\n", true) != WStringView::npos) {
        ReadCheckedInt(maxIdleTime, field);
    }
}

}  // namespace

bool SimParameters::Serialize(XmlElement parent, uint32_t direction) {
    XmlElement element =
        parent.FindOrCreateChild(u"qav:SimParameters", kQavNamespaceUri, direction != kSyncRead);
    if (!element.IsValid()) {
        return false;
    }
    bool ok = SyncTextAttribute(element, u"qav:PIN", kQavNamespaceUri, direction, m_pin);
    ok &= SyncTextAttribute(element, u"qav:PIN2", kQavNamespaceUri, direction, m_pin2);
    ok &= SyncTextAttribute(element, u"qav:PHPIN", kQavNamespaceUri, direction, m_phPin);
    ok &= SyncTextAttribute(element, u"qav:PUK", kQavNamespaceUri, direction, m_puk);
    ok &= SyncTextAttribute(element, u"qav:PUK2", kQavNamespaceUri, direction, m_puk2);
    ok &= SyncTextAttribute(element, u"qav:PHPUK", kQavNamespaceUri, direction, m_phPuk);
    return ok;
}

bool ClientParameters::Serialize(XmlElement element, uint32_t direction) {
    bool ok = SyncBoolAttribute(element, u"qav:Enable", kQavNamespaceUri, direction, m_enable);
    ok &= SyncBoolAttribute(element, u"qav:Secure", kQavNamespaceUri, direction, m_secure);
    ok &= SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, m_name);
    ok &= SyncTextAttribute(element, u"qav:ServerAddress", kQavNamespaceUri, direction,
                            m_serverAddress);
    ok &= SyncTextAttribute(element, u"qav:NetworkInterface", kQavNamespaceUri, direction,
                            m_networkInterface);
    ok &= SyncTextAttribute(element, u"qav:UserName", kQavNamespaceUri, direction, m_userName);
    ok &= SyncTextAttribute(element, u"qav:Password", kQavNamespaceUri, direction, m_password);
    ok &= SyncEnumAttribute(element, u"qav:TransportProtocol", kQavNamespaceUri,
                            kTransportProtocolTable, direction, m_transportProtocol);
    return ok;
}

bool SocialNetwork1::Serialize(XmlElement parent, uint32_t direction) {
    XmlElement element =
        parent.FindOrCreateChild(u"qav:SocialNetwork1", kQavNamespaceUri, direction != kSyncRead);
    bool ok = SyncBoolAttribute(element, u"qav:Enable", kQavNamespaceUri, direction, m_enable);
    if (!m_enable) {
        return ok;
    }
    ok &= SyncBoolAttribute(element, u"qav:RecordChannel", kQavNamespaceUri, direction,
                            m_recordChannel);
    ok &= SyncTextAttribute(element, u"qav:ServerAddress", kQavNamespaceUri, direction,
                            m_serverAddress);
    ok &= SyncTextAttribute(element, u"qav:ChannelIdentifier", kQavNamespaceUri, direction,
                            m_channelIdentifier);
    ok &= SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, m_name);
    ok &= SyncStringField(element, u"qav:Description", direction, m_description);
    ok &= SyncTextAttribute(element, u"qav:Category", kQavNamespaceUri, direction, m_category);
    ok &= SyncEnumAttribute(element, u"qav:TransportProtocol", kQavNamespaceUri,
                            kTransportProtocolTable, direction, m_transportProtocol);
    ok &= SyncTextAttribute(element, u"qav:Location", kQavNamespaceUri, direction, m_location);
    ok &= SyncTextAttribute(element, u"qav:GroupID", kQavNamespaceUri, direction, m_groupId);
    return ok;
}

void ConnectionParameters::Reset() {
    *this = ConnectionParameters();
}

void ConnectionParameters::WriteXml(XmlElement parent) {
    Serialize(parent.CreateChild(u"qav:ConnectionParameters", kQavNamespaceUri), kSyncWrite);
}

void ConnectionParameters::ReadXml(XmlElement element) {
    Serialize(element, kSyncRead);
}

void ConnectionParameters::Serialize(XmlElement element, uint32_t direction) {
    const bool write = direction != kSyncRead;
    SyncEnumField(element, u"qav:ConnectionType", kQavNamespaceUri, kConnectionTypeTable, direction,
                  m_connectionType);
    SyncStringField(element, u"qav:ServerAddress", direction, m_serverAddress);
    SyncBoolField(element, u"qav:ConnectPeers", direction, m_connectPeers);
    SyncEnumField(element, u"qav:TransportProtocol", kQavNamespaceUri, kTransportProtocolTable,
                  direction, m_transportProtocol);

    XmlElement maxIdleTime = element.FindOrCreateChild(u"qav:MaxIdleTime", kQavNamespaceUri, write);
    SyncBoolAttribute(maxIdleTime, u"qav:Enable", kQavNamespaceUri, direction,
                      m_idleTimeoutEnabled);
    SyncMaxIdleTimeText(maxIdleTime, direction, m_maxIdleTime);
    SyncChildIntAttribute(maxIdleTime, u"qav:SleepManagementAction", u"qav:Minutes",
                          kQavNamespaceUri, direction, m_sleepManagementMinutes);

    XmlElement remote =
        element.FindOrCreateChild(u"qav:RemoteAccessConnection", kQavNamespaceUri, write);
    SyncStringField(remote, u"qav:EntryName", direction, m_entryName);
    SyncStringField(remote, u"qav:AccessPointName", direction, m_accessPointName);
    SyncStringField(remote, u"qav:UserName", direction, m_userName);
    SyncStringField(remote, u"qav:Password", direction, m_password);
    SyncStringField(remote, u"qav:ModemDialString", direction, m_modemDialString);
    SyncStringField(remote, u"qav:ModemCommand", direction, m_modemCommand);
    SyncStringField(remote, u"qav:ConnSMSPhoneNum", direction, m_smsConnectionPhoneNumber);
    SyncEnumField(remote, u"qav:PPPAuthenticationType", kQavNamespaceUri,
                  kPPPAuthenticationTypeTable, direction, m_pppAuthenticationType);
    SyncEnumField(remote, u"qav:ModemConfigMethod", kQavNamespaceUri, kModemConfigMethodTable,
                  direction, m_modemConfigMethod);
    SyncEnumAttribute(remote, u"qav:ModemInterfaceType", kQavNamespaceUri, kModemInterfaceTypeTable,
                      direction, m_modemInterfaceType);
    SyncIntAttribute(remote, u"qav:CellRadTechPref", kQavNamespaceUri, direction,
                     m_cellRadioTechnologyPreference);
    SyncIntAttribute(remote, u"qav:CellRatPref", kQavNamespaceUri, direction, m_cellRatPreference);
    SyncBoolAttribute(remote, u"qav:ModemDiagnostics", kQavNamespaceUri, direction,
                      m_modemDiagnostics);
    SyncBoolAttribute(remote.FindOrCreateChild(u"qav:Roaming", kQavNamespaceUri, write),
                      u"qav:Enable", kQavNamespaceUri, direction, m_roamingEnabled);

    SyncBoolField(element, u"qav:EnableHardwareReset", direction, m_enableHardwareReset);
    SyncStringField(element, u"qav:NetworkConnectionsProvider", direction,
                    m_networkConnectionsProvider);
    SyncBoolField(element, u"qav:Secure", direction, m_secure);

    XmlElement reference =
        element.FindOrCreateChild(u"qav:ReferenceConnection", kQavNamespaceUri, write);
    SyncBoolAttribute(reference, u"qav:Enable", kQavNamespaceUri, direction,
                      m_referenceConnectionEnabled);
    SyncStringField(reference, u"qav:ServerAddress", direction, m_referenceServerAddress);
    SyncIntField(reference, u"qav:PortNumber", kQavNamespaceUri, direction, m_referencePortNumber);

    m_localNetwork.Serialize(element, direction);
    m_sim.Serialize(element, direction);

    XmlElement wiFi = element.FindOrCreateChild(u"qav:WiFi", kQavNamespaceUri, write);
    SyncBoolAttribute(wiFi, u"qav:Enable", kQavNamespaceUri, direction, m_wiFiEnabled);
    SyncEnumAttribute(wiFi, u"qav:AccessPointRole", kQavNamespaceUri, kAccessPointRoleTable,
                      direction, m_accessPointRole);
    SyncStringField(wiFi, u"qav:ServiceSetIdentifier", direction, m_serviceSetIdentifier);
    SyncStringField(wiFi, u"qav:EncryptionPassPhrase", direction, m_encryptionPassPhrase);
    m_wiFiLocalNetwork.Serialize(wiFi, direction);

    SyncEnumAttribute(element.FindOrCreateChild(u"qav:SMS", kQavNamespaceUri, write),
                      u"qav:OutputServiceType", kQavNamespaceUri, kOutputServiceTypeTable,
                      direction, m_outputServiceType);

    if (XmlElement multiple =
            element.FindOrCreateChild(u"qav:MultipleConnectionParameters", kQavNamespaceUri, write);
        multiple.IsValid()) {
        SyncBoolAttribute(multiple, u"qav:EnableLocalServer", kQavNamespaceUri, direction,
                          m_enableLocalServer);
        SyncBoolAttribute(multiple, u"qav:ShareDevicesAmongServers", kQavNamespaceUri, direction,
                          m_shareDevicesAmongServers);
        XmlElement servers =
            multiple.FindOrCreateChild(u"qav:ServerConnections", kQavNamespaceUri, write);
        SyncList(servers, u"qav:ClientParameters", kQavNamespaceUri, direction,
                 m_serverConnections);
        MarkEraseChildren(servers, direction);
    }

    m_socialNetwork.Serialize(element, direction);
    SyncBoolAttribute(element.FindOrCreateChild(u"qav:VPNParams", kQavNamespaceUri, write),
                      u"qav:Enable", kQavNamespaceUri, direction, m_vpnEnabled);
    SyncEnumField(element, u"qav:InterfaceUtilizationPolicy", kQavNamespaceUri,
                  kInterfaceUtilizationPolicyTable, direction, m_interfaceUtilizationPolicy);
}

}  // namespace qav
