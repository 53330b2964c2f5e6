// The field bindings of the records beyond the plain text, integer and boolean children
// of core/xml_fields.h: 64-bit integers, doubles, enumerations carried as texts, and
// integer lists. They follow the same rule: one direction flag (kSyncWrite or kSyncRead),
// a write creates or reuses the child, a read that finds nothing usable leaves the field
// as it was and returns false.
//
// Typical usage inside a serializer:
//   SyncEnumField(element, u"qav:LogSeverity", kQavNamespaceUri, kLogSeverityTable,
//                 direction, record.m_logSeverity);
//
// The caller keeps the element and the field on one thread.
#pragma once

#include <cstdint>
#include <vector>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"
#include "core/xml_fields.h"

namespace qav {

// Signed 64-bit decimal text; a reading beyond the range saturates.
bool SyncInt64Field(XmlElement element, WStringView name, const WChar* namespaceUri,
                    uint32_t direction, int64_t& field);

// A decimal child that sets a limit or a count of this process (the log's maximum, a
// recorder's thresholds) rather than a value carried for peers: read only when its text is
// wholly a decimal number within the field's range (core/text_utils.h, ParseDecimalInt32).
// Any other text ("", "abc", "--5", "0x80000000") would read as 0, which may lift the
// limit; it leaves the field as it was and the refusal is reported as a warning to the
// process-wide text logger. Written as SyncIntField and SyncInt64Field write it.
bool SyncCheckedIntField(XmlElement element, WStringView name, const WChar* namespaceUri,
                         uint32_t direction, int32_t& field);
bool SyncCheckedIntField(XmlElement element, WStringView name, const WChar* namespaceUri,
                         uint32_t direction, int64_t& field);

// The same reading of the element's own text; false (and no report) for a null element.
bool ReadCheckedInt(XmlElement element, int32_t& field);

// Written as the shortest text that reads back to the same double; read by its leading decimal
// number (none gives 0.0, the rest of the text is ignored).
bool SyncDoubleField(XmlElement element, WStringView name, const WChar* namespaceUri,
                     uint32_t direction, double& field);

// The enumeration's text as the text of the first child named `name`. Writing a value
// that has no text in the table writes nothing and returns false; reading a text that no
// row has (case and spaces count) returns false with the field unchanged.
bool SyncEnumField(XmlElement element, WStringView name, const WChar* namespaceUri,
                   EnumTextTable table, uint32_t direction, int32_t& field);

// The same, carried in the attribute `name` of the element itself.
bool SyncEnumAttribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                       EnumTextTable table, uint32_t direction, int32_t& field);

// A text, decimal or "True"/"False" attribute of the element itself. Writing sets it (an
// empty text too) and returns whether the element exists; reading copies it only when
// present and returns whether it was.
bool SyncTextAttribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                       uint32_t direction, WString& field);
bool SyncIntAttribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                      uint32_t direction, int32_t& field);
bool SyncBoolAttribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                       uint32_t direction, bool& field);

bool SyncInt64Attribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                        uint32_t direction, int64_t& field);

// A field of the qav namespace by its type: as the text of the child `name` (decimal,
// "True"/"False", the text itself, or a double as DoubleToWString writes it), or as the attribute
// `name` of the element itself. A double read as infinite is refused: written on as "inf", no
// reader would take it for a number.
bool SyncTypedChild(XmlElement element, WStringView name, uint32_t direction, int32_t& field);
bool SyncTypedChild(XmlElement element, WStringView name, uint32_t direction, bool& field);
bool SyncTypedChild(XmlElement element, WStringView name, uint32_t direction, WString& field);
bool SyncTypedChild(XmlElement element, WStringView name, uint32_t direction, int64_t& field);
bool SyncTypedChild(XmlElement element, WStringView name, uint32_t direction, double& field);
bool SyncTypedAttribute(XmlElement element, WStringView name, uint32_t direction, int32_t& field);
bool SyncTypedAttribute(XmlElement element, WStringView name, uint32_t direction, bool& field);
bool SyncTypedAttribute(XmlElement element, WStringView name, uint32_t direction, WString& field);
bool SyncTypedAttribute(XmlElement element, WStringView name, uint32_t direction, int64_t& field);

