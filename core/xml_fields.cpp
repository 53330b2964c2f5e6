#include "core/xml_fields.h"

#include "core/text_utils.h"

namespace qav {
namespace {

constexpr WChar kSignalStateAttribute[] = u"qav:SignalState";

}  // namespace

const WChar* CodecNameById(CodecId id) {
    for (const CodecTableRow& row : kCodecTable) {
        if (row.id == id) {
            return row.name;
        }
    }
    return nullptr;
}

bool SyncStringField(XmlElement parent, WStringView name, uint32_t direction, WString& field) {
    if (direction != kSyncRead) {
        parent.FindOrCreateChild(name, kQavNamespaceUri, true).SetText(field);
        return true;
    }
    return parent.FindChild(name).GetText(field);
}

bool SyncIntField(XmlElement parent, WStringView name, const WChar* namespaceUri,
                  uint32_t direction, int32_t& field) {
    if (direction != kSyncRead) {
        parent.FindOrCreateChild(name, namespaceUri, true).SetTextInt(field);
        return true;
    }
    return parent.FindChild(name).GetTextInt(field);
}

bool SyncBoolField(XmlElement parent, WStringView name, uint32_t direction, bool& field) {
    if (direction != kSyncRead) {
        parent.FindOrCreateChild(name, kQavNamespaceUri, true).SetText(field ? u"True" : u"False");
        return true;
    }
    WString text;
    if (!parent.FindChild(name).GetText(text)) {
        return false;
    }
    field = IsYesText(text);
    return true;
}

bool SyncCodecField(XmlElement parent, WStringView name, uint32_t direction, CodecId& field) {
    if (direction != kSyncRead) {
        const WChar* codecName = CodecNameById(field);
        if (codecName == nullptr) {
            return false;
        }
        parent.FindOrCreateChild(name, kQavNamespaceUri, true).SetText(codecName);
        return true;
    }
    WString text;
    if (!parent.FindChild(name).GetText(text)) {
        return false;
    }
    for (const CodecTableRow& row : kCodecTable) {
        if (text == row.name) {
            field = row.id;
            return true;
        }
    }
    return false;
}

bool SyncSignalStateAttribute(XmlElement element, uint32_t direction, SignalState& field) {
    if (direction != kSyncRead) {
        const WChar* text = FindEnumText(kSignalStateTable, static_cast<uint32_t>(field));
        if (text == nullptr) {
            return false;
        }
        element.SetAttribute(kSignalStateAttribute, text);
        return true;
    }
    WString text;
    uint32_t value = 0;
    if (!element.GetAttribute(kSignalStateAttribute, text) ||
        !FindEnumValue(kSignalStateTable, text, value)) {
        return false;
    }
    field = static_cast<SignalState>(value);
    return true;
}

}  // namespace qav
