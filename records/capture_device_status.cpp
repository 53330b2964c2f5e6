#include "records/capture_device_status.h"

#include <type_traits>

#include "core/trace_frame.h"
#include "core/xml_fields.h"
#include "records/capture_device_config.h"
#include "records/capture_device_status_extension.h"
#include "records/devices_summary.h"
#include "records/list_index.h"
#include "records/record_fields.h"

namespace qav {
namespace {

bool SameRecordings(const RecordingsList& left, const RecordingsList& right) {
    const std::vector<RecordingEntry>& a = left.Entries();
    const std::vector<RecordingEntry>& b = right.Entries();
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].m_identifier != b[i].m_identifier || a[i].m_deviceId != b[i].m_deviceId ||
            a[i].m_videoChannel != b[i].m_videoChannel ||
            a[i].m_audioChannel != b[i].m_audioChannel || a[i].m_manual != b[i].m_manual) {
            return false;
        }
    }
    return true;
}

bool IsEncoderSet(int32_t set) {
    return set == kBroadcastEncoderSet || set == kRecordingEncoderSet;
}

const EncoderParameters* EncoderSetAt(const std::vector<VideoChannelStatus>& channels,
                                      int32_t index, int32_t set) {
    const VideoChannelStatus* channel = EntryAt(channels, index);
    if (channel == nullptr || !IsEncoderSet(set)) {
        return nullptr;
    }
    return &channel->m_encoderParameters[static_cast<size_t>(set)];
}

// The channel types of the lists (values of kChannelTypeTable) and the monitor command
// types that the status follows.
constexpr int32_t kChannelVideo = 1;
constexpr int32_t kChannelAudio = 2;
constexpr int32_t kChannelAudioOut = 7;
constexpr int32_t kChannelEcgStream = 9;
constexpr int32_t kChannelDiagnosticStream = 10;
constexpr int32_t kChannelGeneral = 11;
constexpr int32_t kChannelTemperature = 12;
constexpr int32_t kChannelSerialPort = 13;
constexpr int32_t kChannelControlValueChange = 14;
constexpr int32_t kChannelRatesChange = 15;
constexpr int32_t kEncoderControlValueChange = 25;

// Channel [index] of the list of `channelType` (video, audio, audio-out or serial port);
// null for another type or an index naming no channel.
template <typename Fields>
auto FindChannel(Fields& fields, int32_t channelType, int32_t index) {
    using Channel = std::conditional_t<std::is_const_v<Fields>, const ChannelStatus, ChannelStatus>;
    Channel* channel = nullptr;
    switch (channelType) {
        case kChannelVideo:
            channel = EntryAt(fields.m_videoChannels, index);
            break;
        case kChannelAudio:
            channel = EntryAt(fields.m_audioChannels, index);
            break;
        case kChannelAudioOut:
            channel = EntryAt(fields.m_audioOutChannels, index);
            break;
        case kChannelSerialPort:
            channel = EntryAt(fields.m_serialPorts, index);
            break;
        default:
            break;
    }
    return channel;
}

// The event kinds that enable, open or rename one channel of any list.
enum class ChannelChange : uint8_t { kEnable, kOpen, kName };
struct ChannelEventRow {
    int32_t eventType;
    int32_t channelType;
    ChannelChange change;
};
constexpr ChannelEventRow kChannelEvents[] = {
    {3, kChannelAudio, ChannelChange::kEnable},        // "Audio Channel Enabled"
    {4, kChannelAudio, ChannelChange::kName},          // "Audio Channel Name Change"
    {5, kChannelAudio, ChannelChange::kOpen},          // "Audio Channel Open"
    {13, kChannelAudioOut, ChannelChange::kEnable},    // "Audio Out Channel Enabled"
    {14, kChannelAudioOut, ChannelChange::kName},      // "Audio Out Channel Name Change"
    {15, kChannelAudioOut, ChannelChange::kOpen},      // "Audio Out Channel Open"
    {51, kChannelSerialPort, ChannelChange::kEnable},  // "Serial port enable"
    {52, kChannelSerialPort, ChannelChange::kOpen},    // "Serial port open"
    {53, kChannelSerialPort, ChannelChange::kName},    // "Serial port name change"
    {65, kChannelVideo, ChannelChange::kEnable},       // "Video Channel Enabled"
    {66, kChannelVideo, ChannelChange::kName},         // "Video Channel Name Change"
    {67, kChannelVideo, ChannelChange::kOpen},         // "Video Channel Open"
};