// Written, `sync(field)`; read, `sync` fills a copy, and only a value it found within
// [minimum, maximum] replaces the field.
template <typename SyncValue>
void SyncBounded(uint32_t direction, int32_t& field, int32_t minimum, int32_t maximum,
                 SyncValue sync) {
    if (direction != kSyncRead) {
        sync(field);
        return;
    }
    int32_t value = field;
    if (sync(value) && value >= minimum && value <= maximum) {
        field = value;
    }
}

// The one attachment rule of the messages that carry bytes. Every read starts with
// DropAttachment: the bytes and length of an earlier message never belong to the one read
// now. SyncAttachmentLength is the length as the child or the attribute `name`; a negative
// length would reach the connection as one of about 4 GiB, so it is refused when read and
// written as 0, the length GetPayload hands out.
inline void DropAttachment(int32_t& length, const uint8_t*& payload) {
    length = 0;
    payload = nullptr;
}
void SyncAttachmentLength(XmlElement element, WStringView name, bool asAttribute,
                          uint32_t direction, int32_t& length, const uint8_t*& payload);

// The decimal attribute `name` of the element's first child `childName`, a child that
// writing creates when it is missing; reading without the child keeps the field.
bool SyncChildIntAttribute(XmlElement element, WStringView childName, WStringView name,
                           const WChar* namespaceUri, uint32_t direction, int32_t& field);

// The container child `name` (in the qav namespace) that a record keeps fields in: found
// when reading (null when absent, so reads of its fields do nothing), found or created
// when writing.
XmlElement SyncContainer(XmlElement parent, WStringView name, uint32_t direction);

// A double attribute, written as DoubleToWString writes it. Only finite values travel: writing a
// value that is not finite writes nothing, and a reading that is not finite ("1e999") leaves the
// field unchanged, as no reader takes "inf" for a number. Returns whether the value was written or
// taken.
bool SyncFiniteDoubleAttribute(XmlElement element, WStringView name, const WChar* namespaceUri,
                               uint32_t direction, double& field);

// The one list binding: one child `itemName` of the wrapper per entry of `list`, each entry
// bound on its child by `syncItem(child, direction, entry)`. Writing replaces the wrapper's old
// items (other children stay); reading empties the list first (also when the wrapper is null)
// and appends, in document order, one entry per matching child, each starting from the entry
// type's defaults. Returns whether the wrapper exists.
//
// Typical usage:
//   SyncList(wrapper, u"qav:SampleRate", kQavNamespaceUri, direction, rates, SyncIntItem);
//   SyncList(wrapper, u"qav:ImageSize", kQavNamespaceUri, direction, sizes);  // by Serialize
template <typename Item, typename SyncItem>
bool SyncList(XmlElement wrapper, WStringView itemName, const WChar* namespaceUri,
              uint32_t direction, std::vector<Item>& list, SyncItem&& syncItem) {
    if (direction != kSyncRead) {
        wrapper.RemoveChildren(itemName);
        for (Item& item : list) {
            syncItem(wrapper.CreateChild(itemName, namespaceUri), direction, item);
        }
        return wrapper.IsValid();
    }
    list.clear();
    WString childName;
    for (XmlElement child = wrapper.FirstChild(); child.IsValid(); child = child.NextSibling()) {
        if (child.GetName(childName) && childName == itemName) {
            syncItem(child, direction, list.emplace_back());
        }
    }
    return wrapper.IsValid();
}

// The same for entries that serialize themselves: item.Serialize(child, direction), or
// Serialize(item, child, direction) for a type without that member.
template <typename Item>
bool SyncList(XmlElement wrapper, WStringView itemName, const WChar* namespaceUri,
              uint32_t direction, std::vector<Item>& list) {
    return SyncList(wrapper, itemName, namespaceUri, direction, list,
                    [](XmlElement child, uint32_t itemDirection, Item& item) {
                        if constexpr (requires { item.Serialize(child, itemDirection); }) {
                            item.Serialize(child, itemDirection);
                        } else {
                            Serialize(item, child, itemDirection);
                        }
                    });
}

// Entry bindings for SyncList: the item's text as a decimal, and the item's text itself.
void SyncIntItem(XmlElement item, uint32_t direction, int32_t& value);
void SyncTextItem(XmlElement item, uint32_t direction, WString& text);

}  // namespace qav
