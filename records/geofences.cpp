#include "records/geofences.h"

#include <climits>

#include "core/text_logger.h"
#include "core/xml_document.h"
#include "core/xml_fields.h"
#include "records/list_index.h"
#include "records/record_fields.h"

namespace qav {
namespace {

constexpr const WChar* kNs = kQavNamespaceUri;
constexpr const WChar* kFencesRoot = u"qav:Fences";

void SerializeVertex(XmlElement element, uint32_t direction, Vertex& vertex) {
    // A coordinate that is no number is neither written nor taken: "inf" or "nan" on the
    // wire would reach monitors as a boundary no map can draw.
    SyncFiniteDoubleAttribute(element, u"qav:Latitude", kNs, direction, vertex.m_latitude);
    SyncFiniteDoubleAttribute(element, u"qav:Longitude", kNs, direction, vertex.m_longitude);
}

void SerializeAction(FenceAction& action, XmlElement element, uint32_t direction) {
    SyncChildIntAttribute(element, u"qav:OutputPort", u"qav:Index", kNs, direction,
                          action.m_outputPortIndex);
    SyncChildIntAttribute(element, u"qav:OutputPort", u"qav:Value", kNs, direction,
                          action.m_outputPortValue);
    SyncBoolAttribute(element, u"qav:SMS", kNs, direction, action.m_sms);
    SyncBoolAttribute(element, u"qav:Alarm", kNs, direction, action.m_alarm);
}

}  // namespace

Fence* FenceList::At(int32_t position) {
    return EntryAt(m_fences, position);
}

const Fence* FenceList::AtConst(int32_t position) const {
    return EntryAt(m_fences, position);
}

void SerializeFence(XmlElement element, uint32_t direction, Fence& fence) {
    SyncTextAttribute(element, u"qav:Name", kNs, direction, fence.m_name);
    SyncIntAttribute(element, u"qav:Color", kNs, direction, fence.m_color);
    SyncBoolAttribute(element, u"qav:Inside", kNs, direction, fence.m_inside);
    SerializeVertexList(SyncContainer(element, u"qav:Boundary", direction), direction,
                        fence.m_boundary);
    SerializeAction(fence.m_entry, SyncContainer(element, u"qav:Entry", direction), direction);
    SerializeAction(fence.m_exit, SyncContainer(element, u"qav:Exit", direction), direction);
}

void SerializeVertexList(XmlElement element, uint32_t direction, std::vector<Vertex>& vertices) {
    SyncList(element, u"qav:Vertex", kNs, direction, vertices, SerializeVertex);
}

void SerializeFenceList(XmlElement element, uint32_t direction, std::vector<Fence>& fences) {
    SyncList(element, u"qav:Fence", kNs, direction, fences, SerializeFence);
}

std::string WriteFencesText(const FenceList& fences) {
    XmlDocument document;
    std::vector<Fence> copy = fences.m_fences;  // the binding takes its list by reference
    SerializeFenceList(document.CreateRoot(kFencesRoot, kNs), kSyncWrite, copy);
    std::string text;
    document.SaveToString(text);
    return text;
}

bool ReadFencesText(std::string_view text, FenceList& fences) {
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    XmlDocument document;
    const XmlElement root = document.LoadFromText(text.data(), static_cast<int>(text.size()));
    if (!root.IsValid()) {
        return false;
    }
    // Any other document read as fences would hold none, and empty the device's list.
    WString rootName;
    if (!root.GetName(rootName) || rootName != kFencesRoot) {
        if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
            logger->LogFormat(kSeverityWarning, "Geo-fences refused: the root is %ls, not %ls",
                              rootName, kFencesRoot);
        }
        return false;
    }
    std::vector<Fence> read;
    SerializeFenceList(root, kSyncRead, read);
    fences.m_fences = std::move(read);
    return true;
}

}  // namespace qav
