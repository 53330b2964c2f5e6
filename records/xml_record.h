// XmlRecord: the interface of every record that travels as XML — configuration, reports
// and messages. A record writes itself as a new child of a parent element and reads
// itself from its own element; fields missing from the element keep their values.
//
// A record is used by one thread at a time.
#pragma once

#include <cstdint>

#include "core/xml_element.h"

namespace qav {

class XmlRecord {
  public:
    virtual ~XmlRecord() = default;
    virtual void WriteXml(XmlElement parent) = 0;  // always appends a new element
    virtual void ReadXml(XmlElement element) = 0;  // the record's own element
    // Points `payload` at the record's payload-reference field; returns DataSize (0 and
    // `payload` untouched for records without an attachment).
    virtual uint32_t GetPayload(const uint8_t**& payload) = 0;
    virtual int32_t GetTypeId() const = 0;
};

}  // namespace qav
