// CaptureDeviceRules: the rules a capture device works by — the media streams it publishes
// or takes in, its port wake-up and cellular modem switch, port forwarding, when it sends
// text messages, its central location and distance trigger, motion detection and power
// and rotation per video channel, its battery and temperature limits, local control,
// audio channel grouping and its clock. The device sends it; the node keeps one per
// device, keeps it current with the device's events and hands monitors the reduced form.
//
// Wire form: "qav:CaptureDeviceRules" carrying, in this order, the general part
// (qav:DeviceID, "qav:MediaStreams", "qav:Ports", "qav:ForwardingRules"), the device part
// ("qav:PhoneTextMessages", "qav:Location", "qav:MotionDetection",
// "qav:VideoChannelRules", "qav:Battery", "qav:TemperatureLimits"), the local part
// ("qav:LocalControl", "qav:AudioChannelRules") and "qav:Time" with the clock
// ("qav:Synchronization", "qav:NTP") and the time zone ("qav:Zone").
//
// The reduced form (WriteXmlForMonitor) leaves out the local part and the clock's
// synchronisation and time server: a monitor learns the device's zone, not how the
// device is run on the spot nor where it takes its time from.
//
// Used by one thread at a time; the tables are constant.
#pragma once

#include <cstdint>
#include <vector>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "records/capture_device_event.h"
#include "records/device_rules_items.h"
#include "records/local_network_parameters.h"
#include "records/xml_record.h"

namespace qav {

inline constexpr EnumTextRow kInitialOperationModeTable[] = {
    {0, u"Online"},    {1, u"Offline"}, {2, u"Broadcast Recording"}, {3, u"Offline Recording"},
    {4, u"Low Power"},
};

inline constexpr EnumTextRow kAudioChannelsGroupingTable[] = {
    {0, u"Fixed"},
    {1, u"Multiple Subchannels"},
    {2, u"Multiple Channels"},
};

inline constexpr const WChar* kDefaultNtpServerAddress = u"pool.ntp.org";

// The record's values apart from its XML behaviour, so that they copy and compare whole.
struct CaptureDeviceRulesFields {
    bool operator==(const CaptureDeviceRulesFields&) const = default;

    int32_t m_deviceId = 0;
    // When the device sends text messages.
    bool m_sendOnContactAlarm = true;
    bool m_sendOnMotionDetection = true;
    bool m_sendOnLocationEvent = false;
    bool m_sendOnBatteryEvent = false;
    bool m_sendOnTemperatureEvent = false;
    bool m_storage = false;  // on storage events
    int32_t m_minimalTime = 60;
    // The central location and its distance trigger.
    double m_latitude = 0.0;
    double m_longitude = 0.0;
    int32_t m_distance = 1000;
    bool m_centralLocationEnable = false;
    bool m_distanceTriggerActive = false;  // never on the wire
    std::vector<VMDChParams> m_vmdChannels;
    std::vector<VideoChannelRule> m_videoChannelRules;
    int32_t m_audioChannelsGrouping = 0;  // kAudioChannelsGroupingTable: "Fixed"
    std::vector<MediaOutputStream> m_mediaOutputStreams;
    std::vector<MediaInputStream> m_mediaInputStreams;
    bool m_hasMinPartialPower = false;
    double m_minPartialPower = 0.3;
    std::vector<TemperatureLimitsEntry> m_temperatureLimits;
    int32_t m_portWakeupMinutes = -1;
    bool m_cellularModemEnable = true;
    std::vector<ForwardingRule> m_forwardingRules;
    // The clock.
    bool m_ntpEnable = true;
    bool m_synchronizationNtp = true;
    bool m_synchronizationLocation = false;
    bool m_zoneDst = false;
    WString m_zoneName;
    WString m_ntpServerAddress = kDefaultNtpServerAddress;
    int32_t m_zoneMinutes = 0;  // offset of the zone
    bool m_localControlEnable = false;
    int32_t m_initialOperationMode = 0;  // kInitialOperationModeTable: "Online"
};

class CaptureDeviceRules : public XmlRecord, public CaptureDeviceRulesFields {
  public:
    static constexpr int32_t kTypeId = 5;
    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    // Appends the reduced form: the general and device parts and the time zone alone.
    void WriteXmlForMonitor(XmlElement parent);

    bool operator==(const CaptureDeviceRules& other) const {
        return static_cast<const CaptureDeviceRulesFields&>(*this) ==
               static_cast<const CaptureDeviceRulesFields&>(other);
    }

    // Copies media output stream `index`; false, the outputs untouched, outside the list.
    bool GetMediaStreamEntry(int32_t index, bool& enable, WString& name, WString& address,
                             WString& userName, WString& password, int32_t& videoChannel,
                             int32_t& audioChannel, int32_t& transportProtocol) const;
    // Erases media output stream `index`, the later ones moving up; false outside the list.
    bool RemoveMediaOutputStream(int32_t index);

    // The first entry named exactly `name`; null when none is.
    TemperatureLimitsEntry* FindTemperatureLimitsEntry(WStringView name);
    // Set the limit of the entry named `name`; true when that changed its limit or mask. A
    // name no entry has changes nothing (no entry is added) and gives false.
    bool SetMinimumTemperatureLimit(WStringView name, int32_t value);
    bool SetMaximumTemperatureLimit(WStringView name, int32_t value);

    // Follows one event of the device (kinds 20 to 78 concern the rules). An index outside
    // its list changes nothing.
    void ApplyEvent(const CaptureDeviceEvent& event);
};

}  // namespace qav
