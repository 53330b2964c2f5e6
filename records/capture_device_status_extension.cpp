#include "records/capture_device_status_extension.h"

#include <algorithm>

#include "core/xml_fields.h"
#include "records/battery_state.h"
#include "records/entry_fields.h"
#include "records/monitor_command_tables.h"
#include "records/record_fields.h"

namespace qav {
namespace {

// The monitor command types (kMonitorCommandTypeTable) that the extension follows.
enum CommandType : int32_t {
    kDynamicInputPortDefinition = 17,
    kDynamicOutputPortDefinition = 18,
    kDynamicInputPortRemoved = 19,
    kDynamicOutputPortRemoved = 20,
    kDynamicTemperatureReading = 21,
    kDynamicTemperatureReadingRemoved = 22,
    kDeviceTimestampSync = 24,
    kDeviceStorageConditions = 31,
};

void SyncInputPortBody(XmlElement element, uint32_t direction, DynamicInputPort& port) {
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, port.m_name);
    SyncIntAttribute(element, u"qav:Value", kQavNamespaceUri, direction, port.m_value);
    SyncIntAttribute(element, u"qav:DefaultValue", kQavNamespaceUri, direction,
                     port.m_defaultValue);
}

void SyncOutputPortBody(XmlElement element, uint32_t direction, DynamicOutputPort& port) {
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, port.m_name);
    SyncIntAttribute(element, u"qav:Value", kQavNamespaceUri, direction, port.m_value);
}

void SyncTemperatureBody(XmlElement element, uint32_t direction, TemperatureReading& reading) {
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, reading.m_name);
    SyncIntAttribute(element, u"qav:Value", kQavNamespaceUri, direction, reading.m_value);
}

void SyncTimestamp(XmlElement time, uint32_t direction, CaptureDeviceStatusExtension& record) {
    XmlElement sync = time.FindChild(u"qav:TimestampSync");
    if (direction == kSyncRead) {
        record.m_hasTimestampSync = sync.IsValid();
    } else if (!record.m_hasTimestampSync) {
        // A synchronisation left in the element from before would read back as current.
        time.RemoveChildren(u"qav:TimestampSync");
        return;
    } else if (!sync.IsValid()) {
        sync = time.CreateChild(u"qav:TimestampSync", kQavNamespaceUri);
    }
    SyncInt64Attribute(sync, u"qav:NTPTime", kQavNamespaceUri, direction, record.m_ntpTime);
    SyncInt64Attribute(sync, u"qav:Timestamp", kQavNamespaceUri, direction, record.m_timestamp);
}

template <typename Entry>
int32_t FindByName(const std::vector<Entry>& list, WStringView name) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].m_name == name) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

bool IndexInList(int32_t index, size_t size) {
    return index >= 0 && static_cast<size_t>(index) < size;
}

// The entry a command addresses: [index] when it bears the name, else the first of that
// name; -1 for none or an empty name.
template <typename Entry>
int32_t Locate(const std::vector<Entry>& list, int32_t index, WStringView name) {
    if (name.empty()) {
        return -1;
    }
    if (IndexInList(index, list.size()) && list[static_cast<size_t>(index)].m_name == name) {
        return index;
    }
    return FindByName(list, name);
}

template <typename Entry>
void Remove(std::vector<Entry>& list, int32_t index, WStringView name) {
    const int32_t at = Locate(list, index, name);
    if (at >= 0) {
        list.erase(list.begin() + at);
    }
}

// The entry the command defines, added when missing (at [index] when that is in the list,
// else in name order); null for an empty name. `added` tells whether it was.
template <typename Entry>
Entry* Define(std::vector<Entry>& list, int32_t index, const WString& name, bool& added) {
    added = false;
    if (name.empty()) {
        return nullptr;
    }
    int32_t at = Locate(list, index, name);
    if (at < 0) {
        auto position = IndexInList(index, list.size())
                            ? list.begin() + index
                            : std::find_if(list.begin(), list.end(), [&name](const Entry& entry) {
                                  return entry.m_name > name;
                              });
        position = list.emplace(position);
        at = static_cast<int32_t>(position - list.begin());
        added = true;
    }
    Entry& entry = list[static_cast<size_t>(at)];
    entry.m_name = name;
    return &entry;
}

// Sets `field` to `value`; true when that changed it.
bool Assign(int32_t& field, int32_t value) {
    const bool changed = field != value;
    field = value;
    return changed;
}

}  // namespace

