#pragma once
// Row counts: the generic counter and the filtered evaluation count.

#include <cstdint>
#include <string_view>

#include "plintrove/core/search_tracker.h"
#include "plintrove/queries/filters.h"

namespace plintrove {

// "SELECT COUNT(*) FROM table" plus " WHERE " + where_clause when that is non-empty.
std::int64_t count_where(SearchTracker& tracker, std::string_view table,
                         std::string_view where_clause = "", const Params& params = {});

std::int64_t get_evaluation_count(SearchTracker& tracker, const Value& eval_type,
                                  const SettingsFilter& filter);

}  // namespace plintrove
