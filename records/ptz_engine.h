// The pan-tilt-zoom engines of a capture device's status: each engine's name, its named
// locations, its numbered presets and the location it returns to (and after how long).
//
// Wire form (the wrappers are always written, also when empty):
//   <qav:PtzEngine qav:Name="Dome"><qav:PtzLocations><qav:PtzLocation qav:Name="Gate"/>
//   </qav:PtzLocations><qav:PtzPresets><qav:PtzPreset qav:Name="Home" qav:Number="1"/>
//   </qav:PtzPresets><qav:DefaultLocation qav:Index="0" qav:Time="60"/></qav:PtzEngine>
//
// Entries are plain values, copied whole; used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "core/wide_text.h"
#include "core/xml_element.h"

namespace qav {

struct PtzPreset {
    int32_t m_number = 0;
    WString m_name;

    bool operator==(const PtzPreset&) const = default;
};

struct PtzEngine {
    WString m_name;
    std::vector<WString> m_ptzLocations;  // location names
    std::vector<PtzPreset> m_ptzPresets;
    int32_t m_defaultLocationIndex = -1;  // -1 none
    int32_t m_defaultLocationTime = 0;

    bool operator==(const PtzEngine&) const = default;
};

// The engine's own element, kSyncWrite or kSyncRead.
void SyncPtzEngineBody(XmlElement element, uint32_t direction, PtzEngine& engine);

// List bindings: items "qav:PtzEngine", "qav:PtzPreset" and "qav:PtzLocation" (the name in
// its attribute "qav:Name") under `wrapper` (see SyncList).
void SyncPtzEngineList(XmlElement wrapper, uint32_t direction, std::vector<PtzEngine>& engines);
void SyncPtzPresetList(XmlElement wrapper, uint32_t direction, std::vector<PtzPreset>& presets);
void SyncPtzLocationList(XmlElement wrapper, uint32_t direction, std::vector<WString>& locations);

}  // namespace qav
