#include "plintrove/submission/status_check.h"

#include <string>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

void require_valid_status(const Value& status) {
    if (status.is_text() && is_valid_status(status.as_text())) return;
    std::string listed = "[";
    for (std::string_view valid : kValidStatuses) {
        if (listed.size() > 1) listed += ", ";
        listed += py_repr(valid);
    }
    listed += "]";
    throw ValueError("status must be one of " + listed + ", got '" + py_str(status) + "'");
}

}  // namespace plintrove
