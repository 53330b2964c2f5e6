// CaptureDeviceStatus: what a capture device reports about itself — its identity, its
// video, audio, audio-out and serial channels with their live encoder state, its ports,
// pan-tilt-zoom engines, text-message contacts, recorder storage, connection and a few
// flags. The device sends it; the node keeps one per device, passes it on to monitors and
// keeps it current by applying the device's later events and the monitor commands that
// change channel controls and rates.
//
// Wire form: "qav:CaptureDeviceStatus" with the device id, "qav:CanSleep" and
// "qav:PortWakeup" as attributes, then in this order "qav:Name", "qav:InputPorts",
// "qav:OutputPorts", "qav:Modem", "qav:RestartPeriod", "qav:VideoChannels",
// "qav:AudioChannels", "qav:AudioOutChannels", "qav:SerialPorts", "qav:MediaRecorderStatus",
// "qav:PtzEngines", "qav:Streaming", "qav:GPS", "qav:PhoneTextMessages", "qav:Connection"
// and "qav:Controls" (written also when empty).
//
// Indices from outside (events, commands, getter arguments) are checked against the lists:
// one that names no entry changes nothing and reads as the getter's fallback.
//
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "core/wide_text.h"
#include "records/capture_device_event.h"
#include "records/channel_format.h"
#include "records/channel_status.h"
#include "records/monitor_command.h"
#include "records/phone_entry.h"
#include "records/port_status.h"
#include "records/ptz_engine.h"
#include "records/recordings_list.h"
#include "records/xml_record.h"

namespace qav {

class CaptureDeviceConfig;
class CaptureDeviceStatusExtension;
class DevicesSummary;

// The record's values apart from its XML behaviour and its recordings list, so that they
// compare whole.
struct CaptureDeviceStatusFields {
    bool operator==(const CaptureDeviceStatusFields&) const = default;

    int32_t m_deviceId = 0;
    WString m_name;
    std::vector<WString> m_controls;
    std::vector<VideoChannelStatus> m_videoChannels;
    std::vector<AudioChannelStatus> m_audioChannels;
    std::vector<AudioChannelStatus> m_audioOutChannels;
    std::vector<SerialPortStatus> m_serialPorts;
    std::vector<InputPortStatus> m_inputPorts;
    std::vector<OutputPortStatus> m_outputPorts;
    std::vector<PtzEngine> m_ptzEngines;
    std::vector<PhoneEntry> m_phoneEntries;
    WString m_phoneText;
    WString m_connectionTechnology;
    WString m_providerName;
    WString m_imei;
    int32_t m_maxPacketSize = 1000;
    int32_t m_videoDefaultChannel = 0;
    int32_t m_audioDefaultChannel = 0;  // kept in memory only, never on the wire
    int32_t m_restartPeriod = 0;
    bool m_gpsActive = false;
    bool m_hasRecordableStorage = false;
    bool m_phoneTextActive = false;  // sending text messages is possible
    bool m_phoneTextEnable = false;  // sending text messages is enabled
    bool m_canSleep = false;
    bool m_portWakeup = false;
};

class CaptureDeviceStatus : public XmlRecord, public CaptureDeviceStatusFields {
  public:
    static constexpr int32_t kTypeId = 4;
    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    bool operator==(const CaptureDeviceStatus& other) const;

    // Keeps the status current with what the device reports; an event of a kind that does
    // not concern the status, or naming no entry of the list it addresses, changes nothing.
    void ApplyEvent(const CaptureDeviceEvent& event);
    // Applies a control or rate change that a monitor was told of; true when a field
    // changed.
    bool ApplyMonitorCommand(const MonitorCommand& command);

    // Appends this device's entry to `summary`: its enabled video and audio channels, its
    // input ports as far as `config` gives their default values, its output ports, and the
    // battery of `extension`.
    void AddToDevicesSummary(const CaptureDeviceConfig& config,
                             const CaptureDeviceStatusExtension& extension,
                             DevicesSummary& summary) const;

    // Channel facts by index; `set` is kBroadcastEncoderSet or kRecordingEncoderSet. An
    // index naming no channel, or another set, gives the fallback in the comment and leaves
    // the outputs untouched.
    bool GetVideoChannelUseSingleEncoder(int32_t index) const;           // true
    int32_t GetVideoChannelBitrate(int32_t index, int32_t set) const;    // 0
    int32_t GetVideoChannelFrameRate(int32_t index, int32_t set) const;  // 0
    bool GetVideoChannelImageSize(int32_t index, int32_t set, int32_t& width,
                                  int32_t& height) const;                         // false
    int32_t GetVideoChannelAudioChannel(int32_t index) const;                     // -1
    bool IsVideoChannelEnabled(int32_t index) const;                              // false
    bool IsAudioChannelEnabled(int32_t index) const;                              // false
    bool GetVideoChannelName(int32_t index, WString& name) const;                 // false
    bool GetAudioChannelName(int32_t index, WString& name) const;                 // false
    bool GetVideoChannelDeinterlace(int32_t index, bool defaultValue) const;      // defaultValue
    bool GetVideoChannelDisplayFrameText(int32_t index) const;                    // false
    int32_t GetAudioChannelSampleRate(int32_t index) const;                       // 0
    bool GetInputPort(int32_t index, int32_t& value, WString& name) const;        // false
    bool GetAudioChannelFormat(int32_t index, AudioChannelFormat& format) const;  // false
    // The broadcast set stands in for `set` when the channel uses a single encoder.
    bool GetVideoChannelFormat(int32_t index, int32_t set,
                               VideoChannelFormat& format) const;  // false
    // By ChannelType (kChannelTypeTable): video, audio, audio-out and serial channels by
    // their Enable; ECG, diagnostic and temperature streams always; anything else false.
    bool IsChannelEnabled(int32_t channelType, int32_t index) const;

    RecordingsList m_recordings;
};

// The record's fields into `element`, its own element (kSyncWrite), or from it (kSyncRead).
void Serialize(CaptureDeviceStatus& record, XmlElement element, uint32_t direction);

}  // namespace qav
