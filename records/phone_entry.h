// PhoneEntry: a contact that receives a capture device's text messages — who, at which
// number, and whether a picture goes with the text. The status record keeps the list.
//
// Wire form: <qav:PhoneEntry qav:Name="Desk" qav:PhoneNumber="+15550100" qav:SendImage="True"/>
//
// Entries are plain values, copied whole; used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "core/wide_text.h"
#include "core/xml_element.h"

namespace qav {

struct PhoneEntry {
    WString m_name;
    WString m_phoneNumber;
    bool m_sendImage = false;

    bool operator==(const PhoneEntry&) const = default;
};

// The entry's own element, kSyncWrite or kSyncRead.
void SyncPhoneEntryBody(XmlElement element, uint32_t direction, PhoneEntry& entry);

// Items "qav:PhoneEntry" under `wrapper` (see SyncList).
void SyncPhoneEntryList(XmlElement wrapper, uint32_t direction, std::vector<PhoneEntry>& entries);

}  // namespace qav
