#include "plintrove/queries/failure_detail_decoding.h"

#include "plintrove/core/errors.h"
#include "plintrove/value/json.h"

namespace plintrove {

Value failure_detail_from_storage(const Value& value) {
    if (!value.is_text() || value.as_text().empty()) return value;
    Value decoded;
    try {
        decoded = json_loads(value.as_text());
    } catch (const Error&) {
        return value;
    }
    return decoded.is_map() ? decoded : value;
}

}  // namespace plintrove