// The event kinds that set one rate of an audio or audio-out channel to the event's value.
struct AudioRateEventRow {
    int32_t eventType;
    bool audioOut;
    int32_t AudioChannelStatus::*rate;
};
constexpr AudioRateEventRow kAudioRateEvents[] = {
    {2, false, &AudioChannelStatus::m_bitrate},            // "Audio Bitrate Change"
    {7, false, &AudioChannelStatus::m_sampleRate},         // "Audio Sample Rate Change"
    {8, false, &AudioChannelStatus::m_encodedSampleRate},  // "Audio Encoded Sample Rate Change"
    {9, false, &AudioChannelStatus::m_numberOfChannels},   // "Audio Number of Channels Change"
    {12, true, &AudioChannelStatus::m_bitrate},            // "Audio Out Bitrate Change"
    {17, true, &AudioChannelStatus::m_sampleRate},         // "Audio Out Sample Rate Change"
    {18, true, &AudioChannelStatus::m_numberOfChannels},   // "Audio Out Number of Channels Change"
};

// The other event kinds that the status follows.
enum EventType : int32_t {
    kActiveLocationExistence = 1,
    kAudioToVideoChannelAttachment = 10,
    kAudioDefaultChannelChange = 11,
    kConnectionTechnologyChange = 23,
    kConnectionProviderName = 24,
    kDeviceRename = 28,
    kInputPortRename = 34,
    kInputPortValueSet = 35,
    kMaxPacketDataSizeChange = 40,
    kPhoneTextMessageChange = 47,
    kPhoneTextSendingEnable = 48,
    kPhoneTextSendingPossible = 49,
    kSerialPortBaudRateChange = 54,
    kRecordableStorageExistence = 62,
    kRestartPeriodChange = 63,
    kTargetPhoneTextEntryRemoved = 64,
    kVideoBitrateChange = 69,
    kVideoFramerateChange = 70,
    kVideoSignalState = 72,
    kVisualMotionDetected = 74,
    kVisualMotionDetectionEnabled = 75,
    kVideoDefaultChannelChange = 76,
    kOutputPortRename = 79,
    kOutputPortValueSet = 80,
};

// Applies the event when it is of a channel kind; false when it is not.
bool ApplyChannelEvent(CaptureDeviceStatusFields& fields, const CaptureDeviceEvent& event) {
    for (const ChannelEventRow& row : kChannelEvents) {
        if (row.eventType != event.m_type) {
            continue;
        }
        if (ChannelStatus* channel = FindChannel(fields, row.channelType, event.m_index)) {
            switch (row.change) {
                case ChannelChange::kEnable:
                    channel->m_enable = event.m_value != 0;
                    break;
                case ChannelChange::kOpen:
                    channel->m_streaming = event.m_value != 0;
                    break;
                case ChannelChange::kName:
                    channel->m_name = event.m_name;
                    break;
            }
        }
        return true;
    }
    for (const AudioRateEventRow& row : kAudioRateEvents) {
        if (row.eventType != event.m_type) {
            continue;
        }
        auto& channels = row.audioOut ? fields.m_audioOutChannels : fields.m_audioChannels;
        if (AudioChannelStatus* channel = EntryAt(channels, event.m_index)) {
            channel->*row.rate = event.m_value;
        }
        return true;
    }
    return false;
}

// Applies `apply(entry)` to entry [Index] of `list` when there is one.
template <typename Entry, typename Apply>
void AtIndex(std::vector<Entry>& list, int32_t index, Apply apply) {
    if (Entry* entry = EntryAt(list, index)) {
        apply(*entry);
    }
}

// Replaces control [number] of `controls` by `value`; true when that changed it.
bool ReplaceControl(std::vector<WString>* controls, int32_t number, const WString& value) {
    WString* control = controls != nullptr ? EntryAt(*controls, number) : nullptr;
    if (control == nullptr || *control == value) {
        return false;
    }
    *control = value;
    return true;
}

}  // namespace

