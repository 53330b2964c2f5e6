#include "records/device_rules_items.h"

#include "core/xml_fields.h"
#include "records/record_fields.h"
#include "records/transport_protocol.h"

namespace qav {
namespace {

constexpr const WChar* kNs = kQavNamespaceUri;

// A child element of an entry: found when reading, found or created when writing.
XmlElement Part(XmlElement element, WStringView name, uint32_t direction) {
    return element.FindOrCreateChild(name, kNs, direction != kSyncRead);
}

// Written only while `bit` is set in `mask`; a read that finds the attribute sets the bit.
void SyncMaskedInt(XmlElement element, WStringView name, uint32_t direction, uint32_t& mask,
                   uint32_t bit, int32_t& field) {
    if (direction != kSyncRead) {
        if ((mask & bit) != 0) {
            SyncIntAttribute(element, name, kNs, direction, field);
        }
        return;
    }
    if (SyncIntAttribute(element, name, kNs, direction, field)) {
        mask |= bit;
    }
}

// The five attributes both kinds of stream begin with.
template <typename Stream>
void SerializeStreamHead(Stream& item, XmlElement element, uint32_t direction) {
    SyncBoolAttribute(element, u"qav:Enable", kNs, direction, item.m_enable);
    SyncTextAttribute(element, u"qav:Name", kNs, direction, item.m_name);
    SyncTextAttribute(element, u"qav:Address", kNs, direction, item.m_address);
    SyncTextAttribute(element, u"qav:UserName", kNs, direction, item.m_userName);
    SyncTextAttribute(element, u"qav:Password", kNs, direction, item.m_password);
}

}  // namespace

void Serialize(MediaOutputStream& item, XmlElement element, uint32_t direction) {
    SerializeStreamHead(item, element, direction);
    SyncIntAttribute(element, u"qav:VideoChannel", kNs, direction, item.m_videoChannel);
    SyncIntAttribute(element, u"qav:AudioChannel", kNs, direction, item.m_audioChannel);
    SyncEnumAttribute(element, u"qav:TransportProtocol", kNs, kTransportProtocolTable, direction,
                      item.m_transportProtocol);
}

void Serialize(MediaInputStream& item, XmlElement element, uint32_t direction) {
    SerializeStreamHead(item, element, direction);
    SyncEnumAttribute(Part(element, u"qav:VideoChannel", direction), u"qav:ProcessingAction", kNs,
                      kProcessingActionTable, direction, item.m_videoProcessingAction);
    SyncEnumAttribute(Part(element, u"qav:AudioChannel", direction), u"qav:ProcessingAction", kNs,
                      kProcessingActionTable, direction, item.m_audioProcessingAction);
}

void Serialize(VMDChParams& item, XmlElement element, uint32_t direction) {
    const bool writing = direction != kSyncRead;
    SyncMaskedInt(element, u"qav:MotionSpacialThreshold", direction, item.m_mask,
                  VMDChParams::kSpacialThreshold, item.m_motionSpacialThreshold);
    SyncMaskedInt(element, u"qav:MotionLightThreshold", direction, item.m_mask,
                  VMDChParams::kLightThreshold, item.m_motionLightThreshold);

    if (!writing || (item.m_mask & VMDChParams::kRectangle) != 0) {
        const XmlElement zone = Part(element, u"qav:RectZone", direction);
        if (zone.IsValid()) {
            SyncIntAttribute(zone, u"qav:XStart", kNs, direction, item.m_xStart);
            SyncIntAttribute(zone, u"qav:XEnd", kNs, direction, item.m_xEnd);
            SyncIntAttribute(zone, u"qav:YStart", kNs, direction, item.m_yStart);
            SyncIntAttribute(zone, u"qav:YEnd", kNs, direction, item.m_yEnd);
            item.m_mask |= VMDChParams::kRectangle;
        }
    }
    if (!writing || item.m_outputPortIndex >= 0) {
        const XmlElement port = Part(element, u"qav:OutputPort", direction);
        SyncIntAttribute(port, u"qav:Index", kNs, direction, item.m_outputPortIndex);
        SyncIntAttribute(port, u"qav:DetectionValue", kNs, direction, item.m_detectionValue);
    }
}

void Serialize(VideoChannelRule& item, XmlElement element, uint32_t direction) {
    SyncMaskedInt(element, u"qav:CameraPowerPortIndex", direction, item.m_mask,
                  VideoChannelRule::kCameraPowerPort, item.m_cameraPowerPortIndex);
    SyncMaskedInt(element, u"qav:PowerOnPortValue", direction, item.m_mask,
                  VideoChannelRule::kCameraPowerPort, item.m_powerOnPortValue);
    SyncIntAttribute(element, u"qav:Rotation", kNs, direction, item.m_rotation);
}

void Serialize(TemperatureLimitsEntry& item, XmlElement element, uint32_t direction) {
    SyncTextAttribute(element, u"qav:Name", kNs, direction, item.m_name);
    SyncMaskedInt(element, u"qav:MinimumTemperature", direction, item.m_mask,
                  TemperatureLimitsEntry::kMinimum, item.m_minimumTemperature);
    SyncMaskedInt(element, u"qav:MaximumTemperature", direction, item.m_mask,
                  TemperatureLimitsEntry::kMaximum, item.m_maximumTemperature);
}

}  // namespace qav
