#pragma once
// Recording one evaluation: the row, its usage rows, one commit.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "plintrove/core/graph_analysis.h"
#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/storage/connection.h"
#include "plintrove/value/value.h"

namespace plintrove {

// Arguments shared by both recording operations, with their defaults.
struct EvaluationArgs {
    // The graph, or its preparation (`graph` then stays None).
    Value graph;
    std::optional<PreparedGraph> prepared_graph;
    BacktestStats stats;
    // Set when the host's statistics could not be read: raised where the recording reads
    // them (after the checks, the cross-pool check and the graph analysis; before the
    // identity), so an unreadable object never hides an earlier error.
    std::exception_ptr stats_error;
    std::int64_t era_id = 0;
    bool passed_thresholds = false;
    Value named_universe;
    Value metaparameters;
    Value function_families;
    Value feature_families;
    Value per_column_stats;
    // Fields only ever stored as JSON text, written to it where the arguments were read (the
    // value, per_column_stats or stats.liquidity_metrics, then stays None).
    std::optional<std::string> per_column_stats_json;
    std::optional<std::string> liquidity_metrics_json;
    Value rejection_reason;
    Value source = Value("search");
    Value expression_elapsed_seconds;
    Value is_correlation;
    Value is_pnl_mi;
    Value agent_is_pnl_mi;
    Value failure_reason;
    Value failure_detail;
};

struct SignalEvaluationArgs : EvaluationArgs {
    Value signal_pool_id;
};

struct StrategyEvaluationArgs : EvaluationArgs {
    Value referenced_signal_ids;
    Value strategy_pool_id;
    Value strategy_signal_pool;
};

// The arguments are used up: their texts move into the statement rather than being copied.
std::int64_t record_signal_evaluation(SearchTracker& tracker, SignalEvaluationArgs&& args);
std::int64_t record_strategy_evaluation(SearchTracker& tracker, StrategyEvaluationArgs&& args);

// Shared with the writer thread. Every name and family entry is checked before the first
// row is written (TypeError for a name SQLite cannot store, ValueError for an entry without
// family and subfamily); does not commit.
void insert_usage_rows(Connection& conn, std::int64_t eval_id, const List& functions,
                       const List& features, std::string_view fn_table,
                       std::string_view feat_table, const Value& function_families,
                       const Value& feature_families);
// Raises CrossPoolReferenceError when a referenced signal is missing or in another pool.
void check_strategy_signal_pool_references(Connection& conn, const Value& strategy_pool_id,
                                           const Value& strategy_signal_pool,
                                           const Value& referenced_signal_ids);
// The value's JSON text as a statement parameter.
Value json_param(const Value& v);
// json_param of a list of families (those rotation_families_of gives), written without
// copying them.
Value rotation_families_param(const std::vector<const Value*>& families);
// A JSON column's parameter: the text written where the field was read when there is one,
// else the value's JSON; NULL for None.
Value json_column(std::optional<std::string> text, const Value& value);
// None stays None, text stays text, anything else becomes compact sorted JSON, or its
// str() form when it cannot be encoded.
Value failure_detail_for_storage(const Value& value);

}  // namespace plintrove
