#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <type_traits>
#include <variant>

#include "core/xml_fields.h"
#include "records/capture_device_command.h"
#include "records/channel_format.h"
#include "records/record_fields.h"
#include "records/transport_protocol.h"

namespace qav {
namespace {

using Fields = CaptureDeviceCommandFields;

constexpr int32_t kVideo = 1;
constexpr int32_t kAudio = 2;
constexpr int32_t kAudioOut = 7;

enum class Kind : uint8_t {
    kChild,                  // the member as a child's text: decimal, "True"/"False", text or "%g"
    kEnum,                   // the member's text in `table` as a child's text
    kAttribute,              // the member as a decimal attribute of the command's own element
    kIndices,                // the Indices list in the wrapper `name`
    kDataSize,               // the attachment's length
    kChannelKindAttributes,  // the video or the audio attributes, by the media type
};

using Member = std::variant<std::monostate, int32_t Fields::*, bool Fields::*, WString Fields::*,
                            int64_t Fields::*, double Fields::*>;

// One element of a command's body. The wire reuses a few names for different fields
// ("qav:Value" is an int, a text or a double; "qav:Time" an int or a text; "qav:Speed"
// and "qav:Direction" likewise), so a binding names both.
struct Binding {
    Kind kind;
    const WChar* name;
    Member member;
    EnumTextTable table;
    bool onlyWhenEnabled;  // travels only while Enable (as already read) is true
};

constexpr Binding Child(const WChar* name, Member member, bool onlyWhenEnabled = false) {
    return {Kind::kChild, name, member, {}, onlyWhenEnabled};
}
constexpr Binding Enum(const WChar* name, EnumTextTable table, int32_t Fields::*member) {
    return {Kind::kEnum, name, member, table, false};
}
// Only the corners of the motion-detection rectangle travel as attributes, and only while
// the detection is enabled.
constexpr Binding Corner(const WChar* name, int32_t Fields::*member) {
    return {Kind::kAttribute, name, member, {}, true};
}

constexpr Binding kMediaType = Enum(u"qav:MediaType", kChannelTypeTable, &Fields::m_mediaType);
constexpr Binding kIndex = Child(u"qav:Index", &Fields::m_index);
constexpr Binding kDestination = Enum(u"qav:MediaStreamDestination", kMediaStreamDestinationTable,
                                      &Fields::m_mediaStreamDestination);
constexpr Binding kBitrate = Child(u"qav:Bitrate", &Fields::m_bitrate);
constexpr Binding kBaudRate = Child(u"qav:BaudRate", &Fields::m_bitrate);
constexpr Binding kFrameRate = Child(u"qav:FrameRate", &Fields::m_frameRate);
constexpr Binding kWidth = Child(u"qav:Width", &Fields::m_width);
constexpr Binding kHeight = Child(u"qav:Height", &Fields::m_height);
constexpr Binding kName = Child(u"qav:Name", &Fields::m_name);
constexpr Binding kNewName = Child(u"qav:NewName", &Fields::m_newName);
constexpr Binding kDeinterlace = Child(u"qav:Deinterlace", &Fields::m_deinterlace);
constexpr Binding kSampleRate = Child(u"qav:SampleRate", &Fields::m_sampleRate);
constexpr Binding kNumberOfChannels = Child(u"qav:NumberOfChannels", &Fields::m_numberOfChannels);
constexpr Binding kUseSingleEncoder = Child(u"qav:UseSingleEncoder", &Fields::m_useSingleEncoder);
constexpr Binding kDisplayFrameText = Child(u"qav:DisplayFrameText", &Fields::m_displayFrameText);
constexpr Binding kWriteLocation = Child(u"qav:WriteLocation", &Fields::m_writeLocation);
constexpr Binding kDetectMotion = Child(u"qav:DetectMotion", &Fields::m_detectMotion);
constexpr Binding kSyncFrames = Child(u"qav:SyncFrames", &Fields::m_syncFrames);
constexpr Binding kFilterNoise = Child(u"qav:FilterNoise", &Fields::m_filterNoise);
constexpr Binding kEnableParallelInOut =
    Child(u"qav:EnableParallelInOut", &Fields::m_enableParallelInOut);
constexpr Binding kChannelKindAttributes = {Kind::kChannelKindAttributes, nullptr, {}, {}, false};
constexpr Binding kValue = Child(u"qav:Value", &Fields::m_value);
constexpr Binding kValueText = Child(u"qav:Value", &Fields::m_valueText);
constexpr Binding kDoubleValue = Child(u"qav:Value", &Fields::m_doubleValue);
constexpr Binding kRestartPeriod = Child(u"qav:RestartPeriod", &Fields::m_value);
constexpr Binding kMinutes = Child(u"qav:Minutes", &Fields::m_value);
constexpr Binding kMachineRole =
    Enum(u"qav:MachineRole", kMachineRoleTable, &Fields::m_machineRole);
constexpr Binding kVideoChannel = Child(u"qav:VideoChannel", &Fields::m_videoChannel);
constexpr Binding kAudioChannel = Child(u"qav:AudioChannel", &Fields::m_audioChannel);
constexpr Binding kEnable = Child(u"qav:Enable", &Fields::m_enable);
constexpr Binding kAngle = Child(u"qav:Angle", &Fields::m_angle);
constexpr Binding kSpeed = Child(u"qav:Speed", &Fields::m_speed);
constexpr Binding kPlaybackSpeed = Child(u"qav:Speed", &Fields::m_playbackSpeed);
constexpr Binding kTimeInMilliseconds =
    Child(u"qav:TimeInMilliseconds", &Fields::m_timeInMilliseconds);
constexpr Binding kLocationIndex = Child(u"qav:LocationIndex", &Fields::m_locationIndex);
constexpr Binding kZoomDirection =
    Enum(u"qav:Direction", kZoomDirectionTable, &Fields::m_zoomDirection);
constexpr Binding kFocusDirection =
    Enum(u"qav:Direction", kFocusDirectionTable, &Fields::m_focusDirection);
constexpr Binding kIrisDirection =
    Enum(u"qav:Direction", kIrisDirectionTable, &Fields::m_irisDirection);
constexpr Binding kTime = Child(u"qav:Time", &Fields::m_time);
constexpr Binding kTimeText = Child(u"qav:Time", &Fields::m_timeText);
constexpr Binding kNumberOfSeconds = Child(u"qav:NumberOfSeconds", &Fields::m_time);
constexpr Binding kStorageSource =
    Enum(u"qav:StorageSource", kFileTransferCategoryTable, &Fields::m_storageSource);
constexpr Binding kDirectory = Child(u"qav:Directory", &Fields::m_directory);
constexpr Binding kReceiveToken = Child(u"qav:ReceiveToken", &Fields::m_receiveToken);
constexpr Binding kPlaybackType =
    Enum(u"qav:PlaybackType", kPlaybackTypeTable, &Fields::m_playbackType);
constexpr Binding kPosition = Child(u"qav:Position", &Fields::m_position);
constexpr Binding kSize = Child(u"qav:Size", &Fields::m_size);
constexpr Binding kTimestamp = Child(u"qav:Timestamp", &Fields::m_timestamp);
constexpr Binding kSendLocations = Child(u"qav:SendLocations", &Fields::m_sendLocations);
constexpr Binding kResetBuffer = Child(u"qav:ResetBuffer", &Fields::m_resetBuffer);
constexpr Binding kCommandIndex = Child(u"qav:CommandIndex", &Fields::m_commandIndex);
constexpr Binding kIndices = {Kind::kIndices, u"qav:Indices", {}, {}, false};
constexpr Binding kText = Child(u"qav:Text", &Fields::m_text);
constexpr Binding kPhoneNumber = Child(u"qav:PhoneNumber", &Fields::m_phoneNumber);
constexpr Binding kSendImage = Child(u"qav:SendImage", &Fields::m_sendImage);
constexpr Binding kDistance = Child(u"qav:Distance", &Fields::m_distance, true);
constexpr Binding kXStart = Corner(u"qav:XStart", &Fields::m_xStart);
constexpr Binding kXEnd = Corner(u"qav:XEnd", &Fields::m_xEnd);
constexpr Binding kYStart = Corner(u"qav:YStart", &Fields::m_yStart);
constexpr Binding kYEnd = Corner(u"qav:YEnd", &Fields::m_yEnd);
constexpr Binding kControl = Child(u"qav:Control", &Fields::m_control);
constexpr Binding kSendData = Child(u"qav:SendData", &Fields::m_sendData);
constexpr Binding kPublish = Child(u"qav:Publish", &Fields::m_publish);
constexpr Binding kAddress = Child(u"qav:Address", &Fields::m_address);
constexpr Binding kUserName = Child(u"qav:UserName", &Fields::m_userName);
constexpr Binding kPassword = Child(u"qav:Password", &Fields::m_password);
constexpr Binding kTransportProtocol =
    Enum(u"qav:TransportProtocol", kTransportProtocolTable, &Fields::m_transportProtocol);
constexpr Binding kOperationLimit =
    Enum(u"qav:OperationLimit", kOperationLimitTable, &Fields::m_operationLimit);
constexpr Binding kSourceDeviceId = Child(u"qav:SourceDeviceID", &Fields::m_sourceDeviceId);
constexpr Binding kPacketNumber = Child(u"qav:PacketNumber", &Fields::m_packetNumber);
constexpr Binding kNumPackets = Child(u"qav:NumPackets", &Fields::m_numPackets);
constexpr Binding kDst = Child(u"qav:DST", &Fields::m_dst);
constexpr Binding kDataSize = {Kind::kDataSize, u"qav:DataSize", {}, {}, false};

constexpr size_t kMaxBodyLength = 11;
using Body = std::array<const Binding*, kMaxBodyLength>;  // ends at the first null

constexpr Body kVideoAttributes = {
    &kDestination, &kUseSingleEncoder, &kFrameRate,     &kWidth,        &kHeight,
    &kDeinterlace, &kDisplayFrameText, &kWriteLocation, &kDetectMotion, &kSyncFrames};
constexpr Body kAudioAttributes = {&kSampleRate, &kNumberOfChannels, &kFilterNoise,
                                   &kEnableParallelInOut};

// The body of each type after the common head, in wire order.
constexpr auto kBodyByType = [] {
    std::array<Body, 110> byType{};
    const auto set = [&byType](std::initializer_list<int> types,
                               std::initializer_list<const Binding*> body) {
        for (const int type : types) {
            std::copy(body.begin(), body.end(), byType[static_cast<size_t>(type)].begin());
        }
    };
    set({1, 2, 19, 56, 58}, {&kMediaType, &kIndex});
    set({3}, {&kMediaType, &kIndex, &kDestination, &kBitrate});
    set({4}, {&kMediaType, &kIndex, &kDestination, &kFrameRate});
    set({5}, {&kMediaType, &kIndex, &kDestination, &kWidth, &kHeight});
    set({6}, {&kMediaType, &kIndex, &kName});
    set({7, 62}, {&kName});
    set({8}, {&kMediaType, &kIndex, &kDestination, &kDeinterlace});
    set({9}, {&kMediaType, &kIndex, &kSampleRate});
    set({10}, {&kMediaType, &kIndex, &kNumberOfChannels});
    set({11}, {&kMediaType, &kIndex, &kChannelKindAttributes, &kBitrate, &kName, &kEnable});
    set({12, 30, 32, 102}, {&kIndex, &kValue});
    set({13}, {&kMachineRole, &kVideoChannel, &kAudioChannel});
    set({14}, {&kMachineRole, &kIndex});
    set({15, 16}, {&kIndex, &kName});
    set({18}, {&kMediaType, &kIndex, &kEnable});
    set({20}, {&kMediaType, &kIndex, &kDestination});
    set({21}, {&kIndex, &kAngle, &kSpeed, &kTimeInMilliseconds});
    set({22, 23}, {&kIndex, &kLocationIndex});
    set({24}, {&kIndex, &kZoomDirection, &kTimeInMilliseconds});
    set({25}, {&kIndex, &kLocationIndex, &kName});
    set({26, 29, 33, 51, 60, 73, 81}, {&kIndex});
    set({27}, {&kIndex, &kFocusDirection, &kTimeInMilliseconds});
    set({28}, {&kIndex, &kIrisDirection, &kTimeInMilliseconds});
    set({31, 83}, {&kIndex, &kValue, &kName});
    set({34}, {&kIndex, &kLocationIndex, &kTime});
    set({35}, {&kMachineRole, &kStorageSource, &kDirectory, &kReceiveToken});
    set({36}, {&kMachineRole, &kStorageSource, &kPlaybackType, &kDirectory, &kName, &kPosition,
               &kSendLocations});
    set({37, 42}, {&kMachineRole, &kPlaybackType, &kIndex});
    set({38}, {&kResetBuffer, &kMachineRole, &kPlaybackType, &kIndex, &kCommandIndex});
    set({39, 41, 93}, {&kMachineRole, &kPlaybackType, &kIndex, &kCommandIndex});
    set({40}, {&kMachineRole, &kPlaybackType, &kIndex, &kPosition, &kCommandIndex, &kResetBuffer});
    set({43}, {&kMachineRole, &kIndex, &kFrameRate});
    set({44}, {&kMachineRole, &kStorageSource, &kDirectory, &kName, &kNewName, &kReceiveToken});
    set({45}, {&kMachineRole, &kStorageSource, &kDirectory, &kName, &kReceiveToken});
    set({46}, {&kMediaType, &kIndices});
    set({47}, {&kValue});
    set({49}, {&kText});
    set({50}, {&kIndex, &kName, &kPhoneNumber, &kSendImage});
    set({52, 63, 64, 65, 66, 67, 68}, {&kEnable});
    set({54}, {&kTimeText});
    set({55}, {&kIndex, &kAudioChannel});
    set({57}, {&kMachineRole, &kStorageSource, &kDirectory});
    set({59},
        {&kMachineRole, &kStorageSource, &kDirectory, &kName, &kPosition, &kSize, &kReceiveToken});
    set({61}, {&kText, &kPhoneNumber});
    set({69}, {&kEnable, &kDistance});
    set({70}, {&kIndex, &kEnable, &kXStart, &kXEnd, &kYStart, &kYEnd});
    set({71}, {&kMediaType, &kIndex, &kControl, &kValueText});
    set({72}, {&kMachineRole, &kPlaybackType, &kIndex, &kPlaybackSpeed});
    set({74}, {&kTime});
    set({75}, {&kIndex, &kReceiveToken, &kName, &kPosition, &kSize, &kSendData});
    set({76}, {&kIndex, &kReceiveToken, &kName, &kText});
    set({77, 107, 108}, {&kIndex, &kReceiveToken});
    set({78}, {&kRestartPeriod});
    set({79}, {&kMachineRole, &kName, &kText, &kPublish});
    set({80}, {&kIndex, &kEnable, &kName, &kAddress, &kUserName, &kPassword, &kVideoChannel,
               &kAudioChannel, &kTransportProtocol});
    set({84, 91}, {&kVideoChannel, &kIndex, &kValue});
    set({85}, {&kValue, &kOperationLimit});
    set({86}, {&kTimeText, &kOperationLimit});
    set({87}, {&kOperationLimit});
    set({88, 89}, {&kIndex, &kEnable, &kValue});
    set({90}, {&kIndex, &kEnable});
    set({92}, {&kEnable, &kDoubleValue});
    set({94, 95}, {&kEnable, &kName, &kValue});
    set({96}, {&kMachineRole, &kPlaybackType, &kIndex, &kTime, &kCommandIndex});
    set({97, 98}, {&kEnable, &kName, &kSourceDeviceId});
    set({99}, {&kMachineRole, &kPlaybackType, &kIndex, &kPacketNumber, &kNumPackets});
    set({100}, {&kMediaType, &kIndex, &kDestination, &kControl, &kValueText});
    set({101}, {&kMachineRole, &kSourceDeviceId, &kTimeText, &kStorageSource, &kVideoChannel,
                &kAudioChannel, &kName, &kDirectory, &kNumberOfSeconds, &kIndex, &kTimestamp});
    set({103}, {&kMachineRole, &kSourceDeviceId, &kTimeText, &kStorageSource, &kVideoChannel,
                &kAudioChannel, &kNumberOfSeconds, &kPlaybackType, &kSendLocations, &kIndex});
    set({104}, {&kName, &kMinutes, &kDst});
    set({105}, {&kDataSize});
    set({106}, {&kMediaType, &kIndex, &kBaudRate});
    set({109}, {&kIndex, &kReceiveToken, &kDataSize});
    return byType;  // 17, 48, 53 and 82 carry nothing more
}();

// The bindings of one command in one direction.
class CommandBinder {
  public:
    CommandBinder(CaptureDeviceCommand& record, XmlElement element, uint32_t direction)
        : m_record(record), m_element(element), m_direction(direction) {}

