// MaintenanceMessage: the housekeeping between two nodes, or between a node and a device
// — tests and keep-alives, the UDP port and connection token of a conversation, a node's
// attributes, software upgrades, file requests and publishing, access levels, a new server
// address, local addresses, allowed features, recording status and errors: 27 types in one
// record. The type decides which fields travel; the protocol manager builds one message
// per exchange and handles the received ones.
//
// Wire form: the type as an attribute, then the type's children in a fixed order:
//   <qav:MaintenanceMessage qav:Type="Start New Connections" xmlns:qav="...">
//   <qav:NetworkAppAddresses><qav:NetworkAppAddress qav:Address="10.0.0.2"
//    qav:PortNumber="5000"/></qav:NetworkAppAddresses><qav:Index>1</qav:Index>
//   </qav:MaintenanceMessage>
// A message of type 0 is not written at all.
//
// Types 8 (Upgrade Software), 20 (Binary Packet) and 22 (Publish File) carry an attachment
// of DataSize raw bytes, which the record points at and never owns. A message read from
// XML holds exactly the attachment length its XML announces and no reference to bytes.
//
// The tokens, addresses and file locations travel only with the types that carry them.
//
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "core/wide_text.h"
#include "records/maintenance_message_tables.h"
#include "records/recordings_list.h"
#include "records/xml_record.h"

namespace qav {

// A local address of a node where its peers may open new connections.
struct NetworkAppAddress {
    bool operator==(const NetworkAppAddress&) const = default;

    WString m_address;
    int32_t m_portNumber = 0;
};

// The message's fields with their defaults, apart from the record interface so that two
// messages compare field by field.
struct MaintenanceMessageFields {
    bool operator==(const MaintenanceMessageFields&) const = default;

    int32_t m_type = 0;  // a value of kMaintenanceMessageTypeTable; 0 for none
    WString m_applicationName;
    WString m_productName;
    WString m_version;
    WString m_time;
    WString m_directory;
    WString m_fileName;
    WString m_address;
    WString m_error;
    WString m_name;
    int32_t m_deviceId = 0;
    int32_t m_portNumber = 0;
    int32_t m_connectionToken = 0;
    int32_t m_size = 0;
    int32_t m_offset = 0;
    int32_t m_receiveToken = 0;
    int32_t m_versionNumber = 0;
    int32_t m_index = 0;
    int32_t m_result = 0;
    int32_t m_disconnectionTime = 60;
    int32_t m_transportProtocol = 0;     // kTransportProtocolTable
    int32_t m_deviceAccessLevel = 0;     // kDeviceAccessLevelTable
    int32_t m_applicationType = 0;       // kApplicationTypeTable
    int32_t m_platform = 0;              // kPlatformTable
    int32_t m_fileTransferCategory = 0;  // kFileTransferCategoryTable
    bool m_enable = false;
    bool m_canUpgradeSoftware = false;
    bool m_usesLocalAddresses = false;
    bool m_splitMessagePackets = false;
    bool m_hasRecordableStorage = false;
    bool m_hasDownloadsFolder = false;
    const uint8_t* m_payload = nullptr;  // the caller's bytes, never freed here
    int32_t m_dataSize = 0;
    std::vector<NetworkAppAddress> m_networkAppAddresses;
    std::vector<int32_t> m_deviceFeatures;  // kDeviceFeatureTable
};

class MaintenanceMessage : public XmlRecord, public MaintenanceMessageFields {
  public:
    static constexpr int32_t kTypeId = 7;

    // Every field, the recordings included.
    bool operator==(const MaintenanceMessage& other) const;

    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    // The attachment of types 8, 20 and 22; 0 (`payload` untouched) for every other type.
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    RecordingsList m_recordings;  // "Media Recording Status"
};

// The message's fields into `element` (kSyncWrite) or from it (kSyncRead); the type as
// just read picks the children. Reading drops the attachment (null reference, DataSize 0)
// before taking the DataSize the XML announces; a negative DataSize, Size or Offset and a
// port number outside 0..65535 are refused. A negative DataSize is written as 0, the
// length GetPayload hands out.
void Serialize(MaintenanceMessage& record, XmlElement element, uint32_t direction);

}  // namespace qav