void Serialize(CaptureDeviceStatusExtension& record, XmlElement element, uint32_t direction) {
    constexpr const WChar* kNs = kQavNamespaceUri;
    SyncIntAttribute(element, u"qav:DeviceID", kNs, direction, record.m_deviceId);
    SyncEntryList(SyncContainer(element, u"qav:DynamicInputPorts", direction), u"qav:InputPort",
                  direction, record.m_dynamicInputPorts, SyncInputPortBody);
    SyncEntryList(SyncContainer(element, u"qav:DynamicOutputPorts", direction), u"qav:OutputPort",
                  direction, record.m_dynamicOutputPorts, SyncOutputPortBody);

    const XmlElement battery = SyncContainer(element, u"qav:Battery", direction);
    SyncFiniteDoubleAttribute(battery, u"qav:PartialPower", kQavNamespaceUri, direction,
                              record.m_partialPower);
    SyncEnumAttribute(battery, u"qav:ChargingState", kNs, kChargingStateTable, direction,
                      record.m_chargingState);

    SyncEntryList(SyncContainer(element, u"qav:Temperatures", direction), u"qav:Temperature",
                  direction, record.m_temperatures, SyncTemperatureBody);
    SyncBoolAttribute(SyncContainer(element, u"qav:GPS", direction), u"qav:HasGlobalTime", kNs,
                      direction, record.m_hasGlobalTime);
    SyncTimestamp(SyncContainer(element, u"qav:Time", direction), direction, record);
    SyncEnumAttribute(SyncContainer(element, u"qav:Connection", direction), u"qav:Type", kNs,
                      kNetworkInterfaceTypeTable, direction, record.m_connectionType);

    const XmlElement storage = SyncContainer(element, u"qav:Storage", direction);
    SyncInt64Attribute(storage, u"qav:Size", kNs, direction, record.m_storageSize);
    SyncEnumAttribute(storage, u"qav:FunctionalState", kNs, kFunctionalStateTable, direction,
                      record.m_storageFunctionalState);
}

void CaptureDeviceStatusExtension::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(u"qav:CaptureDeviceStatusExtension", kQavNamespaceUri),
              kSyncWrite);
}

void CaptureDeviceStatusExtension::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

uint32_t CaptureDeviceStatusExtension::GetPayload(const uint8_t**&) {
    return 0;
}

int32_t CaptureDeviceStatusExtension::GetTypeId() const {
    return kTypeId;
}

int32_t CaptureDeviceStatusExtension::FindDynamicInputPort(WStringView name) const {
    return FindByName(m_dynamicInputPorts, name);
}

int32_t CaptureDeviceStatusExtension::FindDynamicOutputPort(WStringView name) const {
    return FindByName(m_dynamicOutputPorts, name);
}

int32_t CaptureDeviceStatusExtension::FindTemperature(WStringView name) const {
    return FindByName(m_temperatures, name);
}

int32_t CaptureDeviceStatusExtension::CountChangedDynamicInputPorts() const {
    return static_cast<int32_t>(std::count_if(
        m_dynamicInputPorts.begin(), m_dynamicInputPorts.end(),
        [](const DynamicInputPort& port) { return port.m_value != port.m_defaultValue; }));
}

bool CaptureDeviceStatusExtension::ApplyMonitorCommand(const MonitorCommand& command) {
    const int32_t index = command.m_index;
    const WString& name = command.m_name;
    bool added = false;
    switch (command.m_type) {
        case kDynamicInputPortDefinition: {
            DynamicInputPort* port = Define(m_dynamicInputPorts, index, name, added);
            if (port == nullptr) {
                return false;
            }
            const bool valueChanged = Assign(port->m_value, command.m_value);
            const bool defaultChanged = Assign(port->m_defaultValue, command.m_defaultValue);
            return added || valueChanged || defaultChanged;
        }
        case kDynamicOutputPortDefinition:
            if (DynamicOutputPort* port = Define(m_dynamicOutputPorts, index, name, added)) {
                port->m_value = command.m_value;
            }
            return true;
        case kDynamicTemperatureReading: {
            TemperatureReading* reading = Define(m_temperatures, index, name, added);
            return reading != nullptr && (Assign(reading->m_value, command.m_value) || added);
        }
        case kDynamicInputPortRemoved:
            Remove(m_dynamicInputPorts, index, name);
            return true;
        case kDynamicOutputPortRemoved:
            Remove(m_dynamicOutputPorts, index, name);
            return true;
        case kDynamicTemperatureReadingRemoved:
            Remove(m_temperatures, index, name);
            return true;
        case kDeviceTimestampSync:
            m_hasTimestampSync = true;
            m_ntpTime = command.m_ntpTime;
            m_timestamp = command.m_timestamp;
            return true;
        case kDeviceStorageConditions:
            m_storageSize = command.m_size;
            m_storageFunctionalState = command.m_functionalState;
            return true;
        default:
            return false;
    }
}

}  // namespace qav
