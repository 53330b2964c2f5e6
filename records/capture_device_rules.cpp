#include "records/capture_device_rules.h"

#include <cmath>

#include "core/xml_fields.h"
#include "records/device_config_items.h"
#include "records/list_index.h"
#include "records/record_fields.h"

namespace qav {
namespace {

constexpr const WChar* kNs = kQavNamespaceUri;

// The media streams, the ports' wake-up and the forwarding rules.
void SerializeGeneral(CaptureDeviceRules& record, XmlElement element, uint32_t direction) {
    SyncIntAttribute(element, u"qav:DeviceID", kNs, direction, record.m_deviceId);

    const XmlElement streams = SyncContainer(element, u"qav:MediaStreams", direction);
    const XmlElement outputs = SyncContainer(streams, u"qav:MediaOutputStreams", direction);
    const XmlElement inputs = SyncContainer(streams, u"qav:MediaInputStreams", direction);
    SyncList(outputs, u"qav:MediaOutputStream", kQavNamespaceUri, direction,
             record.m_mediaOutputStreams);
    SyncList(inputs, u"qav:MediaInputStream", kQavNamespaceUri, direction,
             record.m_mediaInputStreams);

    const XmlElement wakeup = SyncContainer(SyncContainer(element, u"qav:Ports", direction),
                                            u"qav:PortWakeup", direction);
    SyncIntAttribute(wakeup, u"qav:Minutes", kNs, direction, record.m_portWakeupMinutes);
    SyncBoolAttribute(SyncContainer(wakeup, u"qav:CellularModem", direction), u"qav:Enable", kNs,
                      direction, record.m_cellularModemEnable);

    SyncList(SyncContainer(element, u"qav:ForwardingRules", direction), u"qav:ForwardingRule", kNs,
             direction, record.m_forwardingRules);
}

// Text messages, central location, motion detection, video channels, battery, sensors.
void SerializeDevice(CaptureDeviceRules& record, XmlElement element, uint32_t direction) {
    const XmlElement phone = SyncContainer(element, u"qav:PhoneTextMessages", direction);
    SyncBoolAttribute(phone, u"qav:SendOnContactAlarm", kNs, direction,
                      record.m_sendOnContactAlarm);
    SyncBoolAttribute(phone, u"qav:SendOnMotionDetection", kNs, direction,
                      record.m_sendOnMotionDetection);
    SyncBoolAttribute(phone, u"qav:SendOnLocationEvent", kNs, direction,
                      record.m_sendOnLocationEvent);
    SyncBoolAttribute(phone, u"qav:SendOnBatteryEvent", kNs, direction,
                      record.m_sendOnBatteryEvent);
    SyncBoolAttribute(phone, u"qav:SendOnTemperatureEvent", kNs, direction,
                      record.m_sendOnTemperatureEvent);
    SyncBoolAttribute(phone, u"qav:Storage", kNs, direction, record.m_storage);
    SyncIntAttribute(phone, u"qav:MinimalTime", kNs, direction, record.m_minimalTime);

    const XmlElement central = SyncContainer(SyncContainer(element, u"qav:Location", direction),
                                             u"qav:CentralLocation", direction);
    SyncBoolAttribute(central, u"qav:Enable", kNs, direction, record.m_centralLocationEnable);
    SyncFiniteDoubleAttribute(central, u"qav:Latitude", kNs, direction, record.m_latitude);
    SyncFiniteDoubleAttribute(central, u"qav:Longitude", kNs, direction, record.m_longitude);
    SyncIntAttribute(central, u"qav:Distance", kNs, direction, record.m_distance);

    SyncList(SyncContainer(SyncContainer(element, u"qav:MotionDetection", direction),
                           u"qav:VMDChParamsVec", direction),
             u"qav:VMDChParams", kQavNamespaceUri, direction, record.m_vmdChannels);
    SyncList(SyncContainer(SyncContainer(element, u"qav:VideoChannelRules", direction),
                           u"qav:VideoChannels", direction),
             u"qav:VideoChannel", kQavNamespaceUri, direction, record.m_videoChannelRules);

    const XmlElement battery = SyncContainer(element, u"qav:Battery", direction);
    if (direction == kSyncRead) {
        record.m_hasMinPartialPower = SyncFiniteDoubleAttribute(
            battery, u"qav:MinPartialPower", kNs, direction, record.m_minPartialPower);
    } else if (record.m_hasMinPartialPower) {
        SyncFiniteDoubleAttribute(battery, u"qav:MinPartialPower", kNs, direction,
                                  record.m_minPartialPower);
    }

    SyncList(SyncContainer(element, u"qav:TemperatureLimits", direction),
             u"qav:TemperatureLimitsEntry", kQavNamespaceUri, direction,
             record.m_temperatureLimits);
}

// What only the device's own site decides: local control and audio channel grouping.
void SerializeLocal(CaptureDeviceRules& record, XmlElement element, uint32_t direction) {
    const XmlElement local = SyncContainer(element, u"qav:LocalControl", direction);
    SyncBoolAttribute(local, u"qav:Enable", kNs, direction, record.m_localControlEnable);
    if (record.m_localControlEnable) {
        SyncEnumAttribute(local, u"qav:InitialOperationMode", kNs, kInitialOperationModeTable,
                          direction, record.m_initialOperationMode);
    }
    SyncEnumAttribute(SyncContainer(element, u"qav:AudioChannelRules", direction),
                      u"qav:AudioChannelsGrouping", kNs, kAudioChannelsGroupingTable, direction,
                      record.m_audioChannelsGrouping);
}

// Where the device takes its time from; `time` is "qav:Time".
void SerializeClock(CaptureDeviceRules& record, XmlElement time, uint32_t direction) {
    const XmlElement synchronization = SyncContainer(time, u"qav:Synchronization", direction);
    SyncBoolAttribute(synchronization, u"qav:NTP", kNs, direction, record.m_synchronizationNtp);
    const XmlElement ntp = SyncContainer(time, u"qav:NTP", direction);
    SyncBoolAttribute(ntp, u"qav:Enable", kNs, direction, record.m_ntpEnable);
    SyncTextAttribute(ntp, u"qav:ServerAddress", kNs, direction, record.m_ntpServerAddress);
    SyncBoolAttribute(SyncContainer(synchronization, u"qav:Location", direction), u"qav:Enable",
                      kNs, direction, record.m_synchronizationLocation);
}

void SerializeZone(CaptureDeviceRules& record, XmlElement time, uint32_t direction) {
    const XmlElement zone = SyncContainer(time, u"qav:Zone", direction);
    SyncTextAttribute(zone, u"qav:Name", kNs, direction, record.m_zoneName);
    SyncIntAttribute(zone, u"qav:Minutes", kNs, direction, record.m_zoneMinutes);
    SyncBoolAttribute(zone, u"qav:DST", kNs, direction, record.m_zoneDst);
}

void Serialize(CaptureDeviceRules& record, XmlElement element, uint32_t direction) {
    SerializeGeneral(record, element, direction);
    SerializeDevice(record, element, direction);
    SerializeLocal(record, element, direction);
    const XmlElement time = SyncContainer(element, u"qav:Time", direction);
    SerializeClock(record, time, direction);
    SerializeZone(record, time, direction);
}

// Mask bit `bit` and `limit` of the entry named `name` set to `value`; true when either
// changed.
bool SetTemperatureLimit(CaptureDeviceRules& record, WStringView name, uint32_t bit,
                         int32_t TemperatureLimitsEntry::*limit, int32_t value) {
    TemperatureLimitsEntry* entry = record.FindTemperatureLimitsEntry(name);
    if (entry == nullptr) {
        return false;
    }
    const bool changed = (entry->m_mask & bit) == 0 || entry->*limit != value;
    entry->m_mask |= bit;
    entry->*limit = value;
    return changed;
}

void ClearTemperatureLimit(CaptureDeviceRules& record, WStringView name, uint32_t bit) {
    if (TemperatureLimitsEntry* entry = record.FindTemperatureLimitsEntry(name)) {
        entry->m_mask &= ~bit;
    }
}

// A threshold event on VMD entry `index`: a value of 0 or more sets the threshold, a
// negative one switches it off.
void ApplyVmdThreshold(CaptureDeviceRules& record, int32_t index, uint32_t bit,
                       int32_t VMDChParams::*threshold, int32_t value) {
    if (VMDChParams* entry = EntryAt(record.m_vmdChannels, index)) {
        if (value >= 0) {
            entry->m_mask |= bit;
            entry->*threshold = value;
        } else {
            entry->m_mask &= ~bit;
        }
    }
}

}  // namespace

void CaptureDeviceRules::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(u"qav:CaptureDeviceRules", kNs), kSyncWrite);
}

