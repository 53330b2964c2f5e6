// The field bindings every record serializer is built from. A serializer is one routine
// that calls a fixed sequence of bindings with one direction for the whole record:
// kSyncWrite puts each field into the XML (creating a child on first use, reusing it
// when present), kSyncRead fills each field from whatever of that XML is there. A read
// never clears a field: what the XML leaves out, or holds in a form no table knows, keeps
// the field's current value. Only list bindings start from an emptied list.
//
// Children are found by their exact qualified name ("qav:Control"), never through
// namespaces, and created in kQavNamespaceUri unless a binding takes a URI.
//
// Typical usage (one routine serves both directions):
//   void Serialize(Settings& settings, XmlElement element, uint32_t direction) {
//       SyncStringField(element, u"qav:Name", direction, settings.m_name);
//       SyncIntField(element, u"qav:Count", kQavNamespaceUri, direction, settings.m_count);
//   }
//
// The bindings touch only the element and the field given; the caller keeps both on
// one thread. The tables are constant.
#pragma once

#include <cstdint>
#include <vector>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"

namespace qav {

// Any non-zero direction writes.
constexpr uint32_t kSyncRead = 0;
constexpr uint32_t kSyncWrite = 1;

using CodecId = int32_t;
using MediaKind = int32_t;  // 0 none, 1 video, 2 audio
using SignalState = int32_t;

struct CodecTableRow {
    CodecId id;
    MediaKind kind;
    const WChar* name;
};

inline constexpr CodecTableRow kCodecTable[] = {
    {0, 0, u"Undefined"}, {1, 1, u"H264"}, {2, 2, u"AAC"},
    {3, 2, u"PCM"},       {4, 2, u"PCMU"}, {5, 2, u"PCMA"},
};

inline constexpr EnumTextRow kSignalStateTable[] = {
    {0, u"Unknown"},
    {1, u"Missing"},
    {2, u"Detected"},
};

// The name of the first row with `id`; null for an id outside the table.
const WChar* CodecNameById(CodecId id);

// Text, decimal and "True"/"False" children. Writing returns true (also under a null
// parent, where nothing is created); reading returns false when the child is absent.
bool SyncStringField(XmlElement parent, WStringView name, uint32_t direction, WString& field);
bool SyncIntField(XmlElement parent, WStringView name, const WChar* namespaceUri,
                  uint32_t direction, int32_t& field);
bool SyncBoolField(XmlElement parent, WStringView name, uint32_t direction, bool& field);

// The codec's name as the child's text. False for an id outside the table (nothing is
// written) and for a child that is absent or holds no name of the table (case counts).
bool SyncCodecField(XmlElement parent, WStringView name, uint32_t direction, CodecId& field);

// The state's name in the element's own attribute "qav:SignalState"; false as above.
bool SyncSignalStateAttribute(XmlElement element, uint32_t direction, SignalState& field);

}  // namespace qav
