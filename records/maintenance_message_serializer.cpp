#include "core/xml_fields.h"
#include "records/access_level_table.h"
#include "records/capture_device_command_tables.h"
#include "records/maintenance_message.h"
#include "records/record_fields.h"
#include "records/transport_protocol.h"
#include "records/type_bindings.h"

namespace qav {
namespace {

using Fields = MaintenanceMessageFields;

constexpr int32_t kPortMax = 65535;

// What only the maintenance message binds.
enum class Special : uint8_t {
    kDataSize,             // the attachment's length
    kNetworkAppAddresses,  // the addresses list in its wrapper
    kDeviceFeatures,       // the features list in its wrapper
    kRecordings,           // the recordings list
};

using Binding = TypeBinding<Fields>;

constexpr Binding kApplicationName = BindChild(u"qav:ApplicationName", &Fields::m_applicationName);
constexpr Binding kProductName = BindChild(u"qav:ProductName", &Fields::m_productName);
constexpr Binding kVersion = BindChild(u"qav:Version", &Fields::m_version);
constexpr Binding kTime = BindChild(u"qav:Time", &Fields::m_time);
constexpr Binding kDirectory = BindChild(u"qav:Directory", &Fields::m_directory);
constexpr Binding kFileName = BindChild(u"qav:FileName", &Fields::m_fileName);
constexpr Binding kAddress = BindChild(u"qav:Address", &Fields::m_address);
constexpr Binding kError = BindChild(u"qav:Error", &Fields::m_error);
constexpr Binding kName = BindChild(u"qav:Name", &Fields::m_name);
constexpr Binding kDeviceId = BindChild(u"qav:DeviceID", &Fields::m_deviceId);
constexpr Binding kPortNumber = BindChild(u"qav:PortNumber", &Fields::m_portNumber, 0, kPortMax);
constexpr Binding kConnectionToken = BindChild(u"qav:ConnectionToken", &Fields::m_connectionToken);
constexpr Binding kSize = BindChild(u"qav:Size", &Fields::m_size, 0);
constexpr Binding kOffset = BindChild(u"qav:Offset", &Fields::m_offset, 0);
constexpr Binding kReceiveToken = BindChild(u"qav:ReceiveToken", &Fields::m_receiveToken);
constexpr Binding kVersionNumber = BindChild(u"qav:VersionNumber", &Fields::m_versionNumber);
constexpr Binding kIndex = BindChild(u"qav:Index", &Fields::m_index);
constexpr Binding kResult = BindChild(u"qav:Result", &Fields::m_result);
constexpr Binding kDisconnectionTime =
    BindChild(u"qav:DisconnectionTime", &Fields::m_disconnectionTime);
constexpr Binding kTransportProtocol =
    BindEnum(u"qav:TransportProtocol", kTransportProtocolTable, &Fields::m_transportProtocol);
constexpr Binding kDeviceAccessLevel =
    BindEnum(u"qav:DeviceAccessLevel", kDeviceAccessLevelTable, &Fields::m_deviceAccessLevel);
constexpr Binding kApplicationType =
    BindEnum(u"qav:ApplicationType", kApplicationTypeTable, &Fields::m_applicationType);
constexpr Binding kPlatform = BindEnum(u"qav:Platform", kPlatformTable, &Fields::m_platform);
constexpr Binding kFileTransferCategory = BindEnum(
    u"qav:FileTransferCategory", kFileTransferCategoryTable, &Fields::m_fileTransferCategory);
constexpr Binding kEnable = BindChild(u"qav:Enable", &Fields::m_enable);
constexpr Binding kCanUpgradeSoftware =
    BindChild(u"qav:CanUpgradeSoftware", &Fields::m_canUpgradeSoftware);
constexpr Binding kUsesLocalAddresses =
    BindChild(u"qav:UsesLocalAddresses", &Fields::m_usesLocalAddresses);
constexpr Binding kSplitMessagePackets =
    BindChild(u"qav:SplitMessagePackets", &Fields::m_splitMessagePackets);
constexpr Binding kHasRecordableStorage =
    BindChild(u"qav:HasRecordableStorage", &Fields::m_hasRecordableStorage);
constexpr Binding kHasDownloadsFolder =
    BindChild(u"qav:HasDownloadsFolder", &Fields::m_hasDownloadsFolder);
constexpr Binding kDataSize = BindSpecial<Fields>(Special::kDataSize);
constexpr Binding kNetworkAppAddresses = BindSpecial<Fields>(Special::kNetworkAppAddresses);
constexpr Binding kDeviceFeatures = BindSpecial<Fields>(Special::kDeviceFeatures);
constexpr Binding kRecordings = BindSpecial<Fields>(Special::kRecordings);

constexpr size_t kMaxBodyLength = 12;
using Body = BindingList<Fields, kMaxBodyLength>;

// The body of each type after "qav:Type", in wire order.
constexpr auto kBodyByType = [] {
    BindingsByType<Fields, 28, kMaxBodyLength> byType;
    byType.Set({3}, {&kPortNumber});
    byType.Set({4}, {&kHasRecordableStorage, &kHasDownloadsFolder});
    byType.Set({5}, {&kApplicationName, &kProductName, &kVersion, &kTransportProtocol, &kTime,
                     &kApplicationType, &kPlatform, &kVersionNumber, &kCanUpgradeSoftware,
                     &kUsesLocalAddresses, &kSplitMessagePackets, &kDisconnectionTime});
    byType.Set({6}, {&kConnectionToken});
    byType.Set({8, 20}, {&kDataSize});
    byType.Set({10}, {&kDirectory, &kFileName, &kSize});
    byType.Set({11},
               {&kDirectory, &kFileName, &kOffset, &kSize, &kReceiveToken, &kFileTransferCategory});
    byType.Set({12}, {&kDirectory, &kFileName, &kReceiveToken});
    byType.Set({13}, {&kDeviceId, &kDeviceAccessLevel});
    byType.Set({14}, {&kAddress});
    byType.Set({16}, {&kNetworkAppAddresses});
    byType.Set({17}, {&kNetworkAppAddresses, &kIndex});
    byType.Set({18}, {&kEnable});
    byType.Set({19}, {&kDeviceId, &kDeviceFeatures});
    byType.Set({21}, {&kRecordings});
    byType.Set({22}, {&kReceiveToken, &kAddress, &kFileName, &kDataSize, &kDeviceId});
    byType.Set({23}, {&kReceiveToken, &kAddress, &kResult});
    byType.Set({24}, {&kError});
    byType.Set({25}, {&kName});
    byType.Set({26}, {&kDeviceId, &kName});
    byType.Set({27}, {&kDeviceId, &kAddress});
    return byType;  // 1, 2, 7, 9 and 15 carry nothing more
}();

void SyncNetworkAppAddress(XmlElement element, uint32_t direction, NetworkAppAddress& item) {
    SyncTextAttribute(element, u"qav:Address", kQavNamespaceUri, direction, item.m_address);
    SyncBounded(direction, item.m_portNumber, 0, kPortMax, [&](int32_t& port) {
        return SyncIntAttribute(element, u"qav:PortNumber", kQavNamespaceUri, direction, port);
    });
}

// A fresh item is 0 ("Undefined"), which is what an unknown text reads as; a value without
// a text writes the item without its attribute.
void SyncDeviceFeature(XmlElement element, uint32_t direction, int32_t& feature) {
    SyncEnumAttribute(element, u"qav:Name", kQavNamespaceUri, kDeviceFeatureTable, direction,
                      feature);
}

// The bindings of one message in one direction.
void SyncBody(const Body& body, MaintenanceMessage& record, XmlElement element,
              uint32_t direction) {
    const auto wrapper = [&](const WChar* name) {
        return element.FindOrCreateChild(name, kQavNamespaceUri, direction != kSyncRead);
    };
    SyncBindings(body, record, element, direction, [&](const Binding& binding) {
        switch (static_cast<Special>(binding.special)) {
            case Special::kDataSize:
                SyncAttachmentLength(element, u"qav:DataSize", false, direction, record.m_dataSize,
                                     record.m_payload);
                break;
            case Special::kNetworkAppAddresses:
                SyncList(wrapper(u"qav:NetworkAppAddresses"), u"qav:NetworkAppAddress",
                         kQavNamespaceUri, direction, record.m_networkAppAddresses,
                         SyncNetworkAppAddress);
                break;
            case Special::kDeviceFeatures:
                SyncList(wrapper(u"qav:DeviceFeatures"), u"qav:DeviceFeature", kQavNamespaceUri,
                         direction, record.m_deviceFeatures, SyncDeviceFeature);
                break;
            case Special::kRecordings:
                RecordingsList::Sync(record.m_recordings, element, direction);
                break;
        }
    });
}

}  // namespace

void Serialize(MaintenanceMessage& record, XmlElement element, uint32_t direction) {
    if (direction == kSyncRead) {
        DropAttachment(record.m_dataSize, record.m_payload);
    }
    SyncEnumAttribute(element, u"qav:Type", kQavNamespaceUri, kMaintenanceMessageTypeTable,
                      direction, record.m_type);
    // Read, the type just read picks the body; a type outside the table has none.
    if (const Body* body = kBodyByType.Find(record.m_type)) {
        SyncBody(*body, record, element, direction);
    }
}

}  // namespace qav