void CaptureDeviceRules::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

void CaptureDeviceRules::WriteXmlForMonitor(XmlElement parent) {
    const XmlElement element = parent.CreateChild(u"qav:CaptureDeviceRules", kNs);
    SerializeGeneral(*this, element, kSyncWrite);
    SerializeDevice(*this, element, kSyncWrite);
    SerializeZone(*this, SyncContainer(element, u"qav:Time", kSyncWrite), kSyncWrite);
}

uint32_t CaptureDeviceRules::GetPayload(const uint8_t**&) {
    return 0;
}

int32_t CaptureDeviceRules::GetTypeId() const {
    return kTypeId;
}

bool CaptureDeviceRules::GetMediaStreamEntry(int32_t index, bool& enable, WString& name,
                                             WString& address, WString& userName, WString& password,
                                             int32_t& videoChannel, int32_t& audioChannel,
                                             int32_t& transportProtocol) const {
    if (!IndexInList(index, m_mediaOutputStreams.size())) {
        return false;
    }
    const MediaOutputStream& stream = m_mediaOutputStreams[static_cast<size_t>(index)];
    enable = stream.m_enable;
    name = stream.m_name;
    address = stream.m_address;
    userName = stream.m_userName;
    password = stream.m_password;
    videoChannel = stream.m_videoChannel;
    audioChannel = stream.m_audioChannel;
    transportProtocol = stream.m_transportProtocol;
    return true;
}

