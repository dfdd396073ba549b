#pragma once
// Stored evaluations themselves: the paged history with usage rows, and the lightweight
// per-column statistics batch.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/queries/filters.h"

namespace plintrove {

// Ids per usage lookup: well below SQLite's bound-parameter limit (999 on old builds).
inline constexpr std::size_t kUsageLookupChunk = 500;

// One stored evaluation as the history reads it: its row and usage rows, none of them
// decoded yet, so that callers build their own objects straight from the stored text.
struct StoredEvaluation {
    bool strategy = false;
    Row columns;  // the history row: the shared columns, then the type's own (kHistoryFields)
    // function_name, rotation_family, function_family, function_subfamily of each use
    std::vector<Value> function_usage;
    // feature_name, feature_family, feature_subfamily of each use
    std::vector<Value> feature_usage;
};
inline constexpr std::size_t kFunctionUsageWidth = 4;
inline constexpr std::size_t kFeatureUsageWidth = 3;

// How each field of a record, in the record's field order, comes from a stored evaluation.
enum class HistorySource : std::uint8_t {
    Column,         // the column as stored (none where the type has no such column)
    Truth,          // the column's truth value
    Json,           // the column decoded; none when NULL or the empty text
    JsonList,       // the column decoded; an empty list when NULL or the empty text
    FailureDetail,  // failure_detail_from_storage of the column
    EvalType,       // "signal" or "strategy"
    Functions,      // the function names of the usage rows, in row order
    Features,
    FunctionMetadata,  // one mapping per function usage row, keys as the columns
    FeatureMetadata,
};
struct HistoryField {
    std::string_view name;
    HistorySource source;
    int signal_column;  // position in StoredEvaluation::columns; -1 when the type has none
    int strategy_column;
    int column(bool strategy) const { return strategy ? strategy_column : signal_column; }
};
inline constexpr HistoryField kHistoryFields[] = {
    {"eval_id", HistorySource::Column, 0, 0},
    {"eval_type", HistorySource::EvalType, -1, -1},
    {"era_id", HistorySource::Column, 2, 2},
    {"timestamp", HistorySource::Column, 1, 1},
    {"named_universe", HistorySource::Column, 17, 17},
    {"metaparameters", HistorySource::Json, 18, 18},
    {"graph", HistorySource::Json, 3, 3},
    {"tree_depth", HistorySource::Column, 4, 4},
    {"passed_thresholds", HistorySource::Truth, 6, 6},
    {"sharpe", HistorySource::Column, 7, 7},
    {"returns", HistorySource::Column, 8, 8},
    {"turnover", HistorySource::Column, 9, 9},
    {"drawdown", HistorySource::Column, 10, 10},
    {"delta_exposure", HistorySource::Column, 11, 11},
    {"max_weight", HistorySource::Column, 12, 12},
    {"quality_score", HistorySource::Column, 13, 13},
    {"correlation", HistorySource::Column, 14, 14},
    {"per_column_stats", HistorySource::Json, 15, 15},
    {"rejection_reason", HistorySource::Column, 16, 16},
    {"functions", HistorySource::Functions, -1, -1},
    {"features", HistorySource::Features, -1, -1},
    {"rotation_families_used", HistorySource::JsonList, 5, 5},
    {"referenced_signal_ids", HistorySource::Json, -1, 28},
    {"source", HistorySource::Column, 21, 21},
    {"submitted", HistorySource::Truth, 19, 19},
    {"liquidity_metrics", HistorySource::Json, 20, 20},
    {"expression_elapsed_seconds", HistorySource::Column, 22, 22},
    {"signal_pool_id", HistorySource::Column, 28, -1},
    {"strategy_pool_id", HistorySource::Column, -1, 29},
    {"strategy_signal_pool", HistorySource::Column, -1, 30},
    {"is_correlation", HistorySource::Column, 23, 23},
    {"agent_is_correlation", HistorySource::Column, 14, 14},
    {"is_pnl_mi", HistorySource::Column, 24, 24},
    {"agent_is_pnl_mi", HistorySource::Column, 25, 25},
    {"failure_reason", HistorySource::Column, 26, 26},
    {"failure_detail", HistorySource::FailureDetail, 27, 27},
    {"function_metadata", HistorySource::FunctionMetadata, -1, -1},
    {"feature_metadata", HistorySource::FeatureMetadata, -1, -1},
};

// The PerColumnStatsRecord fields, from the batch's columns.
inline constexpr HistoryField kPerColumnFields[] = {
    {"eval_id", HistorySource::Column, 0, 0},
    {"eval_type", HistorySource::EvalType, -1, -1},
    {"passed_thresholds", HistorySource::Truth, 1, 1},
    {"per_column_stats", HistorySource::Json, 2, 2},
    {"rejection_reason", HistorySource::Column, 3, 3},
    {"source", HistorySource::Column, 4, 4},
};

// Newest first across the selected tables (signal before strategy at equal timestamps),
// sliced to [offset, offset + limit); limit None means no limit. Every fetched row's JSON
// columns are checked, page or not, so a stored text that does not parse fails the call
// here and building the page's values cannot.
std::vector<StoredEvaluation> get_evaluation_history(SearchTracker& tracker,
                                                     const Value& eval_type, bool passed_only,
                                                     std::optional<std::int64_t> limit,
                                                     std::int64_t offset,
                                                     const SettingsFilter& filter);

// The next `limit` evaluations of one type ("signal" or "strategy") with eval_id above
// `after_eval_id`, in ascending eval_id. Reading a whole table chunk by chunk (each chunk
// after the last id of the one before) holds one chunk at a time and runs one short read
// statement per chunk.
std::vector<StoredEvaluation> get_evaluation_history_chunk(SearchTracker& tracker,
                                                           const Value& eval_type,
                                                           bool passed_only,
                                                           std::int64_t after_eval_id,
                                                           std::int64_t limit,
                                                           const SettingsFilter& filter);

// Ascending eval_id across the selected tables (signal first at equal ids), as the batch's
// columns (kPerColumnFields); every fetched row's JSON is checked, as for the history.
// passed_only None keeps both outcomes, true only passed, false only failed.
std::vector<StoredEvaluation> get_per_column_stats_batch(
    SearchTracker& tracker, const Value& eval_type, std::optional<bool> passed_only,
    std::optional<std::int64_t> limit, std::int64_t offset, const SettingsFilter& filter);

}  // namespace plintrove
