// CaptureDeviceConfig: what a capture device is and what it can do — its identity and
// passwords, channel counts, the image sizes, sample rates, codecs, bitrates and frame
// rates it offers with their defaults, its ports, pan-tilt-zoom engines, controls, web
// interfaces, diagnostic channels, serial ports, GPS and motion estimation. The device
// sends it whole; the node keeps it per device and hands each connecting monitor the
// reduced form.
//
// Wire form: "qav:CaptureDeviceConfig" carrying, in this order, the identity (attributes,
// "qav:VideoChannels", "qav:AudioChannels", "qav:PtzEngines", "qav:InputPorts",
// "qav:OutputPorts", "qav:DiagnosticTypes"), then the capabilities ("qav:AudioOutChannels"
// ... "qav:SerialPorts"), then the device settings (the codes and passwords as attributes,
// "qav:GPS", "qav:MotionEstimation", the ports' addresses, "qav:PtzProtocols").
//
// The reduced form (WriteXmlForMonitor) leaves out the device settings and the device
// password: a monitor never receives a secret of the device.
//
// Used by one thread at a time; the tables are constant.
#pragma once

#include <cstdint>
#include <vector>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_fields.h"
#include "records/device_config_items.h"
#include "records/xml_record.h"

namespace qav {

inline constexpr EnumTextRow kGpsModeTable[] = {
    {0, u"None"},
    {1, u"Base"},
    {2, u"Assisted"},
};

// Reading also takes "False" and "True"; writing gives "No", "Yes" or "Viewer Only".
inline constexpr EnumTextRow kVideoRotationTable[] = {
    {0, u"No"}, {1, u"Yes"}, {2, u"Viewer Only"}, {0, u"False"}, {1, u"True"},
};

// The record's values apart from its XML behaviour, so that they reset and compare whole.
struct CaptureDeviceConfigFields {
    bool operator==(const CaptureDeviceConfigFields&) const = default;

    WString m_deviceModel;
    WString m_softwareVersion;
    WString m_password;  // never in the reduced form
    WString m_hardwareId;
    WString m_smsCommandAuthCode;
    WString m_configPassword;
    WString m_productName;
    int32_t m_deviceId = 0;
    int32_t m_videoChannelQuantity = 0;
    int32_t m_audioChannelQuantity = 0;
    int32_t m_audioOutChannelQuantity = 0;
    int32_t m_audioSubChannels = 2;
    int32_t m_audioOutSubChannels = 2;
    int32_t m_serialPortQuantity = 0;
    ImageSize m_defaultImageSize;
    std::vector<ImageSize> m_imageSizes;
    std::vector<CodecId> m_videoCompressionAlgorithms;
    std::vector<CodecId> m_audioCompressionAlgorithms;
    CodecId m_defaultVideoCompressionAlgorithm = 0;  // "Undefined"
    CodecId m_defaultAudioCompressionAlgorithm = 0;
    int32_t m_maxVideoBitrate = 0;
    int32_t m_minAudioBitrate = 0;
    int32_t m_maxAudioBitrate = 0;
    int32_t m_defaultVideoBitrate = 0;
    int32_t m_defaultAudioBitrate = 0;
    int32_t m_maxVideoFrameRate = 0;
    int32_t m_defaultVideoFrameRate = 0;
    int32_t m_defaultAudioSampleRate = 0;
    int32_t m_defaultNumberOfAudioChannels = 0;
    int32_t m_defaultAudioChannelSampleSize = 0;
    int32_t m_inputPortsBaseAddress = 0;
    int32_t m_outputPortsBaseAddress = 0;
    int32_t m_numEncodersPerChannel = 1;
    int32_t m_resetIndex = -1;  // output port; -1 none
    int32_t m_powerIndex = -1;  // output port; -1 none
    int32_t m_customizationCode = 0;
    int32_t m_defaultBaudRate = 0;
    bool m_defaultInterlacedFrames = false;
    bool m_hasVideoFrameText = false;
    bool m_hasVisualMotionDetection = false;
    bool m_hasFrameSyncDetection = false;
    bool m_gpsEnabled = false;
    bool m_gpsReset = false;
    bool m_canDisableConsole = false;
    bool m_motionEstimationEnabled = false;
    bool m_standaloneGpsEnabled = false;
    int32_t m_videoRotation = 0;    // kVideoRotationTable: "No"
    int32_t m_cellularGpsMode = 0;  // kGpsModeTable: "None"
    std::vector<int32_t> m_audioSampleRates;
    std::vector<OutputPortConfig> m_outputPorts;
    std::vector<InputPortConfig> m_inputPorts;
    int32_t m_probeTime = 0;
    std::vector<WString> m_ptzProtocols;
    int32_t m_ptzPortNumber = 0;
    int32_t m_serialComBaudRate = 0;
    int32_t m_maxNumberOfPtzStoredLocations = 0;
    int32_t m_ptzProtocolIndex = 0;
    std::vector<PtzEngineConfig> m_ptzEngines;
    std::vector<WString> m_diagnosticTypes;
    std::vector<DeviceControl> m_audioControls;
    std::vector<DeviceControl> m_audioOutControls;
    std::vector<DeviceControl> m_videoControls;
    std::vector<DeviceControl> m_videoEncoderControls;
    std::vector<DeviceControl> m_deviceControls;
    std::vector<WebInterface> m_webInterfaces;
    std::vector<DiagnosticChannel> m_diagnosticChannels;
    int32_t m_timestamp = 0;
};

class CaptureDeviceConfig : public XmlRecord, public CaptureDeviceConfigFields {
  public:
    static constexpr int32_t kTypeId = 3;
    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    // Appends the reduced form: the identity without the password, and the capabilities.
    void WriteXmlForMonitor(XmlElement parent);

    // Every field back to its default, every list emptied.
    void Reset();

    bool operator==(const CaptureDeviceConfig& other) const {
        return static_cast<const CaptureDeviceConfigFields&>(*this) ==
               static_cast<const CaptureDeviceConfigFields&>(other);
    }

    // Each copies entry `index`; false, the outputs untouched, for an index outside the
    // list.
    bool GetImageSize(int32_t index, WString& name, int32_t& width, int32_t& height,
                      int32_t& maxVideoFrameRate) const;
    bool GetInputPortDefaultValue(int32_t index, int32_t& value) const;
    bool GetInputPortDefaultVideoChannel(int32_t index, int32_t& value) const;
    bool GetInputPortDefaultAudioChannel(int32_t index, int32_t& value) const;
};

}  // namespace qav
