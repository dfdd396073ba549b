#pragma once
// Validation of the arguments of evaluation recording, shared with the filters.

#include <string>
#include <string_view>

#include "plintrove/value/value.h"

namespace plintrove {

// Raises ValueError unless `metaparameters` is a non-empty mapping of non-empty text pool
// ids to non-empty stage mappings with true keys and values, holding `required_pool_id`
// (when that is not None).
void validate_metaparameters_shape(const Value& metaparameters,
                                   std::string_view field_name = "metaparameters",
                                   const Value& required_pool_id = Value());

// Returns the value when it is non-empty text, else raises
// ValueError(field_name + " must be a non-empty string").
std::string validate_pool_id_required(const Value& value, std::string_view field_name);

}  // namespace plintrove
