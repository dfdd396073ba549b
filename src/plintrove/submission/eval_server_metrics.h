#pragma once
// The evaluation server's results, written onto the evaluation row.

#include <cstdint>
#include <optional>
#include <string>

#include "plintrove/core/search_tracker.h"
#include "plintrove/value/value.h"

namespace plintrove {

// None leaves a column as it is. failure_detail is stored as text, or as compact sorted JSON
// of any other value. strategy_signal_pool is written for strategies only.
struct EvalServerMetrics {
    Value agent_is_correlation;
    Value is_correlation;
    Value is_pnl_mi;
    Value failure_reason;
    Value failure_detail;
    Value agent_is_pnl_mi;
    Value strategy_signal_pool;
};

// The UPDATE writing `metrics` onto the evaluation row, or none when there is nothing to
// write. `eval_type` must be valid.
struct MetricsUpdate {
    std::string sql;
    Params values;
};
std::optional<MetricsUpdate> eval_server_metrics_update(std::int64_t eval_id,
                                                        const Value& eval_type,
                                                        const EvalServerMetrics& metrics);

// Returns whether the evaluation row was updated. With nothing to write it touches no
// table and does not commit; otherwise it commits when `commit` is true.
bool update_eval_server_metrics(SearchTracker& t, std::int64_t eval_id, const Value& eval_type,
                                const EvalServerMetrics& metrics, bool commit = true);

}  // namespace plintrove
