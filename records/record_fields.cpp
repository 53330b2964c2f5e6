#include "records/record_fields.h"

#include <algorithm>
#include <cmath>

#include "core/text_logger.h"
#include "core/text_utils.h"

namespace qav {

bool SyncInt64Field(XmlElement element, WStringView name, const WChar* namespaceUri,
                    uint32_t direction, int64_t& field) {
    if (direction != kSyncRead) {
        element.FindOrCreateChild(name, namespaceUri, true).SetTextInt64(field);
        return true;
    }
    return element.FindChild(name).GetTextInt64(field);
}

namespace {

template <typename Int, typename Parse>
bool ReadCheckedNumber(XmlElement element, Int& field, Parse parse) {
    WString text;
    if (!element.GetText(text)) {
        return false;
    }
    if (parse(text, field)) {
        return true;
    }
    if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
        WString name;
        element.GetName(name);
        logger->LogFormat(kSeverityWarning, "Not a decimal number in %ls, kept %lld: \"%ls\"", name,
                          static_cast<long long>(field), text);
    }
    return false;
}

}  // namespace

bool ReadCheckedInt(XmlElement element, int32_t& field) {
    return ReadCheckedNumber(element, field, ParseDecimalInt32);
}

bool SyncCheckedIntField(XmlElement element, WStringView name, const WChar* namespaceUri,
                         uint32_t direction, int32_t& field) {
    if (direction != kSyncRead) {
        return SyncIntField(element, name, namespaceUri, direction, field);
    }
    return ReadCheckedInt(element.FindChild(name), field);
}

bool SyncCheckedIntField(XmlElement element, WStringView name, const WChar* namespaceUri,
                         uint32_t direction, int64_t& field) {
    if (direction != kSyncRead) {
        return SyncInt64Field(element, name, namespaceUri, direction, field);
    }
    return ReadCheckedNumber(element.FindChild(name), field, ParseDecimalInt64);
}

bool SyncDoubleField(XmlElement element, WStringView name, const WChar* namespaceUri,
                     uint32_t direction, double& field) {
    if (direction != kSyncRead) {
        WString text;
        DoubleToWString(field, text);
        element.FindOrCreateChild(name, namespaceUri, true).SetText(text);
        return true;
    }
    WString text;
    if (!element.FindChild(name).GetText(text)) {
        return false;
    }
    field = WStringToDouble(text);
    return true;
}

bool SyncEnumField(XmlElement element, WStringView name, const WChar* namespaceUri,
                   EnumTextTable table, uint32_t direction, int32_t& field) {
    if (direction != kSyncRead) {
        const WChar* text = FindEnumText(table, static_cast<uint32_t>(field));
        if (text == nullptr) {
            return false;
        }
        element.FindOrCreateChild(name, namespaceUri, true).SetText(text);
        return true;
    }
    WString text;
    uint32_t value = 0;
    if (!element.FindChild(name).GetText(text) || !FindEnumValue(table, text, value)) {
        return false;
    }
    field = static_cast<int32_t>(value);
    return true;
}

bool SyncEnumAttribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                       EnumTextTable table, uint32_t direction, int32_t& field) {
    if (direction != kSyncRead) {
        const WChar* text = FindEnumText(table, static_cast<uint32_t>(field));
        if (text == nullptr) {
            return false;
        }
        element.SetAttributeText(name, namespaceUri, text);
        return true;
    }
    WString text;
    uint32_t value = 0;
    if (!element.GetAttribute(name, text) || !FindEnumValue(table, text, value)) {
        return false;
    }
    field = static_cast<int32_t>(value);
    return true;
}

// The URI is not needed: an attribute's prefix gets no declaration of its own.
bool SyncTextAttribute(XmlElement element, WStringView name, const WChar* /*namespaceUri*/,
                       uint32_t direction, WString& field) {
    if (direction != kSyncRead) {
        element.SetAttribute(name, field);
        return element.IsValid();
    }
    return element.GetAttribute(name, field);
}

bool SyncIntAttribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                      uint32_t direction, int32_t& field) {
    if (direction != kSyncRead) {
        element.SetAttributeInt(name, namespaceUri, field);
        return element.IsValid();
    }
    return element.GetAttributeInt(name, field);
}

