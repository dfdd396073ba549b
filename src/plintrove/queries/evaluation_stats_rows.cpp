#include "plintrove/queries/evaluation_stats_rows.h"

#include <array>
#include <string>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/failure_detail_decoding.h"

namespace plintrove {

namespace {

constexpr std::array<std::string_view, 19> kStatsColumns{
    "eval_id",        "era_id",         "passed_thresholds",
    "sharpe",         "returns",        "turnover",
    "drawdown",       "delta_exposure", "max_weight",
    "quality_score",  "agent_is_correlation", "rejection_reason",
    "source",         "expression_elapsed_seconds", "is_correlation",
    "is_pnl_mi",      "agent_is_pnl_mi", "failure_reason",
    "failure_detail"};
constexpr std::size_t kPassedPos = 2;
constexpr std::size_t kFailureDetailPos = 18;

}  // namespace

List evaluation_stats_rows(SearchTracker& tracker, std::string_view table, const Value& eval_id,
                           std::optional<std::int64_t> limit) {
    if (limit && *limit < 1) throw ValueError("limit must be >= 1");
    const bool strategy = table == kStrategyTables.eval_table;
    const std::vector<std::string_view> pool_columns =
        strategy ? std::vector<std::string_view>{"strategy_pool_id", "strategy_signal_pool"}
                 : std::vector<std::string_view>{"signal_pool_id"};

    std::string sql =
        "SELECT eval_id, era_id, passed_thresholds, sharpe, returns, turnover, drawdown, "
        "delta_exposure, max_weight, quality_score, agent_is_correlation, rejection_reason, "
        "source, expression_elapsed_seconds, is_correlation, is_pnl_mi, agent_is_pnl_mi, "
        "failure_reason, failure_detail, ";
    sql += strategy ? "strategy_pool_id, strategy_signal_pool" : "signal_pool_id";
    sql += " FROM ";
    sql += table;
    Params params;
    if (!eval_id.is_none()) {
        sql += " WHERE eval_id=?";
        params.push_back(eval_id);
    }
    sql += " ORDER BY eval_id DESC";
    if (limit) {
        sql += " LIMIT ?";
        params.emplace_back(*limit);
    }

    List out;
    for (Row& r : tracker.conn().execute(sql, params).fetchall()) {
        Mapping m;
        for (std::size_t i = 0; i < kStatsColumns.size(); ++i) {
            Value v = std::move(r.at(i));
            if (i == kPassedPos) v = Value(v.truthy());
            if (i == kFailureDetailPos) v = failure_detail_from_storage(v);
            m.set(Value(kStatsColumns[i]), std::move(v));
        }
        for (std::size_t j = 0; j < pool_columns.size(); ++j) {
            m.set(Value(pool_columns[j]), std::move(r.at(kStatsColumns.size() + j)));
        }
        out.emplace_back(std::move(m));
    }
    return out;
}

List get_signal_stats(SearchTracker& tracker, const Value& eval_id,
                      std::optional<std::int64_t> limit) {
    OperationScope operation(tracker);
    return evaluation_stats_rows(tracker, kSignalTables.eval_table, eval_id, limit);
}

List get_strategy_stats(SearchTracker& tracker, const Value& eval_id,
                        std::optional<std::int64_t> limit) {
    OperationScope operation(tracker);
    return evaluation_stats_rows(tracker, kStrategyTables.eval_table, eval_id, limit);
}

}  // namespace plintrove
