#include "records/maintenance_message.h"

#include "records/capture_device_command_tables.h"
#include "records/record_test_support.h"

namespace qav {
namespace {

using test_support::ReadXmlText;
using test_support::WrittenXml;

#define MESSAGE(type) "<qav:MaintenanceMessage qav:Type=\"" type "\""
#define OPEN(type) MESSAGE(type) " " QAV_TEST_NS ">"
#define END "</qav:MaintenanceMessage>"

// Every field away from its default, so that a field written under the wrong name, or with
// a type that does not carry it, shows in the sweep.
MaintenanceMessage Filled(int32_t type) {
    MaintenanceMessage m;
    m.m_type = type;
    m.m_applicationName = u"app", m.m_productName = u"product", m.m_version = u"1.2";
    m.m_time = u"2030-01-02 03:04:05", m.m_directory = u"updates", m.m_fileName = u"node.cab";
    m.m_address = u"203.0.113.9", m.m_error = u"disk full", m.m_name = u"name";
    m.m_deviceId = 7, m.m_portNumber = 5000, m.m_connectionToken = 4242, m.m_size = 4096;
    m.m_offset = 512, m.m_receiveToken = 6, m.m_versionNumber = 12, m.m_index = 1;
    m.m_result = -3, m.m_disconnectionTime = 90, m.m_transportProtocol = 2;
    m.m_deviceAccessLevel = 6, m.m_fileTransferCategory = 2, m.m_dataSize = 16;
    m.m_applicationType = kApplicationMobileMonitor, m.m_platform = kPlatformArmv4iWm6;
    m.m_enable = m.m_canUpgradeSoftware = m.m_usesLocalAddresses = true;
    m.m_splitMessagePackets = m.m_hasRecordableStorage = m.m_hasDownloadsFolder = true;
    m.m_networkAppAddresses = {{u"10.0.0.2", 5000}, {u"", 0}};
    m.m_deviceFeatures = {kFeatureWatchVideo, kFeatureNaming};
    m.m_recordings.Add({3, 7, 0, -1, true});
    return m;
}

TEST(MaintenanceMessage, GoldenWireTexts) {
    MaintenanceMessage message;
    EXPECT_EQ(WrittenXml(message), "") << "type 0 is not written";
    message = Filled(kMaintenanceAlive);
    EXPECT_EQ(WrittenXml(message), MESSAGE("Alive") " " QAV_TEST_NS "/>");

    message = Filled(kMaintenanceNodeAttributes);
    EXPECT_EQ(WrittenXml(message),
              OPEN("Node Attributes")
              "<qav:ApplicationName>app</qav:ApplicationName>"
              "<qav:ProductName>product</qav:ProductName><qav:Version>1.2</qav:Version>"
              "<qav:TransportProtocol>UDP</qav:TransportProtocol>"
              "<qav:Time>2030-01-02 03:04:05</qav:Time>"
              "<qav:ApplicationType>Mobile Monitor</qav:ApplicationType>"
              "<qav:Platform>ARMV4I WM6</qav:Platform><qav:VersionNumber>12</qav:VersionNumber>"
              "<qav:CanUpgradeSoftware>True</qav:CanUpgradeSoftware>"
              "<qav:UsesLocalAddresses>True</qav:UsesLocalAddresses>"
              "<qav:SplitMessagePackets>True</qav:SplitMessagePackets>"
              "<qav:DisconnectionTime>90</qav:DisconnectionTime>" END);
    message.m_applicationType = 0;
    EXPECT_EQ(WrittenXml(message).find("ApplicationType"), std::string::npos);

    message = Filled(kMaintenanceDeviceAllowedFeatures);
    message.m_deviceFeatures.push_back(kFeatureUnknownCommand);
    EXPECT_EQ(WrittenXml(message),
              OPEN("Device Allowed Features")
              "<qav:DeviceID>7</qav:DeviceID>"
              "<qav:DeviceFeatures><qav:DeviceFeature qav:Name=\"Watch Video\"/>"
              "<qav:DeviceFeature qav:Name=\"Naming\"/><qav:DeviceFeature/>"
              "</qav:DeviceFeatures>" END);
}

// Every type's wire text, and that each reads back into a fresh message that writes the
// same text.
TEST(MaintenanceMessage, EveryTypeRoundTrips) {
    std::string sweep;
    for (int32_t type = 1; type <= 27; ++type) {
        MaintenanceMessage message = Filled(type);
        const std::string wire = WrittenXml(message);
        MaintenanceMessage read;
        ReadXmlText(read, wire);
        EXPECT_EQ(WrittenXml(read), wire);
        sweep += wire + "\n";
    }
    test_support::ExpectApproved("maintenance_message_types.txt", sweep);
}

// A text that no row has, a number out of range and a field the type does not carry keep
// what the message had.
TEST(MaintenanceMessage, UnknownTextsLeaveFieldsUnchanged) {
    const struct {
        const char* body;
        int32_t MaintenanceMessageFields::*field;
        int32_t expected;
    } cases[] = {
        {MESSAGE("Node Attributes") "><qav:Version>2</qav:Version>",
         &MaintenanceMessageFields::m_disconnectionTime, 60},
        {MESSAGE("Node Attributes") "><qav:ApplicationType>Activex Control</qav:ApplicationType>",
         &MaintenanceMessageFields::m_applicationType, 0},
        {MESSAGE("Node Attributes") "><qav:ApplicationType>AciveX Control</qav:ApplicationType>",
         &MaintenanceMessageFields::m_applicationType, 9},
        {MESSAGE("Node Attributes") "><qav:Platform>Linux DAVINCI v13</qav:Platform>",
         &MaintenanceMessageFields::m_platform, 23},
        {MESSAGE("Set Device Access Level") "><qav:DeviceAccessLevel>administrative"
                                            "</qav:DeviceAccessLevel>",
         &MaintenanceMessageFields::m_deviceAccessLevel, 0},
        {MESSAGE("Request File Content") "><qav:FileTransferCategory>Downloads "
                                         "</qav:FileTransferCategory>",
         &MaintenanceMessageFields::m_fileTransferCategory, 0},
        {MESSAGE("set udp port number") "><qav:PortNumber>80</qav:PortNumber>",
         &MaintenanceMessageFields::m_portNumber, 0},
        {MESSAGE("Set UDP Port Number") "><qav:PortNumber>65536</qav:PortNumber>",
         &MaintenanceMessageFields::m_portNumber, 0},
        {MESSAGE("Set UDP Port Number") "><qav:ConnectionToken>5</qav:ConnectionToken>",
         &MaintenanceMessageFields::m_connectionToken, 0},
        {MESSAGE("Request File Content") "><qav:Offset>-1</qav:Offset>",
         &MaintenanceMessageFields::m_offset, 0},
        {MESSAGE("Software Upgrade Available") "><qav:Size>-4096</qav:Size>",
         &MaintenanceMessageFields::m_size, 0},
    };
    for (const auto& c : cases) {
        MaintenanceMessage message;
        ReadXmlText(message, std::string(c.body) + END);
        EXPECT_EQ(message.*c.field, c.expected) << c.body;
    }

    MaintenanceMessage lists;
    lists.m_deviceFeatures = {9};
    ReadXmlText(lists, MESSAGE("Device Allowed Features") "><qav:DeviceFeatures>"
                "<qav:DeviceFeature qav:Name=\"Watch Video\"/><qav:Other/>"
                "<qav:DeviceFeature qav:Name=\"Naming\"/><qav:DeviceFeature qav:Name=\"naming\"/>"
                "</qav:DeviceFeatures>" END);
    EXPECT_EQ(lists.m_deviceFeatures, (std::vector<int32_t>{1, 5, 0}));
    ReadXmlText(lists, MESSAGE("Node Local Addresses") "><qav:NetworkAppAddresses>"
                "<qav:NetworkAppAddress qav:PortNumber=\"-1\"/>"
                "<qav:NetworkAppAddress qav:Address=\"h\" qav:PortNumber=\"80\"/>"
                "</qav:NetworkAppAddresses>" END);
    EXPECT_EQ(lists.m_networkAppAddresses, (std::vector<NetworkAppAddress>{{u"", 0}, {u"h", 80}}));
}

TEST(MaintenanceMessage, AttachmentLengthMatchesItsBytes) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    MaintenanceMessage message = Filled(kMaintenancePublishFile);
    message.m_payload = bytes;
    message.m_dataSize = 4;
    const uint8_t** payload = nullptr;
    EXPECT_EQ(message.GetPayload(payload), 4u);
    ASSERT_EQ(payload, &message.m_payload);
    EXPECT_EQ(message.GetTypeId(), 7);

