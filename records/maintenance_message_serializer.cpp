#include <algorithm>
#include <array>
#include <initializer_list>
#include <limits>
#include <type_traits>
#include <variant>

#include "core/xml_fields.h"
#include "records/access_level_table.h"
#include "records/capture_device_command_tables.h"
#include "records/maintenance_message.h"
#include "records/record_fields.h"
#include "records/transport_protocol.h"

namespace qav {
namespace {

using Fields = MaintenanceMessageFields;

constexpr int32_t kIntMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kIntMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kPortMax = 65535;

enum class Kind : uint8_t {
    kChild,                // the member as a child's text: decimal, "True"/"False" or text
    kEnum,                 // the member's text in `table` as a child's text
    kDataSize,             // the attachment's length
    kNetworkAppAddresses,  // the addresses list in its wrapper
    kDeviceFeatures,       // the features list in its wrapper
    kRecordings,           // the recordings list
};

using Member = std::variant<std::monostate, int32_t Fields::*, bool Fields::*, WString Fields::*>;

// One element of a message's body. A decimal read outside [minimum, maximum] is refused.
struct Binding {
    Kind kind;
    const WChar* name;
    Member member;
    EnumTextTable table;
    int32_t minimum;
    int32_t maximum;
};

constexpr Binding Child(const WChar* name, Member member, int32_t minimum = kIntMin,
                        int32_t maximum = kIntMax) {
    return {Kind::kChild, name, member, {}, minimum, maximum};
}
constexpr Binding Enum(const WChar* name, EnumTextTable table, int32_t Fields::*member) {
    return {Kind::kEnum, name, member, table, kIntMin, kIntMax};
}
constexpr Binding Special(Kind kind) {
    return {kind, nullptr, {}, {}, kIntMin, kIntMax};
}

constexpr Binding kApplicationName = Child(u"qav:ApplicationName", &Fields::m_applicationName);
constexpr Binding kProductName = Child(u"qav:ProductName", &Fields::m_productName);
constexpr Binding kVersion = Child(u"qav:Version", &Fields::m_version);
constexpr Binding kTime = Child(u"qav:Time", &Fields::m_time);
constexpr Binding kDirectory = Child(u"qav:Directory", &Fields::m_directory);
constexpr Binding kFileName = Child(u"qav:FileName", &Fields::m_fileName);
constexpr Binding kAddress = Child(u"qav:Address", &Fields::m_address);
constexpr Binding kError = Child(u"qav:Error", &Fields::m_error);
constexpr Binding kName = Child(u"qav:Name", &Fields::m_name);
constexpr Binding kDeviceId = Child(u"qav:DeviceID", &Fields::m_deviceId);
constexpr Binding kPortNumber = Child(u"qav:PortNumber", &Fields::m_portNumber, 0, kPortMax);
constexpr Binding kConnectionToken = Child(u"qav:ConnectionToken", &Fields::m_connectionToken);
constexpr Binding kSize = Child(u"qav:Size", &Fields::m_size, 0);
constexpr Binding kOffset = Child(u"qav:Offset", &Fields::m_offset, 0);
constexpr Binding kReceiveToken = Child(u"qav:ReceiveToken", &Fields::m_receiveToken);
constexpr Binding kVersionNumber = Child(u"qav:VersionNumber", &Fields::m_versionNumber);
constexpr Binding kIndex = Child(u"qav:Index", &Fields::m_index);
constexpr Binding kResult = Child(u"qav:Result", &Fields::m_result);
constexpr Binding kDisconnectionTime =
    Child(u"qav:DisconnectionTime", &Fields::m_disconnectionTime);
constexpr Binding kTransportProtocol =
    Enum(u"qav:TransportProtocol", kTransportProtocolTable, &Fields::m_transportProtocol);
constexpr Binding kDeviceAccessLevel =
    Enum(u"qav:DeviceAccessLevel", kDeviceAccessLevelTable, &Fields::m_deviceAccessLevel);
constexpr Binding kApplicationType =
    Enum(u"qav:ApplicationType", kApplicationTypeTable, &Fields::m_applicationType);
constexpr Binding kPlatform = Enum(u"qav:Platform", kPlatformTable, &Fields::m_platform);
constexpr Binding kFileTransferCategory =
    Enum(u"qav:FileTransferCategory", kFileTransferCategoryTable, &Fields::m_fileTransferCategory);
constexpr Binding kEnable = Child(u"qav:Enable", &Fields::m_enable);
constexpr Binding kCanUpgradeSoftware =
    Child(u"qav:CanUpgradeSoftware", &Fields::m_canUpgradeSoftware);
constexpr Binding kUsesLocalAddresses =
    Child(u"qav:UsesLocalAddresses", &Fields::m_usesLocalAddresses);
constexpr Binding kSplitMessagePackets =
    Child(u"qav:SplitMessagePackets", &Fields::m_splitMessagePackets);
constexpr Binding kHasRecordableStorage =
    Child(u"qav:HasRecordableStorage", &Fields::m_hasRecordableStorage);
constexpr Binding kHasDownloadsFolder =
    Child(u"qav:HasDownloadsFolder", &Fields::m_hasDownloadsFolder);
constexpr Binding kDataSize = Special(Kind::kDataSize);
constexpr Binding kNetworkAppAddresses = Special(Kind::kNetworkAppAddresses);
constexpr Binding kDeviceFeatures = Special(Kind::kDeviceFeatures);
constexpr Binding kRecordings = Special(Kind::kRecordings);

constexpr size_t kMaxBodyLength = 12;
using Body = std::array<const Binding*, kMaxBodyLength>;  // ends at the first null

// The body of each type after "qav:Type", in wire order.
constexpr auto kBodyByType = [] {
    std::array<Body, 28> byType{};
    const auto set = [&byType](std::initializer_list<int> types,
                               std::initializer_list<const Binding*> body) {
        for (const int type : types) {
            std::copy(body.begin(), body.end(), byType[static_cast<size_t>(type)].begin());
        }
    };
    set({3}, {&kPortNumber});
    set({4}, {&kHasRecordableStorage, &kHasDownloadsFolder});
    set({5}, {&kApplicationName, &kProductName, &kVersion, &kTransportProtocol, &kTime,
              &kApplicationType, &kPlatform, &kVersionNumber, &kCanUpgradeSoftware,
              &kUsesLocalAddresses, &kSplitMessagePackets, &kDisconnectionTime});
    set({6}, {&kConnectionToken});
    set({8, 20}, {&kDataSize});
    set({10}, {&kDirectory, &kFileName, &kSize});
    set({11}, {&kDirectory, &kFileName, &kOffset, &kSize, &kReceiveToken, &kFileTransferCategory});
    set({12}, {&kDirectory, &kFileName, &kReceiveToken});
    set({13}, {&kDeviceId, &kDeviceAccessLevel});
    set({14}, {&kAddress});
    set({16}, {&kNetworkAppAddresses});
    set({17}, {&kNetworkAppAddresses, &kIndex});
    set({18}, {&kEnable});
    set({19}, {&kDeviceId, &kDeviceFeatures});
    set({21}, {&kRecordings});
    set({22}, {&kReceiveToken, &kAddress, &kFileName, &kDataSize, &kDeviceId});
    set({23}, {&kReceiveToken, &kAddress, &kResult});
    set({24}, {&kError});
    set({25}, {&kName});
    set({26}, {&kDeviceId, &kName});
    set({27}, {&kDeviceId, &kAddress});
    return byType;  // 1, 2, 7, 9 and 15 carry nothing more
}();

// Read, `sync` fills a copy, and only a value within [minimum, maximum] replaces the field.
template <typename SyncValue>
void SyncBounded(uint32_t direction, int32_t& field, int32_t minimum, int32_t maximum,
                 SyncValue sync) {
    if (direction != kSyncRead) {
        sync(field);
        return;
    }
    int32_t value = field;
    if (sync(value) && value >= minimum && value <= maximum) {
        field = value;
    }
}

void SyncNetworkAppAddress(NetworkAppAddress& item, XmlElement element, uint32_t direction) {
    SyncTextAttribute(element, u"qav:Address", kQavNamespaceUri, direction, item.m_address);
    SyncBounded(direction, item.m_portNumber, 0, kPortMax, [&](int32_t& port) {
        return SyncIntAttribute(element, u"qav:PortNumber", kQavNamespaceUri, direction, port);
    });
}

// A fresh item is 0 ("Undefined"), which is what an unknown text reads as; a value without
// a text writes the item without its attribute.
void SyncDeviceFeature(int32_t& feature, XmlElement element, uint32_t direction) {
    SyncEnumAttribute(element, u"qav:Name", kQavNamespaceUri, kDeviceFeatureTable, direction,
                      feature);
}

// The bindings of one message in one direction.
class MessageBinder {
  public:
    MessageBinder(MaintenanceMessage& record, XmlElement element, uint32_t direction)
        : m_record(record), m_element(element), m_direction(direction) {}

