#include <algorithm>
#include <array>
#include <initializer_list>
#include <type_traits>
#include <variant>

#include "core/xml_fields.h"
#include "records/access_level_table.h"
#include "records/capture_device_command_tables.h"
#include "records/monitor_command.h"
#include "records/record_fields.h"

namespace qav {
namespace {

using Fields = MonitorCommandFields;

enum class Kind : uint8_t {
    kChild,            // the member as a child's text: decimal, "True"/"False" or text
    kAttribute,        // the member as an attribute of the command's own element
    kEnum,             // the member's text in `table` as a child's text
    kDataSize,         // the attachment's length as the child "qav:DataSize"
    kPacketSize,       // the attachment's length as the attribute "qav:Size"
    kMediaFiles,       // the MediaFiles list in the wrapper `name`
    kRouteStatistics,  // the RouteStatistics list in the wrapper `name`
    kAudioFormat,      // "qav:AudioChannel"
    kVideoFormat,      // "qav:VideoChannel"
};

using Member = std::variant<std::monostate, int32_t Fields::*, bool Fields::*, WString Fields::*,
                            int64_t Fields::*>;

// One element or attribute of a command's body. The wire reuses a few names for different
// fields ("qav:Value" is an int or a text, "qav:Size" a length or a size), so a binding
// names both.
struct Binding {
    Kind kind;
    const WChar* name;
    Member member;
    EnumTextTable table;
};

constexpr Binding Child(const WChar* name, Member member) {
    return {Kind::kChild, name, member, {}};
}
constexpr Binding Attribute(const WChar* name, Member member) {
    return {Kind::kAttribute, name, member, {}};
}
constexpr Binding Enum(const WChar* name, EnumTextTable table, int32_t Fields::*member) {
    return {Kind::kEnum, name, member, table};
}

constexpr Binding kMonitorId = Child(u"qav:MonitorID", &Fields::m_monitorId);
constexpr Binding kDeviceId = Child(u"qav:DeviceID", &Fields::m_deviceId);
constexpr Binding kText = Attribute(u"qav:Text", &Fields::m_text);
constexpr Binding kMonitorsChain = Child(u"qav:MonitorsChain", &Fields::m_monitorsChain);
constexpr Binding kMediaType = Enum(u"qav:MediaType", kChannelTypeTable, &Fields::m_mediaType);
constexpr Binding kIndex = Child(u"qav:Index", &Fields::m_index);
constexpr Binding kPlaybackIndex = Child(u"qav:PlaybackIndex", &Fields::m_index);
constexpr Binding kDataSize = {Kind::kDataSize, u"qav:DataSize", {}, {}};
constexpr Binding kPacketSize = {Kind::kPacketSize, u"qav:Size", {}, {}};
constexpr Binding kDirectory = Child(u"qav:Directory", &Fields::m_directory);
constexpr Binding kFreeSpace = Child(u"qav:FreeSpaceMBytes", &Fields::m_freeSpaceMBytes);
constexpr Binding kReceiveToken = Child(u"qav:ReceiveToken", &Fields::m_receiveToken);
constexpr Binding kStorageHostType =
    Enum(u"qav:StorageHostType", kStorageHostTypeTable, &Fields::m_storageHostType);
constexpr Binding kStorageSource =
    Enum(u"qav:StorageSource", kFileTransferCategoryTable, &Fields::m_storageSource);
constexpr Binding kMediaFiles = {Kind::kMediaFiles, u"qav:MediaFilesList", {}, {}};
constexpr Binding kName = Child(u"qav:Name", &Fields::m_name);
constexpr Binding kSize = Child(u"qav:Size", &Fields::m_size);
constexpr Binding kExtension = Child(u"qav:MediaFileExtension", &Fields::m_mediaFileExtension);
constexpr Binding kStartingTime = Child(u"qav:StartingTime", &Fields::m_startingTime);
constexpr Binding kTime = Child(u"qav:Time", &Fields::m_startingTime);
constexpr Binding kEndingTime = Child(u"qav:EndingTime", &Fields::m_endingTime);
constexpr Binding kNumberOfSeconds = Child(u"qav:NumberOfSeconds", &Fields::m_numberOfSeconds);
constexpr Binding kAudioFormat = {Kind::kAudioFormat, u"qav:AudioChannel", {}, {}};
constexpr Binding kVideoFormat = {Kind::kVideoFormat, u"qav:VideoChannel", {}, {}};
constexpr Binding kAccessLevel =
    Enum(u"qav:DeviceAccessLevel", kDeviceAccessLevelTable, &Fields::m_deviceAccessLevel);
constexpr Binding kControl = Child(u"qav:Control", &Fields::m_control);
constexpr Binding kValueText = Child(u"qav:Value", &Fields::m_valueText);
constexpr Binding kValue = Child(u"qav:Value", &Fields::m_value);
constexpr Binding kDestination = Enum(u"qav:MediaStreamDestination", kMediaStreamDestinationTable,
                                      &Fields::m_mediaStreamDestination);
constexpr Binding kBitrate = Child(u"qav:Bitrate", &Fields::m_bitrate);
constexpr Binding kFrameRate = Child(u"qav:FrameRate", &Fields::m_frameRate);
constexpr Binding kDefaultValue = Child(u"qav:DefaultValue", &Fields::m_defaultValue);
constexpr Binding kEnable = Child(u"qav:Enable", &Fields::m_enable);
constexpr Binding kNtpTime = Attribute(u"qav:NTPTime", &Fields::m_ntpTime);
constexpr Binding kTimestamp = Attribute(u"qav:Timestamp", &Fields::m_timestamp);
constexpr Binding kSourceDeviceId = Child(u"qav:SourceDeviceID", &Fields::m_sourceDeviceId);
constexpr Binding kFunctionalState =
    Enum(u"qav:FunctionalState", kFunctionalStateTable, &Fields::m_functionalState);
constexpr Binding kRouteStatistics = {Kind::kRouteStatistics, u"qav:RouteStatistics", {}, {}};

constexpr size_t kMaxBodyLength = 15;
using Body = std::array<const Binding*, kMaxBodyLength>;  // ends at the first null

// The body of each type after "qav:Type", in wire order.
constexpr auto kBodyByType = [] {
    std::array<Body, 36> byType{};
    const auto set = [&byType](std::initializer_list<int> types,
                               std::initializer_list<const Binding*> body) {
        for (const int type : types) {
            std::copy(body.begin(), body.end(), byType[static_cast<size_t>(type)].begin());
        }
    };
    set({1}, {&kMonitorId});
    set({2}, {&kDeviceId});
    set({3}, {&kDeviceId, &kText});
    set({4}, {&kMonitorsChain, &kText});
    set({5, 6}, {&kDeviceId, &kMediaType, &kIndex, &kDataSize});
    set({7}, {&kPacketSize});
    set({8}, {&kDeviceId, &kMonitorsChain, &kDirectory, &kFreeSpace, &kReceiveToken,
              &kStorageHostType, &kStorageSource, &kMediaFiles});
    set({9}, {&kDeviceId, &kMonitorsChain, &kPlaybackIndex, &kDirectory, &kName, &kSize,
              &kExtension, &kDataSize, &kStartingTime, &kEndingTime, &kNumberOfSeconds,
              &kStorageHostType, &kStorageSource, &kAudioFormat, &kVideoFormat});
    set({12}, {&kDeviceId, &kAccessLevel});
    set({13}, {&kDeviceId, &kMonitorsChain, &kIndex, &kDataSize});
    set({14}, {&kDeviceId, &kMediaType, &kIndex, &kControl, &kValueText});
    set({15}, {&kDeviceId, &kMediaType, &kIndex, &kDestination, &kBitrate, &kFrameRate});
    set({16}, {&kDeviceId, &kMonitorsChain, &kReceiveToken, &kText, &kDataSize});
    set({17}, {&kDeviceId, &kName, &kIndex, &kValue, &kDefaultValue});
    set({18, 21}, {&kDeviceId, &kName, &kIndex, &kValue});
    set({19, 20, 22}, {&kDeviceId, &kName, &kIndex});
    set({23}, {&kDeviceId, &kMonitorsChain, &kEnable});
    set({24}, {&kDeviceId, &kNtpTime, &kTimestamp});
    set({25}, {&kDeviceId, &kMediaType, &kDestination, &kIndex, &kControl, &kValueText});
    set({26}, {&kMonitorsChain, &kStorageHostType, &kStorageSource, &kDeviceId, &kIndex, &kTime,
               &kDirectory, &kName, &kExtension});
    set({27}, {&kMonitorsChain, &kStorageHostType, &kStorageSource, &kDeviceId, &kIndex});
    set({28}, {&kMonitorsChain, &kStorageHostType, &kStorageSource, &kDeviceId, &kIndex,
               &kStartingTime, &kNumberOfSeconds, &kSourceDeviceId});
    set({29}, {&kDeviceId, &kDataSize});
    set({30}, {&kMonitorsChain, &kValueText});
    set({31}, {&kDeviceId, &kSize, &kFunctionalState});
    set({32}, {&kDeviceId, &kRouteStatistics});
    set({33, 34}, {&kDeviceId, &kIndex, &kMonitorsChain, &kReceiveToken});
    set({35}, {&kDeviceId, &kIndex, &kMonitorsChain, &kReceiveToken, &kDataSize});
    return byType;  // 10 and 11 carry nothing more
}();

bool SyncInt64Attribute(XmlElement element, WStringView name, uint32_t direction, int64_t& field) {
    if (direction != kSyncRead) {
        element.SetAttributeInt64(name, kQavNamespaceUri, field);
        return element.IsValid();
    }
    return element.GetAttributeInt64(name, field);
}

// The bindings of one command in one direction.
class CommandBinder {
  public:
    CommandBinder(MonitorCommand& record, XmlElement element, uint32_t direction)
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
    void SyncChild(const WChar* name, int32_t& field) {
        SyncIntField(m_element, name, kQavNamespaceUri, m_direction, field);
    }
    void SyncChild(const WChar* name, bool& field) {
        SyncBoolField(m_element, name, m_direction, field);
    }
    void SyncChild(const WChar* name, WString& field) {
        SyncStringField(m_element, name, m_direction, field);
    }
    void SyncChild(const WChar* name, int64_t& field) {
        SyncInt64Field(m_element, name, kQavNamespaceUri, m_direction, field);
    }
    void SyncAttribute(const WChar* name, int32_t& field) {
        SyncIntAttribute(m_element, name, kQavNamespaceUri, m_direction, field);
    }
    void SyncAttribute(const WChar* name, bool& field) {
        SyncBoolAttribute(m_element, name, kQavNamespaceUri, m_direction, field);
    }
    void SyncAttribute(const WChar* name, WString& field) {
        SyncTextAttribute(m_element, name, kQavNamespaceUri, m_direction, field);
    }
    void SyncAttribute(const WChar* name, int64_t& field) {
        SyncInt64Attribute(m_element, name, m_direction, field);
    }
    void SyncDataSize(const Binding& binding);
    template <typename Format>
    void SyncFormat(const WChar* name, Format& format);
    XmlElement Wrapper(const WChar* name) {
        return m_element.FindOrCreateChild(name, kQavNamespaceUri, m_direction != kSyncRead);
    }

