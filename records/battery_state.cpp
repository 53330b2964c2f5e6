#include "records/battery_state.h"

#include <cmath>

#include "core/xml_fields.h"
#include "core/xml_node.h"

namespace qav {

bool SyncDoubleAttribute(XmlElement element, WStringView name, uint32_t direction, double& field) {
    if (direction != kSyncRead) {
        if (!std::isfinite(field)) {
            return false;
        }
        element.SetAttributeDouble(name, kQavNamespaceUri, field);
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
