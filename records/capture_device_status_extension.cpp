#include "records/capture_device_status_extension.h"

#include <algorithm>

#include "core/text_logger.h"
#include "core/xml_fields.h"
#include "records/battery_state.h"
#include "records/list_index.h"
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

// The entry a command addresses: [index] when it bears the name, else the first of that
// name; -1 for none or an empty name.
template <typename Entry>
int32_t Locate(const NamedEntryList<Entry>& list, int32_t index, WStringView name) {
    if (name.empty()) {
        return -1;
    }
    if (IndexInList(index, list.size()) && list[static_cast<size_t>(index)].m_name == name) {
        return index;
    }
    return list.Find(name);
}

template <typename Entry>
void Remove(NamedEntryList<Entry>& list, int32_t index, WStringView name) {
    const int32_t at = Locate(list, index, name);
    if (at >= 0) {
        list.Erase(static_cast<size_t>(at));
    }
}

// The entry the command defines, added when missing (at [index] when that is in the list,
// else in name order); null for an empty name and for a new entry beyond the limit, which
// is logged. `added` tells whether it was added.
template <typename Entry>
Entry* Define(NamedEntryList<Entry>& list, int32_t index, const WString& name, bool& added,
              int32_t deviceId, const char* what) {
    added = false;
    if (name.empty()) {
        return nullptr;
    }
    if (const int32_t at = Locate(list, index, name); at >= 0) {
        return &list.At(static_cast<size_t>(at));
    }
    if (list.size() >= CaptureDeviceStatusExtension::kMaxListEntries) {
        if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
            logger->LogFormat(kSeverityWarning,
                              "Device %d: %s \"%ls\" refused, %d are defined already", deviceId,
                              what, name, static_cast<int>(list.size()));
        }
        return nullptr;
    }
    const size_t position = IndexInList(index, list.size())
                                ? static_cast<size_t>(index)
                                : static_cast<size_t>(std::find_if(list.begin(), list.end(),
                                                                   [&name](const Entry& entry) {
                                                                       return entry.m_name > name;
                                                                   }) -
                                                      list.begin());
    added = true;
    return &list.Insert(position, name);
}

// The list from or into its wrapper; items beyond the limit in a record read are logged
// and left out.
template <typename Entry>
void SyncList(NamedEntryList<Entry>& list, XmlElement wrapper, const WChar* itemName,
              uint32_t direction, void (*body)(XmlElement, uint32_t, Entry&), int32_t deviceId,
              const char* what) {
    const size_t held = list.Sync(wrapper, itemName, direction, body,
                                  CaptureDeviceStatusExtension::kMaxListEntries);
    if (held > CaptureDeviceStatusExtension::kMaxListEntries) {
        if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
            logger->LogFormat(kSeverityWarning, "Device %d: %d %ss read, only the first %d kept",
                              deviceId, static_cast<int>(held), what,
                              static_cast<int>(CaptureDeviceStatusExtension::kMaxListEntries));
        }
    }
}

constexpr const char* kInputPort = "dynamic input port";
constexpr const char* kOutputPort = "dynamic output port";
constexpr const char* kTemperature = "temperature reading";

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
    SyncList(record.m_dynamicInputPorts,
             SyncContainer(element, u"qav:DynamicInputPorts", direction), u"qav:InputPort",
             direction, SyncInputPortBody, record.m_deviceId, kInputPort);
    SyncList(record.m_dynamicOutputPorts,
             SyncContainer(element, u"qav:DynamicOutputPorts", direction), u"qav:OutputPort",
             direction, SyncOutputPortBody, record.m_deviceId, kOutputPort);

    const XmlElement battery = SyncContainer(element, u"qav:Battery", direction);
    SyncFiniteDoubleAttribute(battery, u"qav:PartialPower", kQavNamespaceUri, direction,
                              record.m_partialPower);
    SyncEnumAttribute(battery, u"qav:ChargingState", kNs, kChargingStateTable, direction,
                      record.m_chargingState);

    SyncList(record.m_temperatures, SyncContainer(element, u"qav:Temperatures", direction),
             u"qav:Temperature", direction, SyncTemperatureBody, record.m_deviceId, kTemperature);
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
    return m_dynamicInputPorts.Find(name);
}

int32_t CaptureDeviceStatusExtension::FindDynamicOutputPort(WStringView name) const {
    return m_dynamicOutputPorts.Find(name);
}

int32_t CaptureDeviceStatusExtension::FindTemperature(WStringView name) const {
    return m_temperatures.Find(name);
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
            DynamicInputPort* port =
                Define(m_dynamicInputPorts, index, name, added, m_deviceId, kInputPort);
            if (port == nullptr) {
                return false;
            }
            const bool valueChanged = Assign(port->m_value, command.m_value);
            const bool defaultChanged = Assign(port->m_defaultValue, command.m_defaultValue);
            return added || valueChanged || defaultChanged;
        }
        case kDynamicOutputPortDefinition: {
            DynamicOutputPort* port =
                Define(m_dynamicOutputPorts, index, name, added, m_deviceId, kOutputPort);
            if (port != nullptr) {
                port->m_value = command.m_value;
            }
            // An empty name changes nothing yet counts as handled; a refused one does not.
            return port != nullptr || name.empty();
        }
        case kDynamicTemperatureReading: {
            TemperatureReading* reading =
                Define(m_temperatures, index, name, added, m_deviceId, kTemperature);
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
