// CaptureDeviceStatusExtension: the fast-changing and later-added state of one capture
// device — ports and temperature sensors the device defines at run time, battery, time
// synchronisation, network interface and storage condition. Devices send it; the node keeps
// one per device and updates it from monitor commands.
//
// Wire form: "qav:CaptureDeviceStatusExtension" with the device id as attribute, then
// "qav:DynamicInputPorts", "qav:DynamicOutputPorts", "qav:Battery", "qav:Temperatures",
// "qav:GPS", "qav:Time" (holding "qav:TimestampSync" only when the device has synchronised),
// "qav:Connection" and "qav:Storage", their values as attributes:
//   <qav:DynamicInputPorts><qav:InputPort qav:DefaultValue="0" qav:Name="Door"
//   qav:Value="1"/></qav:DynamicInputPorts>
//
// Each of the three lists defined at run time holds at most kMaxListEntries entries and
// finds a name in constant time: a device cannot make every definition cost more than
// the last, nor every extension record longer. A definition beyond the limit, and items
// beyond it in a record read, are refused and logged.
//
// Used by one thread at a time; the tables are constant.
#pragma once

#include <cstdint>
#include <vector>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"
#include "records/monitor_command.h"
#include "records/named_entry_list.h"
#include "records/xml_record.h"

namespace qav {

inline constexpr EnumTextRow kNetworkInterfaceTypeTable[] = {
    {0, u"Unknown"},  {1, u"Local host"}, {2, u"Ethernet"}, {3, u"WiFi"},
    {4, u"Cellular"}, {5, u"VPN"},        {6, u"USB"},      {7, u"Bluetooth"},
};

// The entries' defaults are those of an entry read from XML or newly defined by a command.
struct DynamicInputPort {
    bool operator==(const DynamicInputPort&) const = default;
    int32_t m_value = -1;
    int32_t m_defaultValue = -1;
    WString m_name;
};
struct DynamicOutputPort {
    bool operator==(const DynamicOutputPort&) const = default;
    int32_t m_value = -1;
    WString m_name;
};
struct TemperatureReading {
    bool operator==(const TemperatureReading&) const = default;
    WString m_name;
    int32_t m_value = 0;
};

// The record's values apart from its XML behaviour, so that they compare whole.
struct CaptureDeviceStatusExtensionFields {
    bool operator==(const CaptureDeviceStatusExtensionFields&) const = default;

    int32_t m_deviceId = 0;
    double m_partialPower = -1.0;  // battery level; below 0 unknown
    int32_t m_chargingState = 0;   // kChargingStateTable: "Unknown"
    NamedEntryList<DynamicInputPort> m_dynamicInputPorts;
    NamedEntryList<DynamicOutputPort> m_dynamicOutputPorts;
    NamedEntryList<TemperatureReading> m_temperatures;
    bool m_hasGlobalTime = false;
    bool m_hasTimestampSync = false;  // NTPTime and Timestamp hold a synchronisation
    int64_t m_ntpTime = 0;
    int64_t m_timestamp = 0;
    int32_t m_connectionType = 0;  // kNetworkInterfaceTypeTable: "Unknown"
    int64_t m_storageSize = 0;
    int32_t m_storageFunctionalState = 0;  // kFunctionalStateTable: "Unknown"
};

class CaptureDeviceStatusExtension : public XmlRecord, public CaptureDeviceStatusExtensionFields {
  public:
    static constexpr int32_t kTypeId = 14;
    // The most entries each of the dynamic lists holds.
    static constexpr size_t kMaxListEntries = 1024;

    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    bool operator==(const CaptureDeviceStatusExtension& other) const {
        return static_cast<const CaptureDeviceStatusExtensionFields&>(*this) ==
               static_cast<const CaptureDeviceStatusExtensionFields&>(other);
    }

    // Position of the first entry named exactly `name`; -1 when none.
    int32_t FindDynamicInputPort(WStringView name) const;
    int32_t FindDynamicOutputPort(WStringView name) const;
    int32_t FindTemperature(WStringView name) const;

    // The number of dynamic input ports away from their default value.
    int32_t CountChangedDynamicInputPorts() const;

    // Defines or removes a dynamic port or temperature, or takes a timestamp
    // synchronisation or storage condition, by the command's type; true when the record
    // changed (always for the types whose result does not depend on it), false for a
    // command of another type and for a new definition refused at kMaxListEntries.
    bool ApplyMonitorCommand(const MonitorCommand& command);
};

// The record's fields into `element`, its own element (kSyncWrite), or from it (kSyncRead).
void Serialize(CaptureDeviceStatusExtension& record, XmlElement element, uint32_t direction);

}  // namespace qav
