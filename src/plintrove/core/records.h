#pragma once
// The result records and the one input record. Each record lists its fields once, in
// declaration order (`fields()`); the Python binding builds its classes from that list.

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "plintrove/value/value.h"

namespace plintrove {

template <typename Record, typename Member>
struct Field {
    const char* name;
    Member Record::*member;
};

template <typename Record, typename Member>
constexpr Field<Record, Member> field(const char* name, Member Record::*member) {
    return {name, member};
}

using OptText = std::optional<std::string>;
using OptReal = std::optional<double>;
using OptInt = std::optional<std::int64_t>;

struct FunctionStats {
    static constexpr const char* kName = "FunctionStats";
    static constexpr const char* kDoc = "Per-function usage statistics.";
    std::string function_name;
    OptText rotation_family;
    std::int64_t total_evaluations = 0;
    std::int64_t passed_evaluations = 0;
    double yield_rate = 0.0;
    static constexpr auto fields() {
        using R = FunctionStats;
        return std::make_tuple(field("function_name", &R::function_name),
                               field("rotation_family", &R::rotation_family),
                               field("total_evaluations", &R::total_evaluations),
                               field("passed_evaluations", &R::passed_evaluations),
                               field("yield_rate", &R::yield_rate));
    }
};

struct FeatureStats {
    static constexpr const char* kName = "FeatureStats";
    static constexpr const char* kDoc = "Per-feature usage statistics.";
    std::string feature_name;
    std::int64_t total_evaluations = 0;
    std::int64_t passed_evaluations = 0;
    double yield_rate = 0.0;
    static constexpr auto fields() {
        using R = FeatureStats;
        return std::make_tuple(field("feature_name", &R::feature_name),
                               field("total_evaluations", &R::total_evaluations),
                               field("passed_evaluations", &R::passed_evaluations),
                               field("yield_rate", &R::yield_rate));
    }
};

struct EvaluationRecord {
    static constexpr const char* kName = "EvaluationRecord";
    static constexpr const char* kDoc = "Full evaluation record from history query.";
    // Columns are handed back as stored (any storage type, None for NULL), hence Values.
    Value eval_id{0};
    std::string eval_type;
    Value era_id{0};
    Value timestamp{0.0};
    Value named_universe{std::string()};
    Value metaparameters;  // mapping or None
    Value graph;           // mapping or None
    Value tree_depth{0};
    bool passed_thresholds = false;
    Value sharpe{0.0};
    Value returns{0.0};
    Value turnover{0.0};
    Value drawdown{0.0};
    Value delta_exposure{0.0};
    Value max_weight{0.0};
    Value quality_score{0.0};
    Value correlation{0.0};
    Value per_column_stats;  // mapping or None
    Value rejection_reason;
    Value functions;               // list or None
    Value features;                // list or None
    Value rotation_families_used;  // list or None
    Value referenced_signal_ids;   // list or None
    Value source{std::string()};
    bool submitted = false;
    Value liquidity_metrics;  // mapping or None
    Value expression_elapsed_seconds;
    Value signal_pool_id;
    Value strategy_pool_id;
    Value strategy_signal_pool;
    Value is_correlation;
    Value agent_is_correlation;
    Value is_pnl_mi;
    Value agent_is_pnl_mi;
    Value failure_reason;
    Value failure_detail;     // mapping, text, or what the column held
    Value function_metadata;  // list or None
    Value feature_metadata;   // list or None
    static constexpr auto fields() {
        using R = EvaluationRecord;
        return std::make_tuple(
            field("eval_id", &R::eval_id), field("eval_type", &R::eval_type),
            field("era_id", &R::era_id), field("timestamp", &R::timestamp),
            field("named_universe", &R::named_universe),
            field("metaparameters", &R::metaparameters), field("graph", &R::graph),
            field("tree_depth", &R::tree_depth),
            field("passed_thresholds", &R::passed_thresholds), field("sharpe", &R::sharpe),
            field("returns", &R::returns), field("turnover", &R::turnover),
            field("drawdown", &R::drawdown), field("delta_exposure", &R::delta_exposure),
            field("max_weight", &R::max_weight), field("quality_score", &R::quality_score),
            field("correlation", &R::correlation),
            field("per_column_stats", &R::per_column_stats),
            field("rejection_reason", &R::rejection_reason),
            field("functions", &R::functions), field("features", &R::features),
            field("rotation_families_used", &R::rotation_families_used),
            field("referenced_signal_ids", &R::referenced_signal_ids),
            field("source", &R::source), field("submitted", &R::submitted),
            field("liquidity_metrics", &R::liquidity_metrics),
            field("expression_elapsed_seconds", &R::expression_elapsed_seconds),
            field("signal_pool_id", &R::signal_pool_id),
            field("strategy_pool_id", &R::strategy_pool_id),
            field("strategy_signal_pool", &R::strategy_signal_pool),
            field("is_correlation", &R::is_correlation),
            field("agent_is_correlation", &R::agent_is_correlation),
            field("is_pnl_mi", &R::is_pnl_mi), field("agent_is_pnl_mi", &R::agent_is_pnl_mi),
            field("failure_reason", &R::failure_reason),
            field("failure_detail", &R::failure_detail),
            field("function_metadata", &R::function_metadata),
            field("feature_metadata", &R::feature_metadata));
    }
};

struct PerColumnStatsRecord {
    static constexpr const char* kName = "PerColumnStatsRecord";
    static constexpr const char* kDoc = "Lightweight per-column stats record.";
    Value eval_id{0};
    std::string eval_type;
    bool passed_thresholds = false;
    Value per_column_stats;  // mapping or None
    Value rejection_reason;
    Value source{std::string()};
    static constexpr auto fields() {
        using R = PerColumnStatsRecord;
        return std::make_tuple(field("eval_id", &R::eval_id), field("eval_type", &R::eval_type),
                               field("passed_thresholds", &R::passed_thresholds),
                               field("per_column_stats", &R::per_column_stats),
                               field("rejection_reason", &R::rejection_reason),
                               field("source", &R::source));
    }
};

struct RejectionCount {
    static constexpr const char* kName = "RejectionCount";
    static constexpr const char* kDoc = "Aggregated rejection count.";
    std::string rejection_reason;
    std::int64_t count = 0;
    double percentage = 0.0;
    static constexpr auto fields() {
        using R = RejectionCount;
        return std::make_tuple(field("rejection_reason", &R::rejection_reason),
                               field("count", &R::count), field("percentage", &R::percentage));
    }
};

struct AutoMetadata {
    static constexpr const char* kName = "AutoMetadata";
    static constexpr const char* kDoc = "Auto-generated submission metadata.";
    std::int64_t expression_complexity = 0;
    double submission_date = 0.0;
    Value rotation_families_used = List{};
    static constexpr auto fields() {
        using R = AutoMetadata;
        return std::make_tuple(field("expression_complexity", &R::expression_complexity),
                               field("submission_date", &R::submission_date),
                               field("rotation_families_used", &R::rotation_families_used));
    }
};

struct CooccurrencePair {
    static constexpr const char* kName = "CooccurrencePair";
    static constexpr const char* kDoc = "Function pair co-occurrence.";
    std::string function_a;
    std::string function_b;
    std::int64_t total_cooccurrences = 0;
    std::int64_t passed_cooccurrences = 0;
    static constexpr auto fields() {
        using R = CooccurrencePair;
        return std::make_tuple(field("function_a", &R::function_a),
                               field("function_b", &R::function_b),
                               field("total_cooccurrences", &R::total_cooccurrences),
                               field("passed_cooccurrences", &R::passed_cooccurrences));
    }
};

struct VelocityStats {
    static constexpr const char* kName = "VelocityStats";
    static constexpr const char* kDoc = "Evaluation rate statistics.";
    std::int64_t window_minutes = 0;
    std::int64_t total_evaluations = 0;
    std::int64_t passed_evaluations = 0;
    double evaluations_per_hour = 0.0;
    double passes_per_hour = 0.0;
    static constexpr auto fields() {
        using R = VelocityStats;
        return std::make_tuple(field("window_minutes", &R::window_minutes),
                               field("total_evaluations", &R::total_evaluations),
                               field("passed_evaluations", &R::passed_evaluations),
                               field("evaluations_per_hour", &R::evaluations_per_hour),
                               field("passes_per_hour", &R::passes_per_hour));
    }
};

struct DeleteResult {
    static constexpr const char* kName = "DeleteResult";
    static constexpr const char* kDoc = "Result of delete operation.";
    std::int64_t signal_rows_deleted = 0;
    std::int64_t strategy_rows_deleted = 0;
    std::int64_t signal_rows_remaining = 0;
    std::int64_t strategy_rows_remaining = 0;
    static constexpr auto fields() {
        using R = DeleteResult;
        return std::make_tuple(field("signal_rows_deleted", &R::signal_rows_deleted),
                               field("strategy_rows_deleted", &R::strategy_rows_deleted),
                               field("signal_rows_remaining", &R::signal_rows_remaining),
                               field("strategy_rows_remaining", &R::strategy_rows_remaining));
    }
};

struct DatabaseInfo {
    static constexpr const char* kName = "DatabaseInfo";
    static constexpr const char* kDoc = "Database size and row counts.";
    std::int64_t file_size_bytes = 0;
    std::int64_t signal_evaluation_count = 0;
    std::int64_t strategy_evaluation_count = 0;
    std::int64_t signal_passed_count = 0;
    std::int64_t strategy_passed_count = 0;
    Value row_counts = Mapping{};
    Value passed_counts = Mapping{};
    Value reason_descriptions = Mapping{};
    static constexpr auto fields() {
        using R = DatabaseInfo;
        return std::make_tuple(field("file_size_bytes", &R::file_size_bytes),
                               field("signal_evaluation_count", &R::signal_evaluation_count),
                               field("strategy_evaluation_count", &R::strategy_evaluation_count),
                               field("signal_passed_count", &R::signal_passed_count),
                               field("strategy_passed_count", &R::strategy_passed_count),
                               field("row_counts", &R::row_counts),
                               field("passed_counts", &R::passed_counts),
                               field("reason_descriptions", &R::reason_descriptions));
    }
};

// The three submission-row records hold each column as it is stored (None included):
// the tables take any value their writers were given, and a reader that refused one
// would block its queue for good. Only the row's key and the table's type are fixed.
struct SubmissionQueueItem {
    static constexpr const char* kName = "SubmissionQueueItem";
    static constexpr const char* kDoc = "Item from submission queue.";
    std::int64_t queue_id = 0;
    Value eval_id = Value(0);
    std::string eval_type;
    Value signal_pool_id;
    Value strategy_pool_id;
    Value payload_json = Value("");
    Value era_id = Value(0);
    Value priority = Value(0);
    Value created_at = Value(0.0);
    static constexpr auto fields() {
        using R = SubmissionQueueItem;
        return std::make_tuple(field("queue_id", &R::queue_id), field("eval_id", &R::eval_id),
                               field("eval_type", &R::eval_type),
                               field("signal_pool_id", &R::signal_pool_id),
                               field("strategy_pool_id", &R::strategy_pool_id),
                               field("payload_json", &R::payload_json),
                               field("era_id", &R::era_id), field("priority", &R::priority),
                               field("created_at", &R::created_at));
    }
};

struct PendingSubmission {
    static constexpr const char* kName = "PendingSubmission";
    static constexpr const char* kDoc = "Non-finalized submission status.";
    std::int64_t status_id = 0;
    Value eval_id = Value(0);
    std::string eval_type;
    Value signal_pool_id;
    Value strategy_pool_id;
    Value strategy_signal_pool;
    Value submission_id = Value("");
    Value sim_id = Value("");
    Value era_id = Value(0);
    Value status = Value("");
    Value submitted_at = Value(0.0);
    Value last_polled_at;
    Value finalized_at;
    Value is_stats_json;
    Value payment_json;
    Value payment_usdc;
    Value useful_flag;
    Value rejection_reason;
    static constexpr auto fields() {
        using R = PendingSubmission;
        return std::make_tuple(
            field("status_id", &R::status_id), field("eval_id", &R::eval_id),
            field("eval_type", &R::eval_type), field("signal_pool_id", &R::signal_pool_id),
            field("strategy_pool_id", &R::strategy_pool_id),
            field("strategy_signal_pool", &R::strategy_signal_pool),
            field("submission_id", &R::submission_id), field("sim_id", &R::sim_id),
            field("era_id", &R::era_id), field("status", &R::status),
            field("submitted_at", &R::submitted_at), field("last_polled_at", &R::last_polled_at),
            field("finalized_at", &R::finalized_at), field("is_stats_json", &R::is_stats_json),
            field("payment_json", &R::payment_json), field("payment_usdc", &R::payment_usdc),
            field("useful_flag", &R::useful_flag), field("rejection_reason", &R::rejection_reason));
    }
};

struct SubmissionCounts {
    static constexpr const char* kName = "SubmissionCounts";
    static constexpr const char* kDoc = "Aggregated submission counts.";
    std::int64_t queued = 0;
    std::int64_t pending = 0;
    std::int64_t accepted = 0;
    std::int64_t rejected = 0;
    std::int64_t retrying = 0;
    std::int64_t discarded = 0;
    std::int64_t total = 0;
    static constexpr auto fields() {
        using R = SubmissionCounts;
        return std::make_tuple(field("queued", &R::queued), field("pending", &R::pending),
                               field("accepted", &R::accepted), field("rejected", &R::rejected),
                               field("retrying", &R::retrying), field("discarded", &R::discarded),
                               field("total", &R::total));
    }
};

struct SubmissionRetryItem {
    static constexpr const char* kName = "SubmissionRetryItem";
    static constexpr const char* kDoc = "Item from retry queue.";
    std::int64_t retry_id = 0;
    Value eval_id = Value(0);
    std::string eval_type;
    Value signal_pool_id;
    Value strategy_pool_id;
    Value payload_json = Value("");
    Value era_id = Value(0);
    Value retry_count = Value(0);
    Value last_rejection_reason = Value("");
    Value retry_after;
    Value created_at = Value(0.0);
    static constexpr auto fields() {
        using R = SubmissionRetryItem;
        return std::make_tuple(field("retry_id", &R::retry_id), field("eval_id", &R::eval_id),
                               field("eval_type", &R::eval_type),
                               field("signal_pool_id", &R::signal_pool_id),
                               field("strategy_pool_id", &R::strategy_pool_id),
                               field("payload_json", &R::payload_json),
                               field("era_id", &R::era_id), field("retry_count", &R::retry_count),
                               field("last_rejection_reason", &R::last_rejection_reason),
                               field("retry_after", &R::retry_after),
                               field("created_at", &R::created_at));
    }
};

struct RetryCounts {
    static constexpr const char* kName = "RetryCounts";
    static constexpr const char* kDoc = "Retry queue aggregates.";
    std::int64_t retrying = 0;
    std::int64_t ready = 0;
    static constexpr auto fields() {
        using R = RetryCounts;
        return std::make_tuple(field("retrying", &R::retrying), field("ready", &R::ready));
    }
};

struct BacktestStats {
    static constexpr const char* kName = "BacktestStats";
    static constexpr const char* kDoc = "Backtest statistics used as input to record methods.";
    double sharpe = 0.0;
    double returns = 0.0;
    double turnover = 0.0;
    double drawdown = 0.0;
    double delta_exposure = 0.0;
    double max_weight = 0.0;
    double quality_score = 0.0;
    double correlation = 0.0;
    Value liquidity_metrics = Mapping{};  // None is allowed and stores NULL
    Value custom_stats = Mapping{};
    static constexpr auto fields() {
        using R = BacktestStats;
        return std::make_tuple(field("sharpe", &R::sharpe), field("returns", &R::returns),
                               field("turnover", &R::turnover), field("drawdown", &R::drawdown),
                               field("delta_exposure", &R::delta_exposure),
                               field("max_weight", &R::max_weight),
                               field("quality_score", &R::quality_score),
                               field("correlation", &R::correlation),
                               field("liquidity_metrics", &R::liquidity_metrics),
                               field("custom_stats", &R::custom_stats));
    }
};

struct TrialLedgerEntry {
    static constexpr const char* kName = "TrialLedgerEntry";
    static constexpr const char* kDoc =
        "Every trial ever recorded in one scope, and what they imply for the best Sharpe.";
    std::string eval_type;
    std::int64_t era_id = 0;
    std::string pool_id;
    std::string named_universe;
    std::string source;
    std::int64_t trials = 0;
    std::int64_t errored_trials = 0;
    std::int64_t nonfinite_trials = 0;
    std::int64_t sharpe_count = 0;
    OptReal sharpe_mean;
    OptReal sharpe_variance;
    OptReal sharpe_max;
    OptInt best_eval_id;
    double effective_trials = 0.0;
    std::string n_effective_method = "raw";
    OptReal expected_max_sharpe;
    OptReal min_backtest_length_years;
    std::int64_t rows_present = 0;
    std::int64_t rows_pruned = 0;
    bool rebuilt = false;
    static constexpr auto fields() {
        using R = TrialLedgerEntry;
        return std::make_tuple(
            field("eval_type", &R::eval_type), field("era_id", &R::era_id),
            field("pool_id", &R::pool_id), field("named_universe", &R::named_universe),
            field("source", &R::source), field("trials", &R::trials),
            field("errored_trials", &R::errored_trials),
            field("nonfinite_trials", &R::nonfinite_trials),
            field("sharpe_count", &R::sharpe_count), field("sharpe_mean", &R::sharpe_mean),
            field("sharpe_variance", &R::sharpe_variance), field("sharpe_max", &R::sharpe_max),
            field("best_eval_id", &R::best_eval_id),
            field("effective_trials", &R::effective_trials),
            field("n_effective_method", &R::n_effective_method),
            field("expected_max_sharpe", &R::expected_max_sharpe),
            field("min_backtest_length_years", &R::min_backtest_length_years),
            field("rows_present", &R::rows_present), field("rows_pruned", &R::rows_pruned),
            field("rebuilt", &R::rebuilt));
    }
};

struct DeflatedSharpe {
    static constexpr const char* kName = "DeflatedSharpe";
    static constexpr const char* kDoc =
        "One evaluation's Sharpe corrected for non-normal returns and for the trials behind it.";
    std::int64_t eval_id = 0;
    std::string eval_type;
    std::string status = "ok";
    OptReal sharpe;
    OptReal psr;
    OptReal dsr;
    OptReal sr0;
    OptReal z;
    OptReal p_value;
    bool passes = false;
    OptReal min_track_record_length;
    OptReal observations;
    double skew = 0.0;
    double kurtosis = 3.0;
    double periods_per_year = 252.0;
    OptReal n_trials;
    OptReal sharpe_variance;
    std::string n_effective_method = "raw";
    double confidence = 0.95;
    Value assumptions = List{};
    static constexpr auto fields() {
        using R = DeflatedSharpe;
        return std::make_tuple(
            field("eval_id", &R::eval_id), field("eval_type", &R::eval_type),
            field("status", &R::status), field("sharpe", &R::sharpe), field("psr", &R::psr),
            field("dsr", &R::dsr), field("sr0", &R::sr0), field("z", &R::z),
            field("p_value", &R::p_value), field("passes", &R::passes),
            field("min_track_record_length", &R::min_track_record_length),
            field("observations", &R::observations), field("skew", &R::skew),
            field("kurtosis", &R::kurtosis), field("periods_per_year", &R::periods_per_year),
            field("n_trials", &R::n_trials), field("sharpe_variance", &R::sharpe_variance),
            field("n_effective_method", &R::n_effective_method),
            field("confidence", &R::confidence), field("assumptions", &R::assumptions));
    }
};

struct MultipleTestingCandidate {
    static constexpr const char* kName = "MultipleTestingCandidate";
    static constexpr const char* kDoc =
        "A top candidate's p-value before and after correcting for every trial of its family.";
    std::int64_t eval_id = 0;
    std::string eval_type;
    std::int64_t era_id = 0;
    std::string named_universe;
    std::string pool_id;
    double sharpe = 0.0;
    OptReal observations;
    double periods_per_year = 252.0;
    OptReal p_value;
    OptReal adjusted_p_value;
    OptReal haircut_sharpe;
    bool significant = false;
    std::string method = "holm";
    double n_tests = 0.0;
    std::string status = "ok";
    static constexpr auto fields() {
        using R = MultipleTestingCandidate;
        return std::make_tuple(
            field("eval_id", &R::eval_id), field("eval_type", &R::eval_type),
            field("era_id", &R::era_id), field("named_universe", &R::named_universe),
            field("pool_id", &R::pool_id), field("sharpe", &R::sharpe),
            field("observations", &R::observations),
            field("periods_per_year", &R::periods_per_year), field("p_value", &R::p_value),
            field("adjusted_p_value", &R::adjusted_p_value),
            field("haircut_sharpe", &R::haircut_sharpe), field("significant", &R::significant),
            field("method", &R::method), field("n_tests", &R::n_tests),
            field("status", &R::status));
    }
};

// Every record in declaration order; the binding registers them in this order.
using AllRecords = std::tuple<FunctionStats, FeatureStats, EvaluationRecord, PerColumnStatsRecord,
                              RejectionCount, AutoMetadata, CooccurrencePair, VelocityStats,
                              DeleteResult, DatabaseInfo, SubmissionQueueItem, PendingSubmission,
                              SubmissionCounts, SubmissionRetryItem, RetryCounts, BacktestStats,
                              TrialLedgerEntry, DeflatedSharpe, MultipleTestingCandidate>;

}  // namespace plintrove