void Serialize(CaptureDeviceStatus& record, XmlElement element, uint32_t direction) {
    QAV_TRACE("CDS::Sync");
    constexpr const WChar* kNs = kQavNamespaceUri;
    SyncIntAttribute(element, u"qav:DeviceID", kNs, direction, record.m_deviceId);
    SyncStringField(element, u"qav:Name", direction, record.m_name);

    SyncInputPortList(SyncContainer(element, u"qav:InputPorts", direction), direction,
                      record.m_inputPorts);
    SyncOutputPortList(SyncContainer(element, u"qav:OutputPorts", direction), direction,
                       record.m_outputPorts);

    SyncTextAttribute(SyncContainer(element, u"qav:Modem", direction), u"qav:IMEI", kNs, direction,
                      record.m_imei);
    SyncIntField(element, u"qav:RestartPeriod", kNs, direction, record.m_restartPeriod);
    SyncBoolAttribute(element, u"qav:CanSleep", kNs, direction, record.m_canSleep);

    XmlElement video = SyncContainer(element, u"qav:VideoChannels", direction);
    SyncIntAttribute(video, u"qav:DefaultChannel", kNs, direction, record.m_videoDefaultChannel);
    SyncVideoChannelList(video, direction, record.m_videoChannels);

    SyncAudioChannelList(SyncContainer(element, u"qav:AudioChannels", direction), direction,
                         record.m_audioChannels);
    SyncAudioChannelList(SyncContainer(element, u"qav:AudioOutChannels", direction), direction,
                         record.m_audioOutChannels);
    SyncSerialPortList(SyncContainer(element, u"qav:SerialPorts", direction), direction,
                       record.m_serialPorts);

    XmlElement recorder = SyncContainer(element, u"qav:MediaRecorderStatus", direction);
    SyncBoolAttribute(recorder, u"qav:HasRecordableStorage", kNs, direction,
                      record.m_hasRecordableStorage);
    RecordingsList::Sync(record.m_recordings, recorder, direction);

    SyncPtzEngineList(SyncContainer(element, u"qav:PtzEngines", direction), direction,
                      record.m_ptzEngines);

    SyncIntField(SyncContainer(element, u"qav:Streaming", direction), u"qav:MaxPacketSize", kNs,
                 direction, record.m_maxPacketSize);
    SyncBoolField(SyncContainer(element, u"qav:GPS", direction), u"qav:Active", direction,
                  record.m_gpsActive);

    XmlElement phone = SyncContainer(element, u"qav:PhoneTextMessages", direction);
    SyncBoolAttribute(phone, u"qav:Active", kNs, direction, record.m_phoneTextActive);
    SyncBoolAttribute(phone, u"qav:Enable", kNs, direction, record.m_phoneTextEnable);
    SyncTextAttribute(phone, u"qav:Text", kNs, direction, record.m_phoneText);
    SyncPhoneEntryList(phone, direction, record.m_phoneEntries);

    XmlElement connection = SyncContainer(element, u"qav:Connection", direction);
    SyncTextAttribute(connection, u"qav:Technology", kNs, direction, record.m_connectionTechnology);
    SyncTextAttribute(SyncContainer(connection, u"qav:Provider", direction), u"qav:Name", kNs,
                      direction, record.m_providerName);

    SyncBoolAttribute(element, u"qav:PortWakeup", kNs, direction, record.m_portWakeup);
    SyncControlList(SyncContainer(element, u"qav:Controls", direction), direction,
                    record.m_controls);
}

void CaptureDeviceStatus::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(u"qav:CaptureDeviceStatus", kQavNamespaceUri), kSyncWrite);
}

void CaptureDeviceStatus::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

uint32_t CaptureDeviceStatus::GetPayload(const uint8_t**&) {
    return 0;
}

int32_t CaptureDeviceStatus::GetTypeId() const {
    return kTypeId;
}

bool CaptureDeviceStatus::operator==(const CaptureDeviceStatus& other) const {
    return static_cast<const CaptureDeviceStatusFields&>(*this) ==
               static_cast<const CaptureDeviceStatusFields&>(other) &&
           SameRecordings(m_recordings, other.m_recordings);
}