bool SyncBoolAttribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                       uint32_t direction, bool& field) {
    if (direction != kSyncRead) {
        element.SetAttributeBool(name, namespaceUri, field);
        return element.IsValid();
    }
    return element.GetAttributeBool(name, field);
}

bool SyncInt64Attribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                        uint32_t direction, int64_t& field) {
    if (direction != kSyncRead) {
        element.SetAttributeInt64(name, namespaceUri, field);
        return element.IsValid();
    }
    return element.GetAttributeInt64(name, field);
}

bool SyncTypedChild(XmlElement element, WStringView name, uint32_t direction, int32_t& field) {
    return SyncIntField(element, name, kQavNamespaceUri, direction, field);
}

bool SyncTypedChild(XmlElement element, WStringView name, uint32_t direction, bool& field) {
    return SyncBoolField(element, name, direction, field);
}

bool SyncTypedChild(XmlElement element, WStringView name, uint32_t direction, WString& field) {
    return SyncStringField(element, name, direction, field);
}

bool SyncTypedChild(XmlElement element, WStringView name, uint32_t direction, int64_t& field) {
    return SyncInt64Field(element, name, kQavNamespaceUri, direction, field);
}

bool SyncTypedChild(XmlElement element, WStringView name, uint32_t direction, double& field) {
    if (direction != kSyncRead) {
        return SyncDoubleField(element, name, kQavNamespaceUri, direction, field);
    }
    double value = field;
    if (!SyncDoubleField(element, name, kQavNamespaceUri, direction, value) ||
        !std::isfinite(value)) {
        return false;
    }
    field = value;
    return true;
}

bool SyncTypedAttribute(XmlElement element, WStringView name, uint32_t direction, int32_t& field) {
    return SyncIntAttribute(element, name, kQavNamespaceUri, direction, field);
}

bool SyncTypedAttribute(XmlElement element, WStringView name, uint32_t direction, bool& field) {
    return SyncBoolAttribute(element, name, kQavNamespaceUri, direction, field);
}

bool SyncTypedAttribute(XmlElement element, WStringView name, uint32_t direction, WString& field) {
    return SyncTextAttribute(element, name, kQavNamespaceUri, direction, field);
}

bool SyncTypedAttribute(XmlElement element, WStringView name, uint32_t direction, int64_t& field) {
    return SyncInt64Attribute(element, name, kQavNamespaceUri, direction, field);
}

void SyncAttachmentLength(XmlElement element, WStringView name, bool asAttribute,
                          uint32_t direction, int32_t& length, const uint8_t*& payload) {
    if (direction != kSyncRead) {
        int32_t written = std::max(length, 0);
        asAttribute ? SyncTypedAttribute(element, name, direction, written)
                    : SyncTypedChild(element, name, direction, written);
        return;
    }
    int32_t value = -1;
    const bool found = asAttribute ? SyncTypedAttribute(element, name, kSyncRead, value)
                                   : SyncTypedChild(element, name, kSyncRead, value);
    if (found && value >= 0) {
        length = value;
        payload = nullptr;
    }
}

bool SyncChildIntAttribute(XmlElement element, WStringView childName, WStringView name,
                           const WChar* namespaceUri, uint32_t direction, int32_t& field) {
    return SyncIntAttribute(
        element.FindOrCreateChild(childName, namespaceUri, direction != kSyncRead), name,
        namespaceUri, direction, field);
}

void SyncIntItem(XmlElement item, uint32_t direction, int32_t& value) {
    if (direction != kSyncRead) {
        item.SetTextInt(value);
    } else {
        item.GetTextInt(value);
    }
}

void SyncTextItem(XmlElement item, uint32_t direction, WString& text) {
    if (direction != kSyncRead) {
        item.SetText(text);
    } else {
        item.GetText(text);
    }
}

XmlElement SyncContainer(XmlElement parent, WStringView name, uint32_t direction) {
    return parent.FindOrCreateChild(name, kQavNamespaceUri, direction != kSyncRead);
}

bool SyncFiniteDoubleAttribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                               uint32_t direction, double& field) {
    if (direction != kSyncRead) {
        if (!std::isfinite(field)) {
            return false;
        }
        element.SetAttributeDouble(name, namespaceUri, field);
        return element.IsValid();
    }
    double value = 0;
    if (!element.GetAttributeDouble(name, value) || !std::isfinite(value)) {
        return false;
    }
    field = value;
    return true;
}

}  // namespace qav