    // A length the wire does not announce is not handed out, and a negative one travels as 0.
    message.m_type = kMaintenanceNodeAttributes;
    payload = nullptr;
    EXPECT_EQ(message.GetPayload(payload), 0u);
    EXPECT_EQ(payload, nullptr);
    message.m_type = kMaintenanceBinaryPacket;
    message.m_dataSize = -1;
    EXPECT_EQ(message.GetPayload(payload), 0u);
    EXPECT_EQ(WrittenXml(message), OPEN("Binary Packet") "<qav:DataSize>0</qav:DataSize>" END);

    // A message read holds exactly the length its XML announces and no earlier bytes.
    const struct {
        const char* xml;
        int32_t dataSize;
    } reads[] = {
        {MESSAGE("Upgrade Software") "><qav:DataSize>9</qav:DataSize>" END, 9},
        {MESSAGE("Upgrade Software") "><qav:DataSize>-9</qav:DataSize>" END, 0},
        {MESSAGE("Upgrade Software") "/>", 0},
        {MESSAGE("Alive") "><qav:DataSize>9</qav:DataSize>" END, 0},
    };
    for (const auto& read : reads) {
        message.m_payload = bytes;
        message.m_dataSize = 4;
        ReadXmlText(message, read.xml);
        EXPECT_TRUE(message.m_dataSize == read.dataSize && message.m_payload == nullptr)
            << read.xml << ": " << message.m_dataSize;
    }
}

}  // namespace
}  // namespace qav
