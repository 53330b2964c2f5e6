// The list binding of the entries of a device's status. Their body bindings take
// (element, direction, entry); this hands them to SyncRecordList of records/record_fields.h,
// so every entry list follows the one list rule: writing replaces the wrapper's old items
// (other children stay), reading empties the list and reads each item, in document order,
// into a fresh entry; a null wrapper reads as an empty list.
//
// Typical usage inside an entry's list binding:
//   SyncEntryList(wrapper, u"qav:PhoneEntry", direction, entries, SyncPhoneEntryBody);
//
// The caller keeps the element and the list on one thread.
#pragma once

#include <cstdint>
#include <vector>

#include "core/wide_text.h"
#include "core/xml_element.h"
#include "records/record_fields.h"

namespace qav {

template <typename Entry>
void SyncEntryList(XmlElement wrapper, WStringView itemName, uint32_t direction,
                   std::vector<Entry>& list, void (*body)(XmlElement, uint32_t, Entry&)) {
    SyncRecordList(itemName, kQavNamespaceUri, wrapper, direction, list,
                   [body](Entry& entry, XmlElement item, uint32_t itemDirection) {
                       body(item, itemDirection, entry);
                   });
}

}  // namespace qav