    MonitorCommand& m_record;
    XmlElement m_element;
    uint32_t m_direction;
};

void CommandBinder::Sync(const Binding& binding) {
    Fields& fields = m_record;
    switch (binding.kind) {
        case Kind::kChild:
        case Kind::kAttribute:
            std::visit(
                [&](auto member) {
                    if constexpr (!std::is_same_v<decltype(member), std::monostate>) {
                        if (binding.kind == Kind::kChild) {
                            SyncChild(binding.name, fields.*member);
                        } else {
                            SyncAttribute(binding.name, fields.*member);
                        }
                    }
                },
                binding.member);
            break;
        case Kind::kEnum:
            SyncEnumField(m_element, binding.name, kQavNamespaceUri, binding.table, m_direction,
                          fields.*std::get<int32_t Fields::*>(binding.member));
            break;
        case Kind::kDataSize:
        case Kind::kPacketSize:
            SyncDataSize(binding);
            break;
        case Kind::kMediaFiles:
            SyncRecordList(u"qav:MediaFile", kQavNamespaceUri, Wrapper(binding.name), m_direction,
                           m_record.m_mediaFiles);
            break;
        case Kind::kRouteStatistics:
            SyncRecordList(u"qav:Entry", kQavNamespaceUri, Wrapper(binding.name), m_direction,
                           m_record.m_routeStatistics);
            break;
        case Kind::kAudioFormat:
            SyncFormat(binding.name, m_record.m_audioFormat);
            break;
        case Kind::kVideoFormat:
            SyncFormat(binding.name, m_record.m_videoFormat);
            break;
    }
}

// A negative length would reach the connection as one of about 4 GiB and is refused; a new
// length no longer belongs to the bytes pointed at, which came with an earlier message.
void CommandBinder::SyncDataSize(const Binding& binding) {
    const bool attribute = binding.kind == Kind::kPacketSize;
    if (m_direction != kSyncRead) {
        attribute ? SyncAttribute(binding.name, m_record.m_dataSize)
                  : SyncChild(binding.name, m_record.m_dataSize);
        return;
    }
    int32_t dataSize = -1;
    const bool found =
        attribute ? SyncIntAttribute(m_element, binding.name, kQavNamespaceUri, kSyncRead, dataSize)
                  : SyncIntField(m_element, binding.name, kQavNamespaceUri, kSyncRead, dataSize);
    if (found && dataSize >= 0) {
        m_record.m_dataSize = dataSize;
        m_record.m_payload = nullptr;
    }
}

// The format writes itself as a new element; an old one is removed first, or a reader,
// which takes the first, would get the format this element held before.
template <typename Format>
void CommandBinder::SyncFormat(const WChar* name, Format& format) {
    if (m_direction != kSyncRead) {
        m_element.RemoveChildren(name);
        format.WriteXml(m_element);
    } else {
        format.ReadXml(m_element);
    }
}

}  // namespace

void Serialize(MonitorCommand& record, XmlElement element, uint32_t direction) {
    SyncEnumAttribute(element, u"qav:Type", kQavNamespaceUri, kMonitorCommandTypeTable, direction,
                      record.m_type);
    // Read, the type just read picks the body; a type outside the table has none.
    if (record.m_type > 0 && static_cast<size_t>(record.m_type) < kBodyByType.size()) {
        CommandBinder(record, element, direction)
            .SyncBody(kBodyByType[static_cast<size_t>(record.m_type)]);
    }
}

}  // namespace qav