void CaptureDeviceStatus::ApplyEvent(const CaptureDeviceEvent& event) {
    if (ApplyChannelEvent(*this, event)) {
        return;
    }
    const int32_t index = event.m_index;
    const int32_t value = event.m_value;
    const bool flag = value != 0;
    const WString& name = event.m_name;
    auto setVideoRates = [value](int32_t EncoderParameters::*field,
                                 int32_t EncoderParameters::*requested) {
        return [value, field, requested](VideoChannelStatus& channel) {
            EncoderParameters& set = channel.m_encoderParameters[kBroadcastEncoderSet];
            set.*field = value;
            set.*requested = value;
        };
    };
    switch (event.m_type) {
        case kActiveLocationExistence:
            m_gpsActive = flag;
            break;
        case kAudioToVideoChannelAttachment:
            AtIndex(m_videoChannels, index, [value](auto& c) { c.m_audioChannel = value; });
            break;
        case kAudioDefaultChannelChange:
            if (EntryAt(m_audioChannels, index) != nullptr) {
                m_audioDefaultChannel = index;
            }
            break;
        case kConnectionTechnologyChange:
            m_connectionTechnology = name;
            break;
        case kConnectionProviderName:
            m_providerName = name;
            break;
        case kDeviceRename:
            m_name = name;
            break;
        case kInputPortRename:
            AtIndex(m_inputPorts, index, [&name](auto& p) { p.m_name = name; });
            break;
        case kInputPortValueSet:
            AtIndex(m_inputPorts, index, [value](auto& p) { p.m_value = value; });
            break;
        case kMaxPacketDataSizeChange:
            m_maxPacketSize = value;
            break;
        case kPhoneTextMessageChange:
            m_phoneText = name;
            break;
        case kPhoneTextSendingEnable:
            m_phoneTextEnable = flag;
            break;
        case kPhoneTextSendingPossible:
            m_phoneTextActive = flag;
            break;
        case kSerialPortBaudRateChange:
            AtIndex(m_serialPorts, index, [value](auto& p) { p.m_baudRate = value; });
            break;
        case kRecordableStorageExistence:
            m_hasRecordableStorage = flag;
            break;
        case kRestartPeriodChange:
            if (value >= 0) {
                m_restartPeriod = value;
            }
            break;
        case kTargetPhoneTextEntryRemoved:
            if (EntryAt(m_phoneEntries, index) != nullptr) {
                m_phoneEntries.erase(m_phoneEntries.begin() + index);
            }
            break;
        case kVideoBitrateChange:
            AtIndex(m_videoChannels, index,
                    setVideoRates(&EncoderParameters::m_bitrate,
                                  &EncoderParameters::m_requestedBitrate));
            break;
        case kVideoFramerateChange:
            AtIndex(m_videoChannels, index,
                    setVideoRates(&EncoderParameters::m_frameRate,
                                  &EncoderParameters::m_requestedFramerate));
            break;
        case kVideoSignalState:
            AtIndex(m_videoChannels, index, [&name](VideoChannelStatus& channel) {
                uint32_t state = 0;
                if (FindEnumValue(kSignalStateTable, name, state)) {
                    channel.m_signalState = static_cast<SignalState>(state);
                }
            });
            break;
        case kVisualMotionDetected:
            AtIndex(m_videoChannels, index, [flag](auto& c) { c.m_motionDetected = flag; });
            break;
        case kVisualMotionDetectionEnabled:
            AtIndex(m_videoChannels, index, [flag](auto& c) { c.m_detectMotion = flag; });
            break;
        case kVideoDefaultChannelChange:
            if (EntryAt(m_videoChannels, index) != nullptr) {
                m_videoDefaultChannel = index;
            }
            break;
        case kOutputPortRename:
            AtIndex(m_outputPorts, index, [&name](auto& p) { p.m_name = name; });
            break;
        case kOutputPortValueSet:
            AtIndex(m_outputPorts, index, [value](auto& p) { p.m_value = value; });
            break;
        default:
            break;  // kinds the status does not follow
    }
}