    void SyncBody(const Body& body) {
        for (const Binding* binding : body) {
            if (binding == nullptr) {
                break;
            }
            if (!binding->onlyWhenEnabled || m_record.m_enable) {
                Sync(*binding);
            }
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
    void SyncChild(const WChar* name, double& field);
    void SyncDataSize();

    CaptureDeviceCommand& m_record;
    XmlElement m_element;
    uint32_t m_direction;
};

void CommandBinder::Sync(const Binding& binding) {
    Fields& fields = m_record;
    switch (binding.kind) {
        case Kind::kChild:
            std::visit(
                [&](auto member) {
                    if constexpr (!std::is_same_v<decltype(member), std::monostate>) {
                        SyncChild(binding.name, fields.*member);
                    }
                },
                binding.member);
            break;
        case Kind::kEnum:
            SyncEnumField(m_element, binding.name, kQavNamespaceUri, binding.table, m_direction,
                          fields.*std::get<int32_t Fields::*>(binding.member));
            break;
        case Kind::kAttribute:
            SyncIntAttribute(m_element, binding.name, kQavNamespaceUri, m_direction,
                             fields.*std::get<int32_t Fields::*>(binding.member));
            break;
        case Kind::kIndices:
            SyncIntList(u"qav:Index", kQavNamespaceUri,
                        m_element.FindOrCreateChild(binding.name, kQavNamespaceUri,
                                                    m_direction != kSyncRead),
                        m_direction, m_record.m_indices);
            break;
        case Kind::kDataSize:
            SyncDataSize();
            break;
        case Kind::kChannelKindAttributes:
            if (m_record.m_mediaType == kVideo) {
                SyncBody(kVideoAttributes);
            } else if (m_record.m_mediaType == kAudio || m_record.m_mediaType == kAudioOut) {
                SyncBody(kAudioAttributes);
            }
            break;
    }
}

// "1e999" would be taken as infinity and written on as "inf", which no reader takes for a
// number: only a finite reading replaces the field.
void CommandBinder::SyncChild(const WChar* name, double& field) {
    double value = field;
    if (SyncDoubleField(m_element, name, kQavNamespaceUri, m_direction, value) &&
        std::isfinite(value)) {
        field = value;
    }
}

// A negative length would reach the connection as one of about 4 GiB and is refused; a new
// length no longer belongs to the bytes pointed at, which came with an earlier message.
void CommandBinder::SyncDataSize() {
    if (m_direction != kSyncRead) {
        SyncChild(u"qav:DataSize", m_record.m_dataSize);
        return;
    }
    int32_t dataSize = -1;
    if (SyncIntField(m_element, u"qav:DataSize", kQavNamespaceUri, kSyncRead, dataSize) &&
        dataSize >= 0) {
        m_record.m_dataSize = dataSize;
        m_record.m_payload = nullptr;
    }
}

}  // namespace

void Serialize(CaptureDeviceCommand& record, XmlElement element, uint32_t direction) {
    SyncEnumAttribute(element, u"qav:Type", kQavNamespaceUri, kCaptureDeviceCommandTypeTable,
                      direction, record.m_type);
    SyncIntAttribute(element, u"qav:DeviceID", kQavNamespaceUri, direction, record.m_deviceId);
    SyncTextAttribute(element, u"qav:MonitorsChain", kQavNamespaceUri, direction,
                      record.m_monitorsChain);
    // Read, the type just read picks the body; a type outside the table has none.
    if (record.m_type > 0 && static_cast<size_t>(record.m_type) < kBodyByType.size()) {
        CommandBinder(record, element, direction)
            .SyncBody(kBodyByType[static_cast<size_t>(record.m_type)]);
    }
}

}  // namespace qav
