#include "records/phone_entry.h"

#include "records/record_fields.h"

namespace qav {

void SyncPhoneEntryBody(XmlElement element, uint32_t direction, PhoneEntry& entry) {
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, entry.m_name);
    SyncTextAttribute(element, u"qav:PhoneNumber", kQavNamespaceUri, direction,
                      entry.m_phoneNumber);
    SyncBoolAttribute(element, u"qav:SendImage", kQavNamespaceUri, direction, entry.m_sendImage);
}

void SyncPhoneEntryList(XmlElement wrapper, uint32_t direction, std::vector<PhoneEntry>& entries) {
    SyncList(wrapper, u"qav:PhoneEntry", kQavNamespaceUri, direction, entries, SyncPhoneEntryBody);
}

}  // namespace qav
