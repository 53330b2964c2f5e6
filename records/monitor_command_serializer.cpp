#include "core/xml_fields.h"
#include "records/access_level_table.h"
#include "records/capture_device_command_tables.h"
#include "records/monitor_command.h"
#include "records/record_fields.h"
#include "records/type_bindings.h"

namespace qav {
namespace {

using Fields = MonitorCommandFields;

// What only the monitor command binds.
enum class Special : uint8_t {
    kDataSize,         // the attachment's length as the child "qav:DataSize"
    kPacketSize,       // the attachment's length as the attribute "qav:Size"
    kMediaFiles,       // the MediaFiles list in the wrapper `name`
    kRouteStatistics,  // the RouteStatistics list in the wrapper `name`
    kAudioFormat,      // "qav:AudioChannel"
    kVideoFormat,      // "qav:VideoChannel"
};

using Binding = TypeBinding<Fields>;

constexpr Binding kMonitorId = BindChild(u"qav:MonitorID", &Fields::m_monitorId);
constexpr Binding kDeviceId = BindChild(u"qav:DeviceID", &Fields::m_deviceId);
constexpr Binding kText = BindAttribute(u"qav:Text", &Fields::m_text);
constexpr Binding kMonitorsChain = BindChild(u"qav:MonitorsChain", &Fields::m_monitorsChain);
constexpr Binding kMediaType = BindEnum(u"qav:MediaType", kChannelTypeTable, &Fields::m_mediaType);
constexpr Binding kIndex = BindChild(u"qav:Index", &Fields::m_index);
constexpr Binding kPlaybackIndex = BindChild(u"qav:PlaybackIndex", &Fields::m_index);
constexpr Binding kDataSize = BindSpecial<Fields>(Special::kDataSize, u"qav:DataSize");
constexpr Binding kPacketSize = BindSpecial<Fields>(Special::kPacketSize, u"qav:Size");
constexpr Binding kDirectory = BindChild(u"qav:Directory", &Fields::m_directory);
constexpr Binding kFreeSpace = BindChild(u"qav:FreeSpaceMBytes", &Fields::m_freeSpaceMBytes);
constexpr Binding kReceiveToken = BindChild(u"qav:ReceiveToken", &Fields::m_receiveToken);
constexpr Binding kStorageHostType =
    BindEnum(u"qav:StorageHostType", kStorageHostTypeTable, &Fields::m_storageHostType);
constexpr Binding kStorageSource =
    BindEnum(u"qav:StorageSource", kFileTransferCategoryTable, &Fields::m_storageSource);
constexpr Binding kMediaFiles = BindSpecial<Fields>(Special::kMediaFiles, u"qav:MediaFilesList");
constexpr Binding kName = BindChild(u"qav:Name", &Fields::m_name);
constexpr Binding kSize = BindChild(u"qav:Size", &Fields::m_size);
constexpr Binding kExtension = BindChild(u"qav:MediaFileExtension", &Fields::m_mediaFileExtension);
constexpr Binding kStartingTime = BindChild(u"qav:StartingTime", &Fields::m_startingTime);
constexpr Binding kTime = BindChild(u"qav:Time", &Fields::m_startingTime);
constexpr Binding kEndingTime = BindChild(u"qav:EndingTime", &Fields::m_endingTime);
constexpr Binding kNumberOfSeconds = BindChild(u"qav:NumberOfSeconds", &Fields::m_numberOfSeconds);
constexpr Binding kAudioFormat = BindSpecial<Fields>(Special::kAudioFormat, u"qav:AudioChannel");
constexpr Binding kVideoFormat = BindSpecial<Fields>(Special::kVideoFormat, u"qav:VideoChannel");
constexpr Binding kAccessLevel =
    BindEnum(u"qav:DeviceAccessLevel", kDeviceAccessLevelTable, &Fields::m_deviceAccessLevel);
constexpr Binding kControl = BindChild(u"qav:Control", &Fields::m_control);
constexpr Binding kValueText = BindChild(u"qav:Value", &Fields::m_valueText);
constexpr Binding kValue = BindChild(u"qav:Value", &Fields::m_value);
constexpr Binding kDestination = BindEnum(
    u"qav:MediaStreamDestination", kMediaStreamDestinationTable, &Fields::m_mediaStreamDestination);
constexpr Binding kBitrate = BindChild(u"qav:Bitrate", &Fields::m_bitrate);
constexpr Binding kFrameRate = BindChild(u"qav:FrameRate", &Fields::m_frameRate);
constexpr Binding kDefaultValue = BindChild(u"qav:DefaultValue", &Fields::m_defaultValue);
constexpr Binding kEnable = BindChild(u"qav:Enable", &Fields::m_enable);
constexpr Binding kNtpTime = BindAttribute(u"qav:NTPTime", &Fields::m_ntpTime);
constexpr Binding kTimestamp = BindAttribute(u"qav:Timestamp", &Fields::m_timestamp);
constexpr Binding kSourceDeviceId = BindChild(u"qav:SourceDeviceID", &Fields::m_sourceDeviceId);
constexpr Binding kFunctionalState =
    BindEnum(u"qav:FunctionalState", kFunctionalStateTable, &Fields::m_functionalState);
constexpr Binding kRouteStatistics =
    BindSpecial<Fields>(Special::kRouteStatistics, u"qav:RouteStatistics");

constexpr size_t kMaxBodyLength = 15;
using Body = BindingList<Fields, kMaxBodyLength>;

// The body of each type after "qav:Type", in wire order.
constexpr auto kBodyByType = [] {
    BindingsByType<Fields, 36, kMaxBodyLength> byType;
    byType.Set({1}, {&kMonitorId});
    byType.Set({2}, {&kDeviceId});
    byType.Set({3}, {&kDeviceId, &kText});
    byType.Set({4}, {&kMonitorsChain, &kText});
    byType.Set({5, 6}, {&kDeviceId, &kMediaType, &kIndex, &kDataSize});
    byType.Set({7}, {&kPacketSize});
    byType.Set({8}, {&kDeviceId, &kMonitorsChain, &kDirectory, &kFreeSpace, &kReceiveToken,
                     &kStorageHostType, &kStorageSource, &kMediaFiles});
    byType.Set({9}, {&kDeviceId, &kMonitorsChain, &kPlaybackIndex, &kDirectory, &kName, &kSize,
                     &kExtension, &kDataSize, &kStartingTime, &kEndingTime, &kNumberOfSeconds,
                     &kStorageHostType, &kStorageSource, &kAudioFormat, &kVideoFormat});
    byType.Set({12}, {&kDeviceId, &kAccessLevel});
    byType.Set({13}, {&kDeviceId, &kMonitorsChain, &kIndex, &kDataSize});
    byType.Set({14}, {&kDeviceId, &kMediaType, &kIndex, &kControl, &kValueText});
    byType.Set({15}, {&kDeviceId, &kMediaType, &kIndex, &kDestination, &kBitrate, &kFrameRate});
    byType.Set({16}, {&kDeviceId, &kMonitorsChain, &kReceiveToken, &kText, &kDataSize});
    byType.Set({17}, {&kDeviceId, &kName, &kIndex, &kValue, &kDefaultValue});
    byType.Set({18, 21}, {&kDeviceId, &kName, &kIndex, &kValue});
    byType.Set({19, 20, 22}, {&kDeviceId, &kName, &kIndex});
    byType.Set({23}, {&kDeviceId, &kMonitorsChain, &kEnable});
    byType.Set({24}, {&kDeviceId, &kNtpTime, &kTimestamp});
    byType.Set({25}, {&kDeviceId, &kMediaType, &kDestination, &kIndex, &kControl, &kValueText});
    byType.Set({26}, {&kMonitorsChain, &kStorageHostType, &kStorageSource, &kDeviceId, &kIndex,
                      &kTime, &kDirectory, &kName, &kExtension});
    byType.Set({27}, {&kMonitorsChain, &kStorageHostType, &kStorageSource, &kDeviceId, &kIndex});
    byType.Set({28}, {&kMonitorsChain, &kStorageHostType, &kStorageSource, &kDeviceId, &kIndex,
                      &kStartingTime, &kNumberOfSeconds, &kSourceDeviceId});
    byType.Set({29}, {&kDeviceId, &kDataSize});
    byType.Set({30}, {&kMonitorsChain, &kValueText});
    byType.Set({31}, {&kDeviceId, &kSize, &kFunctionalState});
    byType.Set({32}, {&kDeviceId, &kRouteStatistics});
    byType.Set({33, 34}, {&kDeviceId, &kIndex, &kMonitorsChain, &kReceiveToken});
    byType.Set({35}, {&kDeviceId, &kIndex, &kMonitorsChain, &kReceiveToken, &kDataSize});
    return byType;  // 10 and 11 carry nothing more
}();

// The format writes itself as a new element; an old one is removed first, or a reader,
// which takes the first, would get the format this element held before.
template <typename Format>
void SyncFormat(XmlElement element, const WChar* name, uint32_t direction, Format& format) {
    if (direction != kSyncRead) {
        element.RemoveChildren(name);
        format.WriteXml(element);
    } else {
        format.ReadXml(element);
    }
}

// The bindings of one command in one direction.
void SyncBody(const Body& body, MonitorCommand& record, XmlElement element, uint32_t direction) {
    const auto wrapper = [&](const WChar* name) {
        return element.FindOrCreateChild(name, kQavNamespaceUri, direction != kSyncRead);
    };
    SyncBindings(body, record, element, direction, [&](const Binding& binding) {
        const Special special = static_cast<Special>(binding.special);
        switch (special) {
            case Special::kDataSize:
            case Special::kPacketSize:
                SyncAttachmentLength(element, binding.name, special == Special::kPacketSize,
                                     direction, record.m_dataSize, record.m_payload);
                break;
            case Special::kMediaFiles:
                SyncList(wrapper(binding.name), u"qav:MediaFile", kQavNamespaceUri, direction,
                         record.m_mediaFiles);
                break;
            case Special::kRouteStatistics:
                SyncList(wrapper(binding.name), u"qav:Entry", kQavNamespaceUri, direction,
                         record.m_routeStatistics);
                break;
            case Special::kAudioFormat:
                SyncFormat(element, binding.name, direction, record.m_audioFormat);
                break;
            case Special::kVideoFormat:
                SyncFormat(element, binding.name, direction, record.m_videoFormat);
                break;
        }
    });
}

}  // namespace

void Serialize(MonitorCommand& record, XmlElement element, uint32_t direction) {
    if (direction == kSyncRead) {
        DropAttachment(record.m_dataSize, record.m_payload);
    }
    SyncEnumAttribute(element, u"qav:Type", kQavNamespaceUri, kMonitorCommandTypeTable, direction,
                      record.m_type);
    // Read, the type just read picks the body; a type outside the table has none.
    if (const Body* body = kBodyByType.Find(record.m_type)) {
        SyncBody(*body, record, element, direction);
    }
}

}  // namespace qav
