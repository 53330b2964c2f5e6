#include "records/capture_device_config.h"

#include "records/list_index.h"
#include "records/record_fields.h"

namespace qav {
namespace {

enum class ConfigForm { kFull, kForMonitor };

// An item "qav:CompressionAlgorithm" holding a codec's name. An id outside the codec table is
// written as an empty item and a name outside it read as "Undefined", so the positions of
// the other entries survive either way.
void SyncCodecItem(XmlElement item, uint32_t direction, CodecId& id) {
    if (direction != kSyncRead) {
        const WChar* name = CodecNameById(id);
        item.SetText(name != nullptr ? name : u"");
        return;
    }
    WString text;
    item.GetText(text);
    for (const CodecTableRow& row : kCodecTable) {
        if (text == row.name) {
            id = row.id;
            return;
        }
    }
}

// The identity: who the device is, its channels, engines, ports and diagnostic types.
void SerializeIdentity(CaptureDeviceConfig& record, XmlElement element, uint32_t direction,
                       ConfigForm form) {
    constexpr const WChar* kNs = kQavNamespaceUri;
    SyncTextAttribute(element, u"qav:DeviceModel", kNs, direction, record.m_deviceModel);
    SyncTextAttribute(element, u"qav:SoftwareVersion", kNs, direction, record.m_softwareVersion);
    SyncIntAttribute(element, u"qav:DeviceID", kNs, direction, record.m_deviceId);
    SyncTextAttribute(element, u"qav:HardwareID", kNs, direction, record.m_hardwareId);
    if (form == ConfigForm::kFull) {
        SyncTextAttribute(element, u"qav:Password", kNs, direction, record.m_password);
    }

    XmlElement video = SyncContainer(element, u"qav:VideoChannels", direction);
    SyncIntAttribute(video, u"qav:Quantity", kNs, direction, record.m_videoChannelQuantity);
    SyncIntAttribute(video, u"qav:NumEncodersPerChannel", kNs, direction,
                     record.m_numEncodersPerChannel);

    XmlElement audio = SyncContainer(element, u"qav:AudioChannels", direction);
    SyncIntAttribute(audio, u"qav:Quantity", kNs, direction, record.m_audioChannelQuantity);
    SyncIntAttribute(audio, u"qav:SubChannels", kNs, direction, record.m_audioSubChannels);

    XmlElement engines = SyncContainer(element, u"qav:PtzEngines", direction);
    SyncIntAttribute(engines, u"qav:PortNumber", kNs, direction, record.m_ptzPortNumber);
    SyncIntAttribute(engines, u"qav:SerialComBaudRate", kNs, direction, record.m_serialComBaudRate);
    SyncIntAttribute(engines, u"qav:MaxNumberOfPtzStoredLocations", kNs, direction,
                     record.m_maxNumberOfPtzStoredLocations);
    SyncList(engines, u"qav:PtzEngine", kQavNamespaceUri, direction, record.m_ptzEngines);

    SyncList(SyncContainer(element, u"qav:InputPorts", direction), u"qav:InputPort",
             kQavNamespaceUri, direction, record.m_inputPorts);
    SyncList(SyncContainer(element, u"qav:OutputPorts", direction), u"qav:OutputPort",
             kQavNamespaceUri, direction, record.m_outputPorts);
    SyncList(SyncContainer(element, u"qav:DiagnosticTypes", direction), u"qav:DiagnosticType",
             kQavNamespaceUri, direction, record.m_diagnosticTypes, SyncTextItem);
}

// What the device offers: formats, codecs, rates, controls, web interfaces, diagnostics.
void SerializeCapabilities(CaptureDeviceConfig& record, XmlElement element, uint32_t direction) {
    constexpr const WChar* kNs = kQavNamespaceUri;
    XmlElement audioOut = SyncContainer(element, u"qav:AudioOutChannels", direction);
    SyncIntAttribute(audioOut, u"qav:Quantity", kNs, direction, record.m_audioOutChannelQuantity);
    SyncIntAttribute(audioOut, u"qav:SubChannels", kNs, direction, record.m_audioOutSubChannels);

    Serialize(record.m_defaultImageSize, SyncContainer(element, u"qav:DefaultImageSize", direction),
              direction);
    SyncList(SyncContainer(element, u"qav:ImageSizes", direction), u"qav:ImageSize",
             kQavNamespaceUri, direction, record.m_imageSizes);
    SyncList(SyncContainer(element, u"qav:AudioSampleRates", direction), u"qav:SampleRate", kNs,
             direction, record.m_audioSampleRates, SyncIntItem);
    SyncList(SyncContainer(element, u"qav:VideoCompressionAlgorithms", direction),
             u"qav:CompressionAlgorithm", kNs, direction, record.m_videoCompressionAlgorithms,
             SyncCodecItem);
    SyncList(SyncContainer(element, u"qav:AudioCompressionAlgorithms", direction),
             u"qav:CompressionAlgorithm", kNs, direction, record.m_audioCompressionAlgorithms,
             SyncCodecItem);
    SyncCodecField(element, u"qav:DefaultVideoCompressionAlgorithm", direction,
                   record.m_defaultVideoCompressionAlgorithm);
    SyncCodecField(element, u"qav:DefaultAudioCompressionAlgorithm", direction,
                   record.m_defaultAudioCompressionAlgorithm);

    SyncIntField(element, u"qav:MaxVideoBitrate", kNs, direction, record.m_maxVideoBitrate);
    SyncIntField(element, u"qav:MinAudioBitrate", kNs, direction, record.m_minAudioBitrate);
    SyncIntField(element, u"qav:MaxAudioBitrate", kNs, direction, record.m_maxAudioBitrate);
    SyncIntField(element, u"qav:DefaultVideoBitrate", kNs, direction, record.m_defaultVideoBitrate);
    SyncIntField(element, u"qav:DefaultAudioBitrate", kNs, direction, record.m_defaultAudioBitrate);
    SyncIntField(element, u"qav:MaxVideoFrameRate", kNs, direction, record.m_maxVideoFrameRate);
    SyncIntField(element, u"qav:DefaultVideoFrameRate", kNs, direction,
                 record.m_defaultVideoFrameRate);

    SyncBoolField(element, u"qav:DefaultInterlacedFrames", direction,
                  record.m_defaultInterlacedFrames);
    SyncBoolField(element, u"qav:HasVideoFrameText", direction, record.m_hasVideoFrameText);
    SyncBoolField(element, u"qav:HasVisualMotionDetection", direction,
                  record.m_hasVisualMotionDetection);
    SyncBoolField(element, u"qav:HasFrameSyncDetection", direction, record.m_hasFrameSyncDetection);

    SyncIntField(element, u"qav:DefaultAudioSampleRate", kNs, direction,
                 record.m_defaultAudioSampleRate);
    SyncIntField(element, u"qav:DefaultNumberOfAudioChannels", kNs, direction,
                 record.m_defaultNumberOfAudioChannels);
    SyncIntField(element, u"qav:DefaultAudioChannelSampleSize", kNs, direction,
                 record.m_defaultAudioChannelSampleSize);

    // Peers expect the element, empty as it is.
    SyncContainer(element, u"qav:Capabilities", direction);
    SyncEnumAttribute(element, u"qav:VideoRotation", kNs, kVideoRotationTable, direction,
                      record.m_videoRotation);
    SyncIntField(element, u"qav:Timestamp", kNs, direction, record.m_timestamp);

    SyncList(SyncContainer(element, u"qav:AudioControls", direction), u"qav:Control",
             kQavNamespaceUri, direction, record.m_audioControls);
    SyncList(SyncContainer(element, u"qav:AudioOutControls", direction), u"qav:Control",
             kQavNamespaceUri, direction, record.m_audioOutControls);
    SyncList(SyncContainer(element, u"qav:VideoControls", direction), u"qav:Control",
             kQavNamespaceUri, direction, record.m_videoControls);
    SyncList(SyncContainer(element, u"qav:VideoEncoderControls", direction), u"qav:Control",
             kQavNamespaceUri, direction, record.m_videoEncoderControls);
    SyncList(SyncContainer(element, u"qav:DeviceControls", direction), u"qav:Control",
             kQavNamespaceUri, direction, record.m_deviceControls);
    SyncList(SyncContainer(element, u"qav:WebInterfaces", direction), u"qav:WebInterface",
             kQavNamespaceUri, direction, record.m_webInterfaces);
    SyncList(SyncContainer(element, u"qav:DiagnosticChannels", direction), u"qav:DiagnosticChannel",
             kQavNamespaceUri, direction, record.m_diagnosticChannels);

    XmlElement serial = SyncContainer(element, u"qav:SerialPorts", direction);
    SyncIntAttribute(serial, u"qav:Quantity", kNs, direction, record.m_serialPortQuantity);
    SyncIntAttribute(serial, u"qav:DefaultBaudRate", kNs, direction, record.m_defaultBaudRate);
}

// The device's own settings and codes: never for a monitor.
void SerializeDeviceSettings(CaptureDeviceConfig& record, XmlElement element, uint32_t direction) {
    constexpr const WChar* kNs = kQavNamespaceUri;
    SyncTextAttribute(element, u"qav:SMSCommandAuthCode", kNs, direction,
                      record.m_smsCommandAuthCode);
    SyncTextAttribute(element, u"qav:ConfigPassword", kNs, direction, record.m_configPassword);
    SyncTextAttribute(element, u"qav:ProductName", kNs, direction, record.m_productName);
    SyncBoolAttribute(element, u"qav:CanDisableConsole", kNs, direction,
                      record.m_canDisableConsole);
    SyncIntAttribute(element, u"qav:CustomizationCode", kNs, direction, record.m_customizationCode);

    XmlElement gps = SyncContainer(element, u"qav:GPS", direction);
    SyncBoolAttribute(gps, u"qav:Enable", kNs, direction, record.m_gpsEnabled);
    SyncBoolAttribute(gps, u"qav:Reset", kNs, direction, record.m_gpsReset);
    SyncBoolAttribute(SyncContainer(gps, u"qav:Standalone", direction), u"qav:Enable", kNs,
                      direction, record.m_standaloneGpsEnabled);
    SyncEnumAttribute(SyncContainer(gps, u"qav:Cellular", direction), u"qav:Mode", kNs,
                      kGpsModeTable, direction, record.m_cellularGpsMode);

    SyncBoolAttribute(SyncContainer(element, u"qav:MotionEstimation", direction), u"qav:Enable",
                      kNs, direction, record.m_motionEstimationEnabled);

    XmlElement inputs = SyncContainer(element, u"qav:InputPorts", direction);
    SyncIntAttribute(inputs, u"qav:BaseAddress", kNs, direction, record.m_inputPortsBaseAddress);
    SyncIntAttribute(inputs, u"qav:ProbeTime", kNs, direction, record.m_probeTime);

    XmlElement outputs = SyncContainer(element, u"qav:OutputPorts", direction);
    SyncIntAttribute(outputs, u"qav:BaseAddress", kNs, direction, record.m_outputPortsBaseAddress);
    SyncIntAttribute(outputs, u"qav:ResetIndex", kNs, direction, record.m_resetIndex);
    SyncIntAttribute(outputs, u"qav:PowerIndex", kNs, direction, record.m_powerIndex);

    XmlElement protocols = SyncContainer(element, u"qav:PtzProtocols", direction);
    SyncIntAttribute(protocols, u"qav:Index", kNs, direction, record.m_ptzProtocolIndex);
    SyncList(protocols, u"qav:Protocol", kQavNamespaceUri, direction, record.m_ptzProtocols,
             SyncTextItem);
}

void Serialize(CaptureDeviceConfig& record, XmlElement element, uint32_t direction,
               ConfigForm form = ConfigForm::kFull) {
    SerializeIdentity(record, element, direction, form);
    SerializeCapabilities(record, element, direction);
    if (form == ConfigForm::kFull) {
        SerializeDeviceSettings(record, element, direction);
    }
}

XmlElement NewRecordElement(XmlElement parent) {
    return parent.CreateChild(u"qav:CaptureDeviceConfig", kQavNamespaceUri);
}

}  // namespace

void CaptureDeviceConfig::WriteXml(XmlElement parent) {
    Serialize(*this, NewRecordElement(parent), kSyncWrite);
}

void CaptureDeviceConfig::WriteXmlForMonitor(XmlElement parent) {
    Serialize(*this, NewRecordElement(parent), kSyncWrite, ConfigForm::kForMonitor);
}

void CaptureDeviceConfig::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

uint32_t CaptureDeviceConfig::GetPayload(const uint8_t**&) {
    return 0;
}

int32_t CaptureDeviceConfig::GetTypeId() const {
    return kTypeId;
}

void CaptureDeviceConfig::Reset() {
    static_cast<CaptureDeviceConfigFields&>(*this) = CaptureDeviceConfigFields();
}

bool CaptureDeviceConfig::GetImageSize(int32_t index, WString& name, int32_t& width,
                                       int32_t& height, int32_t& maxVideoFrameRate) const {
    if (!IndexInList(index, m_imageSizes.size())) {
        return false;
    }
    const ImageSize& size = m_imageSizes[static_cast<size_t>(index)];
    name = size.m_name;
    width = size.m_width;
    height = size.m_height;
    maxVideoFrameRate = size.m_maxVideoFrameRate;
    return true;
}

namespace {

// The field of input port `index`; false for an index outside the list.
bool GetInputPortField(const std::vector<InputPortConfig>& ports, int32_t index,
                       int32_t InputPortConfig::*field, int32_t& value) {
    if (!IndexInList(index, ports.size())) {
        return false;
    }
    value = ports[static_cast<size_t>(index)].*field;
    return true;
}

}  // namespace

bool CaptureDeviceConfig::GetInputPortDefaultValue(int32_t index, int32_t& value) const {
    return GetInputPortField(m_inputPorts, index, &InputPortConfig::m_defaultValue, value);
}

bool CaptureDeviceConfig::GetInputPortDefaultVideoChannel(int32_t index, int32_t& value) const {
    return GetInputPortField(m_inputPorts, index, &InputPortConfig::m_defaultVideoChannel, value);
}

bool CaptureDeviceConfig::GetInputPortDefaultAudioChannel(int32_t index, int32_t& value) const {
    return GetInputPortField(m_inputPorts, index, &InputPortConfig::m_defaultAudioChannel, value);
}

}  // namespace qav