    void SyncBody(const Body& body) {
        for (const Binding* binding : body) {
            if (binding == nullptr) {
                break;
            }
            Sync(*binding);
        }
    }

  private:
    void Sync(const Binding& binding);
    void SyncChild(const Binding& binding, int32_t& field) {
        SyncBounded(m_direction, field, binding.minimum, binding.maximum, [&](int32_t& value) {
            return SyncIntField(m_element, binding.name, kQavNamespaceUri, m_direction, value);
        });
    }
    void SyncChild(const Binding& binding, bool& field) {
        SyncBoolField(m_element, binding.name, m_direction, field);
    }
    void SyncChild(const Binding& binding, WString& field) {
        SyncStringField(m_element, binding.name, m_direction, field);
    }
    XmlElement Wrapper(const WChar* name) {
        return m_element.FindOrCreateChild(name, kQavNamespaceUri, m_direction != kSyncRead);
    }

    MaintenanceMessage& m_record;
    XmlElement m_element;
    uint32_t m_direction;
};

void MessageBinder::Sync(const Binding& binding) {
    Fields& fields = m_record;
    switch (binding.kind) {
        case Kind::kChild:
            std::visit(
                [&](auto member) {
                    if constexpr (!std::is_same_v<decltype(member), std::monostate>) {
                        SyncChild(binding, fields.*member);
                    }
                },
                binding.member);
            break;
        case Kind::kEnum:
            SyncEnumField(m_element, binding.name, kQavNamespaceUri, binding.table, m_direction,
                          fields.*std::get<int32_t Fields::*>(binding.member));
            break;
        case Kind::kDataSize: {
            // A negative length would reach the connection as one of about 4 GiB.
            int32_t dataSize = std::max(m_record.m_dataSize, 0);
            SyncBounded(m_direction, dataSize, 0, kIntMax, [&](int32_t& value) {
                return SyncIntField(m_element, u"qav:DataSize", kQavNamespaceUri, m_direction,
                                    value);
            });
            if (m_direction == kSyncRead) {
                m_record.m_dataSize = dataSize;
            }
            break;
        }
        case Kind::kNetworkAppAddresses:
            SyncRecordList(u"qav:NetworkAppAddress", kQavNamespaceUri,
                           Wrapper(u"qav:NetworkAppAddresses"), m_direction,
                           m_record.m_networkAppAddresses, SyncNetworkAppAddress);
            break;
        case Kind::kDeviceFeatures:
            SyncRecordList(u"qav:DeviceFeature", kQavNamespaceUri, Wrapper(u"qav:DeviceFeatures"),
                           m_direction, m_record.m_deviceFeatures, SyncDeviceFeature);
            break;
        case Kind::kRecordings:
            RecordingsList::Sync(m_record.m_recordings, m_element, m_direction);
            break;
    }
}

}  // namespace

void Serialize(MaintenanceMessage& record, XmlElement element, uint32_t direction) {
    if (direction == kSyncRead) {
        // The bytes and length of an earlier message never belong to the one read now.
        record.m_payload = nullptr;
        record.m_dataSize = 0;
    }
    SyncEnumAttribute(element, u"qav:Type", kQavNamespaceUri, kMaintenanceMessageTypeTable,
                      direction, record.m_type);
    // Read, the type just read picks the body; a type outside the table has none.
    if (record.m_type > 0 && static_cast<size_t>(record.m_type) < kBodyByType.size()) {
        MessageBinder(record, element, direction)
            .SyncBody(kBodyByType[static_cast<size_t>(record.m_type)]);
    }
}

}  // namespace qav
