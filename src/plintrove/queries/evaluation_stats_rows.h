#pragma once
// Raw statistics rows of one evaluation table, newest eval_id first.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "plintrove/core/search_tracker.h"

namespace plintrove {

// One mapping per row: eval_id, era_id, passed_thresholds (bool), the statistics, server
// metrics and failure columns (failure_detail decoded), then the table's pool columns.
// `table` is written into the statement as given; limit None reads every row.
List evaluation_stats_rows(SearchTracker& tracker, std::string_view table,
                           const Value& eval_id = Value(),
                           std::optional<std::int64_t> limit = 1000);

List get_signal_stats(SearchTracker& tracker, const Value& eval_id = Value(),
                      std::optional<std::int64_t> limit = 1000);
List get_strategy_stats(SearchTracker& tracker, const Value& eval_id = Value(),
                        std::optional<std::int64_t> limit = 1000);

}  // namespace plintrove
