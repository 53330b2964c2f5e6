// What the status extension and the devices summary both say of a device's battery: its
// charging state as a text of kChargingStateTable (its level travels as the finite double
// attribute "qav:PartialPower", -1 when unknown).
#pragma once

#include "core/enum_text_table.h"

namespace qav {

inline constexpr EnumTextRow kChargingStateTable[] = {
    {0, u"Unknown"},
    {1, u"Not Charging"},
    {2, u"Charging"},
    {3, u"Full"},
};

}  // namespace qav
