#pragma once
// The module's constant tables. Orders are significant: code iterates them as listed.

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

namespace plintrove {

using std::string_view_literals::operator""sv;

// _SUBMISSION_TABLES: evaluation type -> role -> table or column.
struct SubmissionTableRoles {
    std::string_view queue, attempts, status, retry, eval_table, pool_column;
};
inline constexpr std::array<std::pair<std::string_view, SubmissionTableRoles>, 2> kSubmissionTables{{
    {"signal", {"signal_submission_queue", "signal_submission_attempts", "signal_submission_status",
                "signal_submission_retry", "signal_evaluations", "signal_pool_id"}},
    {"strategy", {"strategy_submission_queue", "strategy_submission_attempts",
                  "strategy_submission_status", "strategy_submission_retry",
                  "strategy_evaluations", "strategy_pool_id"}},
}};
inline constexpr std::array<std::string_view, 6> kSubmissionRoleNames{
    "queue", "attempts", "status", "retry", "eval_table", "pool_column"};

inline constexpr std::array<std::string_view, 8> kSplitSubmissionTables{
    "signal_submission_queue",    "strategy_submission_queue",
    "signal_submission_attempts", "strategy_submission_attempts",
    "signal_submission_status",   "strategy_submission_status",
    "signal_submission_retry",    "strategy_submission_retry"};

// (evaluation table, function-usage table, feature-usage table)
struct EvalTables {
    std::string_view eval_table, fn_table, feat_table;
};
inline constexpr EvalTables kSignalTables{"signal_evaluations", "signal_function_usage",
                                          "signal_feature_usage"};
inline constexpr EvalTables kStrategyTables{"strategy_evaluations", "strategy_function_usage",
                                            "strategy_feature_usage"};

inline constexpr std::array<std::string_view, 14> kDbInfoTables{
    "signal_evaluations",         "strategy_evaluations",       "signal_function_usage",
    "signal_feature_usage",       "strategy_function_usage",    "strategy_feature_usage",
    "signal_submission_queue",    "strategy_submission_queue",  "signal_submission_attempts",
    "strategy_submission_attempts", "signal_submission_status", "strategy_submission_status",
    "signal_submission_retry",    "strategy_submission_retry"};

inline constexpr std::array<std::string_view, 22> kValidStatuses{
    "queued",
    "pending",
    "signal_is_validating",
    "signal_found",
    "signal_is_rejected",
    "signal_os_validating",
    "signal_os_passed",
    "signal_os_failed",
    "signal_useful",
    "signal_not_useful",
    "signal_useful_transition_failed",
    "strategy_is_validating",
    "strategy_found",
    "strategy_is_rejected",
    "strategy_os_validating",
    "strategy_os_passed",
    "strategy_os_failed",
    "strategy_useful",
    "strategy_not_useful",
    "strategy_useful_transition_failed",
    "paid",
    "rejected"};

// TERMINAL_STATUSES, in ascending text order (the order status updates bind them in).
inline constexpr std::array<std::string_view, 14> kTerminalStatuses{
    "paid",
    "rejected",
    "signal_found",
    "signal_is_rejected",
    "signal_not_useful",
    "signal_os_failed",
    "signal_useful",
    "signal_useful_transition_failed",
    "strategy_found",
    "strategy_is_rejected",
    "strategy_not_useful",
    "strategy_os_failed",
    "strategy_useful",
    "strategy_useful_transition_failed"};

bool is_valid_status(std::string_view status);
bool is_terminal_status(std::string_view status);

using ColumnType = std::pair<std::string_view, std::string_view>;

inline constexpr std::array<ColumnType, 5> kEvalMetricColumns{{
    {"is_correlation", "REAL"},
    {"is_pnl_mi", "REAL"},
    {"agent_is_pnl_mi", "REAL"},
    {"failure_reason", "TEXT"},
    {"failure_detail", "TEXT"},
}};
inline constexpr std::array<std::string_view, 5> kEvalMetricColumnNames{
    "is_correlation", "is_pnl_mi", "agent_is_pnl_mi", "failure_reason", "failure_detail"};

inline constexpr std::int64_t kDiskThreshold = 524288000;
inline constexpr int kPoolV2SchemaVersion = 2;
inline constexpr std::string_view kDeleteActiveError =
    "Cannot delete evaluations while a search is running. Call handle.stop() first.";

inline constexpr std::array<ColumnType, 12> kSignalEvalColumnMigrations{{
    {"rotation_families_json", "TEXT"},
    {"per_column_stats_json", "TEXT"},
    {"rejection_reason", "TEXT"},
    {"submitted", "INTEGER NOT NULL DEFAULT 0"},
    {"liquidity_metrics_json", "TEXT"},
    {"source", "TEXT NOT NULL DEFAULT 'search'"},
    {"expression_elapsed_seconds", "REAL"},
    {"is_correlation", "REAL"},
    {"is_pnl_mi", "REAL"},
    {"agent_is_pnl_mi", "REAL"},
    {"failure_reason", "TEXT"},
    {"failure_detail", "TEXT"},
}};
inline constexpr std::array<ColumnType, 13> kStrategyEvalColumnMigrations{{
    {"rotation_families_json", "TEXT"},
    {"per_column_stats_json", "TEXT"},
    {"rejection_reason", "TEXT"},
    {"submitted", "INTEGER NOT NULL DEFAULT 0"},
    {"liquidity_metrics_json", "TEXT"},
    {"referenced_signal_ids_json", "TEXT"},
    {"source", "TEXT NOT NULL DEFAULT 'search'"},
    {"expression_elapsed_seconds", "REAL"},
    {"is_correlation", "REAL"},
    {"is_pnl_mi", "REAL"},
    {"agent_is_pnl_mi", "REAL"},
    {"failure_reason", "TEXT"},
    {"failure_detail", "TEXT"},
}};

struct TableIndexes {
    std::string_view table;
    std::array<std::string_view, 7> names;  // unused slots are empty
    std::size_t count;
};
inline constexpr std::array<TableIndexes, 8> kTableIndexes{{
    {"signal_evaluations",
     {"idx_signal_era", "idx_signal_timestamp", "idx_signal_passed", "idx_signal_rejection",
      "idx_signal_settings", "idx_signal_source"},
     6},
    {"strategy_evaluations",
     {"idx_strategy_era", "idx_strategy_timestamp", "idx_strategy_passed",
      "idx_strategy_rejection", "idx_strategy_settings", "idx_strategy_signal_pool",
      "idx_strategy_source"},
     7},
    {"signal_function_usage", {"idx_sig_fn_eval", "idx_sig_fn_name"}, 2},
    {"signal_feature_usage", {"idx_sig_feat_eval", "idx_sig_feat_name"}, 2},
    {"strategy_function_usage", {"idx_meta_fn_eval", "idx_meta_fn_name"}, 2},
    {"strategy_feature_usage", {"idx_meta_feat_eval", "idx_meta_feat_name"}, 2},
    {"signal_submission_status", {"idx_signal_substatus_pool"}, 1},
    {"strategy_submission_status",
     {"idx_strategy_substatus_pool", "idx_strategy_substatus_signal_pool"},
     2},
}};

inline constexpr std::array<std::string_view, 18> kSimInsertColumns{
    "id",           "graph_json",          "era_id",         "market_id",
    "pool_id",      "named_universe",      "is_dates_json",  "metaparameters_json",
    "search_state_json", "frequency",      "resolved_context_json", "status",
    "progress",     "created_at",          "completed_at",   "stats_json",
    "pnl_json",     "error_msg"};

inline constexpr std::array<std::string_view, 2> kPostgresUrlPrefixes{"postgresql://",
                                                                      "postgres://"};

}  // namespace plintrove
