#include "records/capture_device_command.h"

#include <array>
#include <initializer_list>
#include <utility>

#include "core/text_utils.h"
#include "records/list_index.h"

namespace qav {
namespace {

// Channel kinds (kChannelTypeTable) that decide a command's permission.
constexpr int32_t kVideo = 1;
constexpr int32_t kAudio = 2;
constexpr int32_t kVideoOut = 6;
constexpr int32_t kAudioOut = 7;
constexpr int32_t kEcgStream = 9;
constexpr int32_t kDiagnosticStream = 10;
constexpr int32_t kTemperature = 12;
constexpr int32_t kSerialPort = 13;

// Watching or hearing a stream, or sending one to the device.
int32_t StreamFeature(int32_t mediaType) {
    switch (mediaType) {
        case kVideo:
        case kDiagnosticStream:
            return kFeatureWatchVideo;
        case kAudio:
        case kEcgStream:
        case kTemperature:
        case kSerialPort:
            return kFeatureHearAudio;
        case kVideoOut:
            return kFeatureBroadcastVideo;
        case kAudioOut:
            return kFeatureBroadcastAudio;
        default:
            return kFeatureSetMiscParameters;
    }
}

int32_t ChannelParametersFeature(int32_t mediaType) {
    switch (mediaType) {
        case kVideo:
        case kVideoOut:
            return kFeatureSetVideoParameters;
        case kAudio:
        case kAudioOut:
            return kFeatureSetAudioParameters;
        default:
            return kFeatureSetMiscParameters;
    }
}

int32_t ChannelResetFeature(int32_t mediaType) {
    switch (mediaType) {
        case kVideo:
            return kFeatureResetVideo;
        case kAudio:
            return kFeatureResetAudio;
        default:
            return kFeatureSetMiscParameters;
    }
}

int32_t RecordingFeature(const CaptureDeviceCommand& command) {
    if (command.m_videoChannel >= 0) {
        return kFeatureRecordVideo;
    }
    return command.m_audioChannel >= 0 ? kFeatureRecordAudio : kFeatureUndefined;
}

// How each type's permission is found: a fixed feature, or one picked by the channel kind
// or the channels of a recording.
enum class Rule : uint8_t { kFixed, kStream, kChannelParameters, kChannelReset, kRecording };

struct Requirement {
    Rule rule = Rule::kFixed;
    int32_t feature = kFeatureUnknownCommand;
};

constexpr auto kRequirementByType = [] {
    std::array<Requirement, 110> byType{};  // type 0 is no command
    const auto set = [&byType](Requirement requirement, std::initializer_list<int> types) {
        for (const int type : types) {
            byType[static_cast<size_t>(type)] = requirement;
        }
    };
    const auto fixed = [](int32_t feature) { return Requirement{Rule::kFixed, feature}; };
    set({Rule::kStream}, {1, 2, 46, 58});
    set({Rule::kChannelParameters}, {3, 4, 5, 8, 9, 10, 11, 71, 100, 106});
    set(fixed(kFeatureNaming), {6, 7, 15, 16, 25, 31});
    set(fixed(kFeatureSetPortValues), {12, 83, 84});
    set({Rule::kRecording}, {13});
    set(fixed(kFeatureModifyRecordings), {14, 44, 45, 57});
    set(fixed(kFeatureResetDevice), {17});
    set(fixed(kFeatureEnabling), {18});
    set({Rule::kChannelReset}, {19, 20});
    set(fixed(kFeatureMoveCamera), {21, 23, 30, 34});
    set(fixed(kFeatureSaveCameraLocation), {22});
    set(fixed(kFeatureZoomCamera), {24, 27, 28});
    set(fixed(kFeatureResetCameraLocations), {26, 29, 32, 33});
    set(fixed(kFeaturePlayback),
        {35, 36, 37, 38, 39, 40, 41, 42, 43, 59, 72, 93, 96, 99, 101, 103});
    set(fixed(kFeatureSetMiscParameters),
        {47, 54, 55, 56, 60, 75, 76, 77, 78, 80, 81, 82, 85, 86, 87, 92, 104, 105, 107, 108, 109});
    set(fixed(kFeatureSetSmsParameters), {49, 50, 51, 52, 61, 63, 64, 65, 66, 67, 68, 73, 74, 79});
    set(fixed(kFeatureAddEvents), {62, 69});
    set(fixed(kFeatureSetVideoParameters), {70, 88, 89, 90, 102});
    set(fixed(kFeatureUndefined), {48, 53, 91, 94, 95, 97, 98});
    return byType;
}();

// Every type of the table has its rule.
static_assert([] {
    for (size_t type = 1; type < kRequirementByType.size(); ++type) {
        const Requirement& requirement = kRequirementByType[type];
        if (requirement.rule == Rule::kFixed && requirement.feature == kFeatureUnknownCommand) {
            return false;
        }
    }
    return true;
}());

}  // namespace

void CaptureDeviceCommand::Reset() {
    std::vector<int32_t> indices = std::move(m_indices);
    static_cast<CaptureDeviceCommandFields&>(*this) = CaptureDeviceCommandFields();
    m_indices = std::move(indices);
}

void CaptureDeviceCommand::WriteXml(XmlElement parent) {
    if (m_type != 0) {
        Serialize(*this, parent.CreateChild(u"qav:CaptureDeviceCommand", kQavNamespaceUri),
                  kSyncWrite);
    }
}

void CaptureDeviceCommand::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

// Only the two types whose XML announces the length have an attachment: a length left
// over from an earlier message would make the peer take the bytes that follow for one.
uint32_t CaptureDeviceCommand::GetPayload(const uint8_t**& payload) {
    if ((m_type != kSetGeofences && m_type != kSend) || m_dataSize < 0) {
        return 0;
    }
    payload = &m_payload;
    return static_cast<uint32_t>(m_dataSize);
}

int32_t CaptureDeviceCommand::GetTypeId() const {
    return kTypeId;
}

void CaptureDeviceCommand::AddMonitorToChain(int32_t monitorId) {
    WString id;
    IntToWString(monitorId, id);
    m_monitorsChain = m_monitorsChain.empty() ? id : id + u"," + m_monitorsChain;
}

const WChar* GetCommandTypeName(const CaptureDeviceCommand& command) {
    return FindEnumText(kCaptureDeviceCommandTypeTable, static_cast<uint32_t>(command.m_type));
}

int32_t GetRequiredDeviceFeature(const CaptureDeviceCommand& command) {
    // Fails closed: a type this node does not know is no command it may let pass.
    if (!IndexInList(command.m_type, kRequirementByType.size())) {
        return kFeatureUnknownCommand;
    }
    const Requirement requirement = kRequirementByType[static_cast<size_t>(command.m_type)];
    switch (requirement.rule) {
        case Rule::kStream:
            return StreamFeature(command.m_mediaType);
        case Rule::kChannelParameters:
            return ChannelParametersFeature(command.m_mediaType);
        case Rule::kChannelReset:
            return ChannelResetFeature(command.m_mediaType);
        case Rule::kRecording:
            return RecordingFeature(command);
        case Rule::kFixed:
            break;
    }
    return requirement.feature;
}

bool IsServerCommandOtherThanRecording(const CaptureDeviceCommand& command) {
    return command.m_machineRole == kMachineRoleServer &&
           command.m_type != CaptureDeviceCommand::kStartRecording &&
           command.m_type != CaptureDeviceCommand::kStopRecording;
}

}  // namespace qav
