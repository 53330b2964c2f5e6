#include "core/xml_fields.h"
#include "records/capture_device_command.h"
#include "records/channel_format.h"
#include "records/record_fields.h"
#include "records/transport_protocol.h"
#include "records/type_bindings.h"

namespace qav {
namespace {

using Fields = CaptureDeviceCommandFields;

constexpr int32_t kVideo = 1;
constexpr int32_t kAudio = 2;
constexpr int32_t kAudioOut = 7;

// What only the device command binds.
enum class Special : uint8_t {
    kIndices,                // the Indices list in the wrapper `name`
    kDataSize,               // the attachment's length
    kChannelKindAttributes,  // the video or the audio attributes, by the media type
};

using Binding = TypeBinding<Fields>;

// Only the corners of the motion-detection rectangle travel as attributes, and only while
// the detection is enabled.
constexpr Binding Corner(const WChar* name, int32_t Fields::*member) {
    return BindAttribute(name, member).OnlyWhen(&Fields::m_enable);
}

constexpr Binding kMediaType = BindEnum(u"qav:MediaType", kChannelTypeTable, &Fields::m_mediaType);
constexpr Binding kIndex = BindChild(u"qav:Index", &Fields::m_index);
constexpr Binding kDestination = BindEnum(
    u"qav:MediaStreamDestination", kMediaStreamDestinationTable, &Fields::m_mediaStreamDestination);
constexpr Binding kBitrate = BindChild(u"qav:Bitrate", &Fields::m_bitrate);
constexpr Binding kBaudRate = BindChild(u"qav:BaudRate", &Fields::m_bitrate);
constexpr Binding kFrameRate = BindChild(u"qav:FrameRate", &Fields::m_frameRate);
constexpr Binding kWidth = BindChild(u"qav:Width", &Fields::m_width);
constexpr Binding kHeight = BindChild(u"qav:Height", &Fields::m_height);
constexpr Binding kName = BindChild(u"qav:Name", &Fields::m_name);
constexpr Binding kNewName = BindChild(u"qav:NewName", &Fields::m_newName);
constexpr Binding kDeinterlace = BindChild(u"qav:Deinterlace", &Fields::m_deinterlace);
constexpr Binding kSampleRate = BindChild(u"qav:SampleRate", &Fields::m_sampleRate);
constexpr Binding kNumberOfChannels =
    BindChild(u"qav:NumberOfChannels", &Fields::m_numberOfChannels);
constexpr Binding kUseSingleEncoder =
    BindChild(u"qav:UseSingleEncoder", &Fields::m_useSingleEncoder);
constexpr Binding kDisplayFrameText =
    BindChild(u"qav:DisplayFrameText", &Fields::m_displayFrameText);
constexpr Binding kWriteLocation = BindChild(u"qav:WriteLocation", &Fields::m_writeLocation);
constexpr Binding kDetectMotion = BindChild(u"qav:DetectMotion", &Fields::m_detectMotion);
constexpr Binding kSyncFrames = BindChild(u"qav:SyncFrames", &Fields::m_syncFrames);
constexpr Binding kFilterNoise = BindChild(u"qav:FilterNoise", &Fields::m_filterNoise);
constexpr Binding kEnableParallelInOut =
    BindChild(u"qav:EnableParallelInOut", &Fields::m_enableParallelInOut);
constexpr Binding kChannelKindAttributes = BindSpecial<Fields>(Special::kChannelKindAttributes);
constexpr Binding kValue = BindChild(u"qav:Value", &Fields::m_value);
constexpr Binding kValueText = BindChild(u"qav:Value", &Fields::m_valueText);
constexpr Binding kDoubleValue = BindChild(u"qav:Value", &Fields::m_doubleValue);
constexpr Binding kRestartPeriod = BindChild(u"qav:RestartPeriod", &Fields::m_value);
constexpr Binding kMinutes = BindChild(u"qav:Minutes", &Fields::m_value);
constexpr Binding kMachineRole =
    BindEnum(u"qav:MachineRole", kMachineRoleTable, &Fields::m_machineRole);
constexpr Binding kVideoChannel = BindChild(u"qav:VideoChannel", &Fields::m_videoChannel);
constexpr Binding kAudioChannel = BindChild(u"qav:AudioChannel", &Fields::m_audioChannel);
constexpr Binding kEnable = BindChild(u"qav:Enable", &Fields::m_enable);
constexpr Binding kAngle = BindChild(u"qav:Angle", &Fields::m_angle);
constexpr Binding kSpeed = BindChild(u"qav:Speed", &Fields::m_speed);
constexpr Binding kPlaybackSpeed = BindChild(u"qav:Speed", &Fields::m_playbackSpeed);
constexpr Binding kTimeInMilliseconds =
    BindChild(u"qav:TimeInMilliseconds", &Fields::m_timeInMilliseconds);
constexpr Binding kLocationIndex = BindChild(u"qav:LocationIndex", &Fields::m_locationIndex);
constexpr Binding kZoomDirection =
    BindEnum(u"qav:Direction", kZoomDirectionTable, &Fields::m_zoomDirection);
constexpr Binding kFocusDirection =
    BindEnum(u"qav:Direction", kFocusDirectionTable, &Fields::m_focusDirection);
constexpr Binding kIrisDirection =
    BindEnum(u"qav:Direction", kIrisDirectionTable, &Fields::m_irisDirection);
constexpr Binding kTime = BindChild(u"qav:Time", &Fields::m_time);
constexpr Binding kTimeText = BindChild(u"qav:Time", &Fields::m_timeText);
constexpr Binding kNumberOfSeconds = BindChild(u"qav:NumberOfSeconds", &Fields::m_time);
constexpr Binding kStorageSource =
    BindEnum(u"qav:StorageSource", kFileTransferCategoryTable, &Fields::m_storageSource);
constexpr Binding kDirectory = BindChild(u"qav:Directory", &Fields::m_directory);
constexpr Binding kReceiveToken = BindChild(u"qav:ReceiveToken", &Fields::m_receiveToken);
constexpr Binding kPlaybackType =
    BindEnum(u"qav:PlaybackType", kPlaybackTypeTable, &Fields::m_playbackType);
constexpr Binding kPosition = BindChild(u"qav:Position", &Fields::m_position);
constexpr Binding kSize = BindChild(u"qav:Size", &Fields::m_size);
constexpr Binding kTimestamp = BindChild(u"qav:Timestamp", &Fields::m_timestamp);
constexpr Binding kSendLocations = BindChild(u"qav:SendLocations", &Fields::m_sendLocations);
constexpr Binding kResetBuffer = BindChild(u"qav:ResetBuffer", &Fields::m_resetBuffer);
constexpr Binding kCommandIndex = BindChild(u"qav:CommandIndex", &Fields::m_commandIndex);
constexpr Binding kIndices = BindSpecial<Fields>(Special::kIndices, u"qav:Indices");
constexpr Binding kText = BindChild(u"qav:Text", &Fields::m_text);
constexpr Binding kPhoneNumber = BindChild(u"qav:PhoneNumber", &Fields::m_phoneNumber);
constexpr Binding kSendImage = BindChild(u"qav:SendImage", &Fields::m_sendImage);
constexpr Binding kDistance =
    BindChild(u"qav:Distance", &Fields::m_distance).OnlyWhen(&Fields::m_enable);
constexpr Binding kXStart = Corner(u"qav:XStart", &Fields::m_xStart);
constexpr Binding kXEnd = Corner(u"qav:XEnd", &Fields::m_xEnd);
constexpr Binding kYStart = Corner(u"qav:YStart", &Fields::m_yStart);
constexpr Binding kYEnd = Corner(u"qav:YEnd", &Fields::m_yEnd);
constexpr Binding kControl = BindChild(u"qav:Control", &Fields::m_control);
constexpr Binding kSendData = BindChild(u"qav:SendData", &Fields::m_sendData);
constexpr Binding kPublish = BindChild(u"qav:Publish", &Fields::m_publish);
constexpr Binding kAddress = BindChild(u"qav:Address", &Fields::m_address);
constexpr Binding kUserName = BindChild(u"qav:UserName", &Fields::m_userName);
constexpr Binding kPassword = BindChild(u"qav:Password", &Fields::m_password);
constexpr Binding kTransportProtocol =
    BindEnum(u"qav:TransportProtocol", kTransportProtocolTable, &Fields::m_transportProtocol);
constexpr Binding kOperationLimit =
    BindEnum(u"qav:OperationLimit", kOperationLimitTable, &Fields::m_operationLimit);
constexpr Binding kSourceDeviceId = BindChild(u"qav:SourceDeviceID", &Fields::m_sourceDeviceId);
constexpr Binding kPacketNumber = BindChild(u"qav:PacketNumber", &Fields::m_packetNumber);
constexpr Binding kNumPackets = BindChild(u"qav:NumPackets", &Fields::m_numPackets);
constexpr Binding kDst = BindChild(u"qav:DST", &Fields::m_dst);
constexpr Binding kDataSize = BindSpecial<Fields>(Special::kDataSize, u"qav:DataSize");

constexpr size_t kMaxBodyLength = 11;
using Body = BindingList<Fields, kMaxBodyLength>;

constexpr Body kVideoAttributes = {
    &kDestination, &kUseSingleEncoder, &kFrameRate,     &kWidth,        &kHeight,
    &kDeinterlace, &kDisplayFrameText, &kWriteLocation, &kDetectMotion, &kSyncFrames};
constexpr Body kAudioAttributes = {&kSampleRate, &kNumberOfChannels, &kFilterNoise,
                                   &kEnableParallelInOut};

// The body of each type after the common head, in wire order.
constexpr auto kBodyByType = [] {
    BindingsByType<Fields, 110, kMaxBodyLength> byType;
    byType.Set({1, 2, 19, 56, 58}, {&kMediaType, &kIndex});
    byType.Set({3}, {&kMediaType, &kIndex, &kDestination, &kBitrate});
    byType.Set({4}, {&kMediaType, &kIndex, &kDestination, &kFrameRate});
    byType.Set({5}, {&kMediaType, &kIndex, &kDestination, &kWidth, &kHeight});
    byType.Set({6}, {&kMediaType, &kIndex, &kName});
    byType.Set({7, 62}, {&kName});
    byType.Set({8}, {&kMediaType, &kIndex, &kDestination, &kDeinterlace});
    byType.Set({9}, {&kMediaType, &kIndex, &kSampleRate});
    byType.Set({10}, {&kMediaType, &kIndex, &kNumberOfChannels});
    byType.Set({11}, {&kMediaType, &kIndex, &kChannelKindAttributes, &kBitrate, &kName, &kEnable});
    byType.Set({12, 30, 32, 102}, {&kIndex, &kValue});
    byType.Set({13}, {&kMachineRole, &kVideoChannel, &kAudioChannel});
    byType.Set({14}, {&kMachineRole, &kIndex});
    byType.Set({15, 16}, {&kIndex, &kName});
    byType.Set({18}, {&kMediaType, &kIndex, &kEnable});
    byType.Set({20}, {&kMediaType, &kIndex, &kDestination});
    byType.Set({21}, {&kIndex, &kAngle, &kSpeed, &kTimeInMilliseconds});
    byType.Set({22, 23}, {&kIndex, &kLocationIndex});
    byType.Set({24}, {&kIndex, &kZoomDirection, &kTimeInMilliseconds});
    byType.Set({25}, {&kIndex, &kLocationIndex, &kName});
    byType.Set({26, 29, 33, 51, 60, 73, 81}, {&kIndex});
    byType.Set({27}, {&kIndex, &kFocusDirection, &kTimeInMilliseconds});
    byType.Set({28}, {&kIndex, &kIrisDirection, &kTimeInMilliseconds});
    byType.Set({31, 83}, {&kIndex, &kValue, &kName});
    byType.Set({34}, {&kIndex, &kLocationIndex, &kTime});
    byType.Set({35}, {&kMachineRole, &kStorageSource, &kDirectory, &kReceiveToken});
    byType.Set({36}, {&kMachineRole, &kStorageSource, &kPlaybackType, &kDirectory, &kName,
                      &kPosition, &kSendLocations});
    byType.Set({37, 42}, {&kMachineRole, &kPlaybackType, &kIndex});
    byType.Set({38}, {&kResetBuffer, &kMachineRole, &kPlaybackType, &kIndex, &kCommandIndex});
    byType.Set({39, 41, 93}, {&kMachineRole, &kPlaybackType, &kIndex, &kCommandIndex});
    byType.Set({40},
               {&kMachineRole, &kPlaybackType, &kIndex, &kPosition, &kCommandIndex, &kResetBuffer});
    byType.Set({43}, {&kMachineRole, &kIndex, &kFrameRate});
    byType.Set({44},
               {&kMachineRole, &kStorageSource, &kDirectory, &kName, &kNewName, &kReceiveToken});
    byType.Set({45}, {&kMachineRole, &kStorageSource, &kDirectory, &kName, &kReceiveToken});
    byType.Set({46}, {&kMediaType, &kIndices});
    byType.Set({47}, {&kValue});
    byType.Set({49}, {&kText});
    byType.Set({50}, {&kIndex, &kName, &kPhoneNumber, &kSendImage});
    byType.Set({52, 63, 64, 65, 66, 67, 68}, {&kEnable});
    byType.Set({54}, {&kTimeText});
    byType.Set({55}, {&kIndex, &kAudioChannel});
    byType.Set({57}, {&kMachineRole, &kStorageSource, &kDirectory});
    byType.Set({59}, {&kMachineRole, &kStorageSource, &kDirectory, &kName, &kPosition, &kSize,
                      &kReceiveToken});
    byType.Set({61}, {&kText, &kPhoneNumber});
    byType.Set({69}, {&kEnable, &kDistance});
    byType.Set({70}, {&kIndex, &kEnable, &kXStart, &kXEnd, &kYStart, &kYEnd});
    byType.Set({71}, {&kMediaType, &kIndex, &kControl, &kValueText});
    byType.Set({72}, {&kMachineRole, &kPlaybackType, &kIndex, &kPlaybackSpeed});
    byType.Set({74}, {&kTime});
    byType.Set({75}, {&kIndex, &kReceiveToken, &kName, &kPosition, &kSize, &kSendData});
    byType.Set({76}, {&kIndex, &kReceiveToken, &kName, &kText});
    byType.Set({77, 107, 108}, {&kIndex, &kReceiveToken});
    byType.Set({78}, {&kRestartPeriod});
    byType.Set({79}, {&kMachineRole, &kName, &kText, &kPublish});
    byType.Set({80}, {&kIndex, &kEnable, &kName, &kAddress, &kUserName, &kPassword, &kVideoChannel,
                      &kAudioChannel, &kTransportProtocol});
    byType.Set({84, 91}, {&kVideoChannel, &kIndex, &kValue});
    byType.Set({85}, {&kValue, &kOperationLimit});
    byType.Set({86}, {&kTimeText, &kOperationLimit});
    byType.Set({87}, {&kOperationLimit});
    byType.Set({88, 89}, {&kIndex, &kEnable, &kValue});
    byType.Set({90}, {&kIndex, &kEnable});
    byType.Set({92}, {&kEnable, &kDoubleValue});
    byType.Set({94, 95}, {&kEnable, &kName, &kValue});
    byType.Set({96}, {&kMachineRole, &kPlaybackType, &kIndex, &kTime, &kCommandIndex});
    byType.Set({97, 98}, {&kEnable, &kName, &kSourceDeviceId});
    byType.Set({99}, {&kMachineRole, &kPlaybackType, &kIndex, &kPacketNumber, &kNumPackets});
    byType.Set({100}, {&kMediaType, &kIndex, &kDestination, &kControl, &kValueText});
    byType.Set({101},
               {&kMachineRole, &kSourceDeviceId, &kTimeText, &kStorageSource, &kVideoChannel,
                &kAudioChannel, &kName, &kDirectory, &kNumberOfSeconds, &kIndex, &kTimestamp});
    byType.Set({103},
               {&kMachineRole, &kSourceDeviceId, &kTimeText, &kStorageSource, &kVideoChannel,
                &kAudioChannel, &kNumberOfSeconds, &kPlaybackType, &kSendLocations, &kIndex});
    byType.Set({104}, {&kName, &kMinutes, &kDst});
    byType.Set({105}, {&kDataSize});
    byType.Set({106}, {&kMediaType, &kIndex, &kBaudRate});
    byType.Set({109}, {&kIndex, &kReceiveToken, &kDataSize});
    return byType;  // 17, 48, 53 and 82 carry nothing more
}();

// The bindings of one command in one direction.
void SyncBody(const Body& body, CaptureDeviceCommand& record, XmlElement element,
              uint32_t direction) {
    SyncBindings(body, record, element, direction, [&](const Binding& binding) {
        switch (static_cast<Special>(binding.special)) {
            case Special::kIndices:
                SyncList(element.FindOrCreateChild(binding.name, kQavNamespaceUri,
                                                   direction != kSyncRead),
                         u"qav:Index", kQavNamespaceUri, direction, record.m_indices, SyncIntItem);
                break;
            case Special::kDataSize:
                SyncAttachmentLength(element, binding.name, false, direction, record.m_dataSize,
                                     record.m_payload);
                break;
            case Special::kChannelKindAttributes:
                if (record.m_mediaType == kVideo) {
                    SyncBody(kVideoAttributes, record, element, direction);
                } else if (record.m_mediaType == kAudio || record.m_mediaType == kAudioOut) {
                    SyncBody(kAudioAttributes, record, element, direction);
                }
                break;
        }
    });
}

}  // namespace

void Serialize(CaptureDeviceCommand& record, XmlElement element, uint32_t direction) {
    if (direction == kSyncRead) {
        DropAttachment(record.m_dataSize, record.m_payload);
    }
    SyncEnumAttribute(element, u"qav:Type", kQavNamespaceUri, kCaptureDeviceCommandTypeTable,
                      direction, record.m_type);
    SyncIntAttribute(element, u"qav:DeviceID", kQavNamespaceUri, direction, record.m_deviceId);
    SyncTextAttribute(element, u"qav:MonitorsChain", kQavNamespaceUri, direction,
                      record.m_monitorsChain);
    // Read, the type just read picks the body; a type outside the table has none.
    if (const Body* body = kBodyByType.Find(record.m_type)) {
        SyncBody(*body, record, element, direction);
    }
}

}  // namespace qav
