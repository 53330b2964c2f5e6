// Geofences: named polygons on the map, each with what a capture device does on entering
// and on leaving it. The node keeps one ordered list per device beside its rules; a
// device's "Zone Entry"/"Zone Exit" names a fence by its position in that list.
//
// Wire form: a document of its own, root "qav:Fences", one "qav:Fence" per fence:
//   <qav:Fence qav:Color=".." qav:Inside=".." qav:Name="..">
//     <qav:Boundary><qav:Vertex qav:Latitude=".." qav:Longitude=".."/>...</qav:Boundary>
//     <qav:Entry qav:Alarm=".." qav:SMS=".."><qav:OutputPort qav:Index=".." qav:Value=".."/>
//     </qav:Entry><qav:Exit ...>...</qav:Exit></qav:Fence>
// Coordinates travel in full: the shortest text that reads back to the same double.
//
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/wide_text.h"
#include "core/xml_element.h"

namespace qav {

struct Vertex {
    bool operator==(const Vertex&) const = default;

    double m_latitude = 0.0;  // degrees
    double m_longitude = 0.0;
};

// What happens when the device crosses the fence's boundary.
struct FenceAction {
    bool operator==(const FenceAction&) const = default;

    int32_t m_outputPortIndex = -1;  // -1: no port to set
    int32_t m_outputPortValue = 0;
    bool m_sms = false;  // send a text message
    bool m_alarm = false;
};

struct Fence {
    bool operator==(const Fence&) const = default;

    WString m_name;
    int32_t m_color = 0;    // display colour
    bool m_inside = false;  // the device is inside the fence
    std::vector<Vertex> m_boundary;
    FenceAction m_entry;
    FenceAction m_exit;
};

class FenceList {
  public:
    bool operator==(const FenceList&) const = default;

    // The fence at `position`; null outside the list.
    Fence* At(int32_t position);
    const Fence* AtConst(int32_t position) const;

    std::vector<Fence> m_fences;
};

// Bindings by direction (kSyncWrite or kSyncRead); reading a list empties it first and takes
// one entry per matching child, in document order.
void SerializeFence(XmlElement element, uint32_t direction, Fence& fence);
void SerializeVertexList(XmlElement element, uint32_t direction, std::vector<Vertex>& vertices);
void SerializeFenceList(XmlElement element, uint32_t direction, std::vector<Fence>& fences);

// The fences document as UTF-8 text.
std::string WriteFencesText(const FenceList& fences);
// Replaces `fences` with the list the text holds; false, the list untouched, when the text is
// no document or its root is not "qav:Fences" (logged).
bool ReadFencesText(std::string_view text, FenceList& fences);

}  // namespace qav
