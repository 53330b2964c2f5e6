// CaptureDeviceEvent: one change or occurrence at a capture device (a channel opened or
// renamed, a rate changed, a port value set, a threshold crossed, a zone entered, a user
// event: 84 kinds). Devices send it; the node forwards it to monitors, applies it to the
// device's status and rules and keeps it in the events history.
//
// Everything travels as attributes of the one element, and the kind decides which:
//   <qav:CaptureDeviceEvent qav:DeviceID="7" qav:Type="Battery power too low"
//    qav:Value="12.5" xmlns:qav="..."/>
// "qav:Value" holds Value for most kinds and DoubleValue for kinds 20 and 22. An event
// of type 0 is not written at all.
//
// Used by one thread at a time.
#pragma once

#include <cstdint>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "records/xml_record.h"

namespace qav {

// The 84 kinds, values 1 to 84.
extern const EnumTextRow kCaptureDeviceEventTypeTable[84];

class CaptureDeviceEvent : public XmlRecord {
  public:
    static constexpr int32_t kTypeId = 2;
    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    int32_t m_type = 0;  // a value of kCaptureDeviceEventTypeTable; 0 for none
    int32_t m_deviceId = 0;
    int32_t m_index = -1;
    int32_t m_value = 0;
    double m_doubleValue = 0.0;
    WString m_name;
    WString m_comment;
};

// The event's fields as attributes of `element` (kSyncWrite) or from them (kSyncRead),
// for holders of events that keep their own elements. Reading picks the attributes by
// the type as just read; a non-finite number is not taken.
void Serialize(CaptureDeviceEvent& record, XmlElement element, uint32_t direction);

}  // namespace qav