bool CaptureDeviceStatus::ApplyMonitorCommand(const MonitorCommand& command) {
    const int32_t index = command.m_index;
    switch (command.m_type) {
        case kChannelControlValueChange: {
            std::vector<WString>* controls = &m_controls;
            if (command.m_mediaType != kChannelGeneral) {
                // Serial ports have controls of their own, but no command addresses them.
                ChannelStatus* channel = command.m_mediaType != kChannelSerialPort
                                             ? FindChannel(*this, command.m_mediaType, index)
                                             : nullptr;
                controls = channel != nullptr ? &channel->m_controls : nullptr;
            }
            return ReplaceControl(controls, command.m_control, command.m_valueText);
        }
        case kChannelRatesChange:
        case kEncoderControlValueChange: {
            VideoChannelStatus* channel = EntryAt(m_videoChannels, index);
            const int32_t destination = command.m_mediaStreamDestination;
            if (command.m_mediaType != kChannelVideo || channel == nullptr ||
                !IsEncoderSet(destination)) {
                return false;
            }
            EncoderParameters& set = channel->m_encoderParameters[static_cast<size_t>(destination)];
            if (command.m_type == kEncoderControlValueChange) {
                return ReplaceControl(&set.m_encoderControls, command.m_control,
                                      command.m_valueText);
            }
            bool changed = false;
            if (command.m_frameRate > 0 && command.m_frameRate != set.m_frameRate) {
                set.m_frameRate = command.m_frameRate;
                changed = true;
            }
            if (command.m_bitrate >= 1 && command.m_bitrate != set.m_bitrate) {
                set.m_bitrate = command.m_bitrate;
                changed = true;
            }
            return changed;
        }
        default:
            return false;
    }
}

void CaptureDeviceStatus::AddToDevicesSummary(const CaptureDeviceConfig& config,
                                              const CaptureDeviceStatusExtension& extension,
                                              DevicesSummary& summary) const {
    DevicesSummary::DeviceEntry& entry = summary.m_devices.emplace_back();
    entry.m_deviceId = m_deviceId;
    entry.m_name = m_name;
    for (size_t i = 0; i < m_videoChannels.size(); ++i) {
        const VideoChannelStatus& channel = m_videoChannels[i];
        if (channel.m_enable) {
            entry.m_videoChannels.push_back({static_cast<int32_t>(i), channel.m_name,
                                             channel.m_streaming, channel.m_signalState});
        }
    }
    for (size_t i = 0; i < m_audioChannels.size(); ++i) {
        const AudioChannelStatus& channel = m_audioChannels[i];
        if (channel.m_enable) {
            entry.m_audioChannels.push_back(
                {static_cast<int32_t>(i), channel.m_name, channel.m_streaming, 0});
        }
    }
    for (size_t i = 0; i < m_inputPorts.size(); ++i) {
        int32_t defaultValue = 0;
        if (!config.GetInputPortDefaultValue(static_cast<int32_t>(i), defaultValue)) {
            break;  // ports the configuration does not know are not shown
        }
        entry.m_inputPorts.push_back({static_cast<int32_t>(i), m_inputPorts[i].m_name,
                                      m_inputPorts[i].m_value, defaultValue});
    }
    for (size_t i = 0; i < m_outputPorts.size(); ++i) {
        entry.m_outputPorts.push_back(
            {static_cast<int32_t>(i), m_outputPorts[i].m_name, m_outputPorts[i].m_value});
    }
    entry.m_partialPower = extension.m_partialPower;
    entry.m_chargingState = extension.m_chargingState;
}

bool CaptureDeviceStatus::GetVideoChannelUseSingleEncoder(int32_t index) const {
    const VideoChannelStatus* channel = EntryAt(m_videoChannels, index);
    return channel == nullptr || channel->m_useSingleEncoder;
}

int32_t CaptureDeviceStatus::GetVideoChannelBitrate(int32_t index, int32_t set) const {
    const EncoderParameters* parameters = EncoderSetAt(m_videoChannels, index, set);
    return parameters != nullptr ? parameters->m_bitrate : 0;
}

int32_t CaptureDeviceStatus::GetVideoChannelFrameRate(int32_t index, int32_t set) const {
    const EncoderParameters* parameters = EncoderSetAt(m_videoChannels, index, set);
    return parameters != nullptr ? parameters->m_frameRate : 0;
}

bool CaptureDeviceStatus::GetVideoChannelImageSize(int32_t index, int32_t set, int32_t& width,
                                                   int32_t& height) const {
    const EncoderParameters* parameters = EncoderSetAt(m_videoChannels, index, set);
    if (parameters == nullptr) {
        return false;
    }
    width = parameters->m_width;
    height = parameters->m_height;
    return true;
}