bool CaptureDeviceRules::RemoveMediaOutputStream(int32_t index) {
    if (EntryAt(m_mediaOutputStreams, index) == nullptr) {
        return false;
    }
    m_mediaOutputStreams.erase(m_mediaOutputStreams.begin() + index);
    return true;
}

TemperatureLimitsEntry* CaptureDeviceRules::FindTemperatureLimitsEntry(WStringView name) {
    for (TemperatureLimitsEntry& entry : m_temperatureLimits) {
        if (entry.m_name == name) {
            return &entry;
        }
    }
    return nullptr;
}

bool CaptureDeviceRules::SetMinimumTemperatureLimit(WStringView name, int32_t value) {
    return SetTemperatureLimit(*this, name, TemperatureLimitsEntry::kMinimum,
                               &TemperatureLimitsEntry::m_minimumTemperature, value);
}

bool CaptureDeviceRules::SetMaximumTemperatureLimit(WStringView name, int32_t value) {
    return SetTemperatureLimit(*this, name, TemperatureLimitsEntry::kMaximum,
                               &TemperatureLimitsEntry::m_maximumTemperature, value);
}

void CaptureDeviceRules::ApplyEvent(const CaptureDeviceEvent& event) {
    const bool on = event.m_value != 0;
    switch (event.m_type) {
        case 20:  // "Minimal Partial Battery Power Change"
            // A fraction that is no number would be written on as a text no reader takes.
            if (std::isfinite(event.m_doubleValue)) {
                m_hasMinPartialPower = true;
                m_minPartialPower = event.m_doubleValue;
            }
            break;
        case 21:  // "Minimal Partial Battery Power Disabled"
            m_hasMinPartialPower = false;
            break;
        case 31:  // "Distance Trigger Disabled"
            m_centralLocationEnable = false;
            m_distanceTriggerActive = false;
            break;
        case 32:  // "Distance Trigger Active"
            m_distanceTriggerActive = on;
            break;
        case 38:  // "Media Output Stream Removed"
            RemoveMediaOutputStream(event.m_index);
            break;
        case 39:  // "Media Output Streams Removed"
            m_mediaOutputStreams.clear();
            break;
        case 41:  // "Minimal Temperature Change"
            SetMinimumTemperatureLimit(event.m_name, event.m_value);
            break;
        case 42:  // "Minimal Temperature Removed"
            ClearTemperatureLimit(*this, event.m_name, TemperatureLimitsEntry::kMinimum);
            break;
        case 43:  // "Maximal Temperature Change"
            SetMaximumTemperatureLimit(event.m_name, event.m_value);
            break;
        case 44:  // "Maximal Temperature Removed"
            ClearTemperatureLimit(*this, event.m_name, TemperatureLimitsEntry::kMaximum);
            break;
        case 55:  // "Text phone minimal time"
            m_minimalTime = event.m_value;
            break;
        case 56:
            m_sendOnContactAlarm = on;
            break;
        case 57:
            m_sendOnMotionDetection = on;
            break;
        case 58:
            m_sendOnLocationEvent = on;
            break;
        case 59:
            m_sendOnBatteryEvent = on;
            break;
        case 60:
            m_sendOnTemperatureEvent = on;
            break;
        case 61:
            m_storage = on;
            break;
        case 73:  // "Video Frame Rotation Change"
            if (VideoChannelRule* rule = EntryAt(m_videoChannelRules, event.m_index)) {
                rule->m_rotation = event.m_value;
            }
            break;
        case 77:  // "VMD Spacial Threshold Change"
            ApplyVmdThreshold(*this, event.m_index, VMDChParams::kSpacialThreshold,
                              &VMDChParams::m_motionSpacialThreshold, event.m_value);
            break;
        case 78:  // "VMD Light Threshold Change"
            ApplyVmdThreshold(*this, event.m_index, VMDChParams::kLightThreshold,
                              &VMDChParams::m_motionLightThreshold, event.m_value);
            break;
        default:
            break;
    }
}

}  // namespace qav
