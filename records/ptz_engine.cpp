#include "records/ptz_engine.h"

#include "records/record_fields.h"

namespace qav {
namespace {

void SyncPtzPresetBody(XmlElement element, uint32_t direction, PtzPreset& preset) {
    SyncIntAttribute(element, u"qav:Number", kQavNamespaceUri, direction, preset.m_number);
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, preset.m_name);
}

void SyncPtzLocationBody(XmlElement element, uint32_t direction, WString& location) {
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, location);
}

}  // namespace

void SyncPtzEngineBody(XmlElement element, uint32_t direction, PtzEngine& engine) {
    const bool write = direction != kSyncRead;
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, engine.m_name);
    SyncPtzLocationList(element.FindOrCreateChild(u"qav:PtzLocations", kQavNamespaceUri, write),
                        direction, engine.m_ptzLocations);
    SyncPtzPresetList(element.FindOrCreateChild(u"qav:PtzPresets", kQavNamespaceUri, write),
                      direction, engine.m_ptzPresets);
    const XmlElement defaultLocation =
        element.FindOrCreateChild(u"qav:DefaultLocation", kQavNamespaceUri, write);
    SyncIntAttribute(defaultLocation, u"qav:Index", kQavNamespaceUri, direction,
                     engine.m_defaultLocationIndex);
    SyncIntAttribute(defaultLocation, u"qav:Time", kQavNamespaceUri, direction,
                     engine.m_defaultLocationTime);
}

void SyncPtzEngineList(XmlElement wrapper, uint32_t direction, std::vector<PtzEngine>& engines) {
    SyncList(wrapper, u"qav:PtzEngine", kQavNamespaceUri, direction, engines, SyncPtzEngineBody);
}

void SyncPtzPresetList(XmlElement wrapper, uint32_t direction, std::vector<PtzPreset>& presets) {
    SyncList(wrapper, u"qav:PtzPreset", kQavNamespaceUri, direction, presets, SyncPtzPresetBody);
}

void SyncPtzLocationList(XmlElement wrapper, uint32_t direction, std::vector<WString>& locations) {
    SyncList(wrapper, u"qav:PtzLocation", kQavNamespaceUri, direction, locations,
             SyncPtzLocationBody);
}

}  // namespace qav