int32_t CaptureDeviceStatus::GetVideoChannelAudioChannel(int32_t index) const {
    const VideoChannelStatus* channel = EntryAt(m_videoChannels, index);
    return channel != nullptr ? channel->m_audioChannel : -1;
}

bool CaptureDeviceStatus::IsVideoChannelEnabled(int32_t index) const {
    const VideoChannelStatus* channel = EntryAt(m_videoChannels, index);
    return channel != nullptr && channel->m_enable;
}

bool CaptureDeviceStatus::IsAudioChannelEnabled(int32_t index) const {
    const AudioChannelStatus* channel = EntryAt(m_audioChannels, index);
    return channel != nullptr && channel->m_enable;
}

bool CaptureDeviceStatus::GetVideoChannelName(int32_t index, WString& name) const {
    const VideoChannelStatus* channel = EntryAt(m_videoChannels, index);
    if (channel == nullptr) {
        return false;
    }
    name = channel->m_name;
    return true;
}

bool CaptureDeviceStatus::GetAudioChannelName(int32_t index, WString& name) const {
    const AudioChannelStatus* channel = EntryAt(m_audioChannels, index);
    if (channel == nullptr) {
        return false;
    }
    name = channel->m_name;
    return true;
}

bool CaptureDeviceStatus::GetVideoChannelDeinterlace(int32_t index, bool defaultValue) const {
    const VideoChannelStatus* channel = EntryAt(m_videoChannels, index);
    return channel != nullptr ? channel->m_deinterlace : defaultValue;
}

bool CaptureDeviceStatus::GetVideoChannelDisplayFrameText(int32_t index) const {
    const VideoChannelStatus* channel = EntryAt(m_videoChannels, index);
    return channel != nullptr && channel->m_displayFrameText;
}

int32_t CaptureDeviceStatus::GetAudioChannelSampleRate(int32_t index) const {
    const AudioChannelStatus* channel = EntryAt(m_audioChannels, index);
    return channel != nullptr ? channel->m_sampleRate : 0;
}

bool CaptureDeviceStatus::GetInputPort(int32_t index, int32_t& value, WString& name) const {
    const InputPortStatus* port = EntryAt(m_inputPorts, index);
    if (port == nullptr) {
        return false;
    }
    value = port->m_value;
    name = port->m_name;
    return true;
}

bool CaptureDeviceStatus::GetAudioChannelFormat(int32_t index, AudioChannelFormat& format) const {
    const AudioChannelStatus* channel = EntryAt(m_audioChannels, index);
    if (channel == nullptr) {
        return false;
    }
    format.m_index = index;
    format.m_name = channel->m_name;
    format.m_bitrate = channel->m_bitrate;
    format.m_compressionAlgorithm = channel->m_compressionAlgorithm;
    format.m_sampleRate = channel->m_sampleRate;
    format.m_numberOfChannels = channel->m_numberOfChannels;
    format.m_channelSampleSize = channel->m_channelSampleSize;
    return true;
}

bool CaptureDeviceStatus::GetVideoChannelFormat(int32_t index, int32_t set,
                                                VideoChannelFormat& format) const {
    const VideoChannelStatus* channel = EntryAt(m_videoChannels, index);
    if (channel == nullptr || !IsEncoderSet(set)) {
        return false;
    }
    const EncoderParameters& parameters = channel->m_encoderParameters[static_cast<size_t>(
        channel->m_useSingleEncoder ? kBroadcastEncoderSet : set)];
    format.m_index = index;
    format.m_name = channel->m_name;
    format.m_compressionAlgorithm = channel->m_compressionAlgorithm;
    format.m_deinterlace = channel->m_deinterlace;
    format.m_bitrate = parameters.m_bitrate;
    format.m_width = parameters.m_width;
    format.m_height = parameters.m_height;
    format.m_frameRate = parameters.m_frameRate;
    return true;
}

bool CaptureDeviceStatus::IsChannelEnabled(int32_t channelType, int32_t index) const {
    if (channelType == kChannelEcgStream || channelType == kChannelDiagnosticStream ||
        channelType == kChannelTemperature) {
        return true;
    }
    const ChannelStatus* channel = FindChannel(*this, channelType, index);
    return channel != nullptr && channel->m_enable;
}

}  // namespace qav
