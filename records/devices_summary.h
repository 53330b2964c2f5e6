// DevicesSummary: a compact list of capture devices, one entry per device a user may see —
// its name, its enabled channels, its ports and its battery — built from each device's
// status, configuration and status extension (CaptureDeviceStatus::AddToDevicesSummary)
// for the built-in web interface.
//
// Wire form: "qav:DevicesSummary" holding "qav:CaptureDevices" with one "qav:CaptureDevice"
// per entry:
//   <qav:CaptureDevice qav:DeviceID="7"><qav:Name>Van</qav:Name>
//   <qav:VideoChannels><qav:VideoChannel qav:SignalState="Detected"><qav:Index>0</qav:Index>
//   <qav:Name>Front</qav:Name><qav:Streaming>True</qav:Streaming></qav:VideoChannel>
//   </qav:VideoChannels><qav:AudioChannels/><qav:InputPorts/><qav:OutputPorts/>
//   <qav:Battery qav:ChargingState="Charging" qav:PartialPower="0.5"/></qav:CaptureDevice>
// A signal state, battery level or charging state that is unknown is left out.
//
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "core/wide_text.h"
#include "core/xml_element.h"
#include "core/xml_fields.h"
#include "records/xml_record.h"

namespace qav {

class DevicesSummary : public XmlRecord {
  public:
    static constexpr int32_t kTypeId = 12;

    // An entry read without "qav:Index" keeps -1, which names no channel.
    struct ChannelEntry {
        bool operator==(const ChannelEntry&) const = default;
        int32_t m_index = -1;
        WString m_name;
        bool m_streaming = false;
        SignalState m_signalState = 0;  // kSignalStateTable: "Unknown"
    };
    struct InputPortEntry {
        bool operator==(const InputPortEntry&) const = default;
        int32_t m_index = -1;
        WString m_name;
        int32_t m_value = -1;
        int32_t m_defaultValue = -1;
    };
    struct OutputPortEntry {
        bool operator==(const OutputPortEntry&) const = default;
        int32_t m_index = -1;
        WString m_name;
        int32_t m_value = -1;
    };
    struct DeviceEntry {
        bool operator==(const DeviceEntry&) const = default;
        int32_t m_deviceId = 0;
        WString m_name;
        std::vector<ChannelEntry> m_videoChannels;
        std::vector<ChannelEntry> m_audioChannels;
        std::vector<InputPortEntry> m_inputPorts;
        std::vector<OutputPortEntry> m_outputPorts;
        double m_partialPower = -1.0;  // battery level; below 0 unknown
        int32_t m_chargingState = 0;   // kChargingStateTable: "Unknown"
    };

    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    bool operator==(const DevicesSummary& other) const { return m_devices == other.m_devices; }

    void ClearDevices() { m_devices.clear(); }

    std::vector<DeviceEntry> m_devices;
};

// The device list into `element`, the record's own element (kSyncWrite), or from it
// (kSyncRead); a read without "qav:CaptureDevices" gives an empty list.
void Serialize(DevicesSummary& record, XmlElement element, uint32_t direction);

}  // namespace qav
