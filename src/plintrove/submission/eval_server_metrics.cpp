#include "plintrove/submission/eval_server_metrics.h"

#include <string>
#include <utility>

#include "plintrove/core/evaluation_recording.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/validators.h"
#include "plintrove/submission/submission_tables.h"

namespace plintrove {

std::optional<MetricsUpdate> eval_server_metrics_update(std::int64_t eval_id,
                                                        const Value& eval_type,
                                                        const EvalServerMetrics& metrics) {
    const std::pair<const char*, Value> candidates[] = {
        {"agent_is_correlation", metrics.agent_is_correlation},
        {"is_correlation", metrics.is_correlation},
        {"is_pnl_mi", metrics.is_pnl_mi},
        {"agent_is_pnl_mi", metrics.agent_is_pnl_mi},
        {"failure_reason", metrics.failure_reason},
        {"failure_detail", failure_detail_for_storage(metrics.failure_detail)},
    };
    std::string assignments;
    Params values;
    auto assign = [&](const char* column, const Value& value) {
        if (!assignments.empty()) assignments += ", ";
        assignments += column;
        assignments += "=?";
        values.push_back(value);
    };
    for (const auto& [column, value] : candidates) {
        if (!value.is_none()) assign(column, value);
    }
    if (eval_type.as_text() == "strategy" && !metrics.strategy_signal_pool.is_none()) {
        assign("strategy_signal_pool", metrics.strategy_signal_pool);
    }
    if (assignments.empty()) return std::nullopt;

    values.push_back(Value(eval_id));
    std::string sql = "UPDATE ";
    sql += eval_table(eval_type);
    sql += " SET " + assignments + " WHERE eval_id=?";
    return MetricsUpdate{std::move(sql), std::move(values)};
}

bool update_eval_server_metrics(SearchTracker& t, std::int64_t eval_id, const Value& eval_type,
                                const EvalServerMetrics& metrics, bool commit) {
    OperationScope operation(t);
    validate_eval_type_strict(eval_type);
    std::optional<MetricsUpdate> update = eval_server_metrics_update(eval_id, eval_type, metrics);
    if (!update) return false;
    bool updated = t.conn().execute(update->sql, update->values).rowcount() > 0;
    if (commit) t.conn().commit();
    return updated;
}

}  // namespace plintrove
