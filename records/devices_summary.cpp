#include "records/devices_summary.h"

#include "records/battery_state.h"
#include "records/record_fields.h"

namespace qav {
namespace {

using ChannelEntry = DevicesSummary::ChannelEntry;
using InputPortEntry = DevicesSummary::InputPortEntry;
using OutputPortEntry = DevicesSummary::OutputPortEntry;
using DeviceEntry = DevicesSummary::DeviceEntry;

void SyncChannelEntry(XmlElement element, uint32_t direction, ChannelEntry& entry) {
    SyncIntField(element, u"qav:Index", kQavNamespaceUri, direction, entry.m_index);
    SyncStringField(element, u"qav:Name", direction, entry.m_name);
    SyncBoolField(element, u"qav:Streaming", direction, entry.m_streaming);
    if (direction == kSyncRead || entry.m_signalState != 0) {
        SyncSignalStateAttribute(element, direction, entry.m_signalState);
    }
}

void SyncInputPortEntry(XmlElement element, uint32_t direction, InputPortEntry& entry) {
    SyncIntField(element, u"qav:Index", kQavNamespaceUri, direction, entry.m_index);
    SyncStringField(element, u"qav:Name", direction, entry.m_name);
    SyncIntField(element, u"qav:Value", kQavNamespaceUri, direction, entry.m_value);
    SyncIntField(element, u"qav:DefaultValue", kQavNamespaceUri, direction, entry.m_defaultValue);
}

void SyncOutputPortEntry(XmlElement element, uint32_t direction, OutputPortEntry& entry) {
    SyncIntField(element, u"qav:Index", kQavNamespaceUri, direction, entry.m_index);
    SyncStringField(element, u"qav:Name", direction, entry.m_name);
    SyncIntField(element, u"qav:Value", kQavNamespaceUri, direction, entry.m_value);
}

void SyncDeviceEntry(XmlElement element, uint32_t direction, DeviceEntry& entry) {
    SyncIntAttribute(element, u"qav:DeviceID", kQavNamespaceUri, direction, entry.m_deviceId);
    SyncStringField(element, u"qav:Name", direction, entry.m_name);
    SyncList(SyncContainer(element, u"qav:VideoChannels", direction), u"qav:VideoChannel",
             kQavNamespaceUri, direction, entry.m_videoChannels, SyncChannelEntry);
    SyncList(SyncContainer(element, u"qav:AudioChannels", direction), u"qav:AudioChannel",
             kQavNamespaceUri, direction, entry.m_audioChannels, SyncChannelEntry);
    SyncList(SyncContainer(element, u"qav:InputPorts", direction), u"qav:InputPort",
             kQavNamespaceUri, direction, entry.m_inputPorts, SyncInputPortEntry);
    SyncList(SyncContainer(element, u"qav:OutputPorts", direction), u"qav:OutputPort",
             kQavNamespaceUri, direction, entry.m_outputPorts, SyncOutputPortEntry);

    const XmlElement battery = SyncContainer(element, u"qav:Battery", direction);
    if (direction == kSyncRead || entry.m_partialPower >= 0.0) {
        SyncFiniteDoubleAttribute(battery, u"qav:PartialPower", kQavNamespaceUri, direction,
                                  entry.m_partialPower);
    }
    if (direction == kSyncRead || entry.m_chargingState != 0) {
        SyncEnumAttribute(battery, u"qav:ChargingState", kQavNamespaceUri, kChargingStateTable,
                          direction, entry.m_chargingState);
    }
}

}  // namespace

void Serialize(DevicesSummary& record, XmlElement element, uint32_t direction) {
    SyncList(SyncContainer(element, u"qav:CaptureDevices", direction), u"qav:CaptureDevice",
             kQavNamespaceUri, direction, record.m_devices, SyncDeviceEntry);
}

void DevicesSummary::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(u"qav:DevicesSummary", kQavNamespaceUri), kSyncWrite);
}

void DevicesSummary::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

uint32_t DevicesSummary::GetPayload(const uint8_t**&) {
    return 0;
}

int32_t DevicesSummary::GetTypeId() const {
    return kTypeId;
}

}  // namespace qav
