#pragma once
// Lookups from an evaluation type to the tables and pool column of its submission family.

#include <string_view>

#include "plintrove/value/value.h"

namespace plintrove {

// The table of `kind` ("queue", "attempts", "status" or "retry") for the type. Raises
// ValueError for an unknown type and KeyError (message: the kind) for an unknown kind.
std::string_view submission_table(const Value& eval_type, std::string_view kind);
// "signal_pool_id" or "strategy_pool_id".
std::string_view submission_pool_column(const Value& eval_type);
// "signal_evaluations" or "strategy_evaluations".
std::string_view eval_table(const Value& eval_type);

}  // namespace plintrove
