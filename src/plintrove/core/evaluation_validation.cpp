#include "plintrove/core/evaluation_validation.h"

#include "plintrove/core/errors.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

[[noreturn]] void fail(std::string_view field_name, std::string_view what) {
    std::string message(field_name);
    message += what;
    throw ValueError(message);
}

}  // namespace

void validate_metaparameters_shape(const Value& metaparameters, std::string_view field_name,
                                   const Value& required_pool_id) {
    if (!metaparameters.is_map() || metaparameters.as_map().empty()) {
        fail(field_name, " must be a non-empty per-pool dict");
    }
    const Mapping& pools = metaparameters.as_map();
    if (!required_pool_id.is_none() && pools.find(required_pool_id) == nullptr) {
        fail(field_name, " must include selected pool " + py_repr(required_pool_id));
    }
    for (const auto& [pool_id, stages] : pools) {
        if (!pool_id.is_text() || pool_id.as_text().empty()) {
            fail(field_name, " must be keyed by non-empty pool ids");
        }
        if (!stages.is_map() || stages.as_map().empty()) {
            fail(field_name, " values must be non-empty dicts keyed by stage");
        }
        for (const auto& [stage, value] : stages.as_map()) {
            if (!stage.truthy() || !value.truthy()) {
                fail(field_name, " values must contain non-empty keys and values");
            }
        }
    }
}

std::string validate_pool_id_required(const Value& value, std::string_view field_name) {
    if (!value.is_text() || value.as_text().empty()) {
        fail(field_name, " must be a non-empty string");
    }
    return value.as_text();
}

}  // namespace plintrove
