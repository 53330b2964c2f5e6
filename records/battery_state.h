// What the status extension and the devices summary both say of a device's battery: its
// charging state as a text of kChargingStateTable and its level as a double attribute
// ("qav:PartialPower", -1 when unknown).
//
// The table is constant; the binding touches only the element and the field given, on the
// caller's thread.
#pragma once

#include <cstdint>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"

namespace qav {

inline constexpr EnumTextRow kChargingStateTable[] = {
    {0, u"Unknown"},
    {1, u"Not Charging"},
    {2, u"Charging"},
    {3, u"Full"},
};

// The double attribute `name` of the element itself, written as "%g". An infinite or NaN
// value is neither written nor taken from a reading (false, field unchanged): as "inf" no
// reader would take it for a number.
bool SyncDoubleAttribute(XmlElement element, WStringView name, uint32_t direction, double& field);

}  // namespace qav
