#pragma once
// Argument validators shared by every operation; each raises ValueError with its fixed message.

#include <string_view>

#include "plintrove/value/value.h"

namespace plintrove {

void validate_eval_type(const Value& eval_type);             // None, "signal", "strategy"
void validate_eval_type_strict(const Value& eval_type);      // "signal", "strategy"
void validate_management_eval_type(const Value& eval_type);  // None, "signal", "strategy"
void validate_source_query(const Value& source);             // None, "search", "simulate"
void validate_source_record(const Value& source);            // "search", "simulate"
// Returns `value` (None stays None) when it is None or non-empty text.
Value validate_optional_pool_query(const Value& value, std::string_view field_name);

}  // namespace plintrove
