#include "typed_signature.h"

#include <stdexcept>
#include <unordered_map>

namespace plintrove::py {

namespace {

using Table = std::unordered_map<std::string_view, std::string_view>;

constexpr std::string_view kEvalType = "Literal['signal', 'strategy']";

// Every public parameter by name. Names the stub imports (Any, Literal, Callable, os,
// TracebackType, the protocols) are given in plintrove._signatures and the stub prefix.
const Table& parameter_types() {
    static const Table table{
        {"active", "bool"},
        {"after_eval_id", "int"},
        {"agent_is_correlation", "float"},
        {"agent_is_pnl_mi", "float"},
        {"alpha", "float"},
        {"commit", "bool"},
        {"confidence", "float"},
        {"data_dir", "str | os.PathLike[str]"},
        {"discarded_count", "int"},
        {"era_id", "int"},
        {"eval_id", "int"},
        {"eval_type", kEvalType},
        {"exc", "BaseException | None"},
        {"exc_type", "type[BaseException] | None"},
        {"expression_elapsed_seconds", "float"},
        {"failure_detail", "dict[str, Any] | str"},
        {"failure_reason", "str"},
        {"feature_families", "dict[str, list[str]]"},
        {"function_families", "dict[str, list[str]]"},
        {"graph", "dict[str, Any]"},
        {"idempotency_key", "str"},
        {"identity", "LibraryIdentity"},
        {"initial_status", "str"},
        {"is_correlation", "float"},
        {"is_pnl_mi", "float"},
        {"is_stats_json", "str"},
        {"keep_last", "int"},
        {"kurtosis", "float"},
        {"limit", "int"},
        {"metaparameters", "dict[str, dict[str, Any]]"},
        {"method", "Literal['holm', 'bonferroni', 'bhy']"},
        {"n_effective", "Literal['raw', 'graph_jaccard', 'graph_hash']"},
        {"n_trials", "float"},
        {"named_universe", "str"},
        {"new_era_id", "int"},
        {"observations", "float"},
        {"offset", "int"},
        {"passed_only", "bool"},
        {"passed_thresholds", "bool"},
        {"payload_json", "str"},
        {"payment_json", "str"},
        {"payment_usdc", "float"},
        {"per_column_stats", "dict[str, Any]"},
        {"periods_per_year", "float"},
        {"previous_era_id", "int"},
        {"progress", "DeletionProgress"},
        {"queue", "WorkerQueue"},
        {"read_only", "bool"},
        {"referenced_signal_ids", "list[int]"},
        {"rejection_reason", "str"},
        {"retry_after", "float"},
        {"retry_count", "int"},
        {"retry_id", "int"},
        {"search_status", "SearchStatus"},
        {"sharpe_variance", "float"},
        {"signal_pool_id", "str"},
        {"sim_id", "str"},
        {"similarity", "float"},
        {"skew", "float"},
        {"source", "Literal['search', 'simulate']"},
        {"stats", "BacktestStats | BacktestStatsLike"},
        {"status", "str"},
        {"stop_workers_callback", "Callable[[], object]"},
        {"strategy_pool_id", "str"},
        {"strategy_signal_pool", "str"},
        {"submission_id", "str"},
        {"top", "int"},
        {"traceback", "TracebackType | None"},
        {"tracker", "SearchTracker"},
        {"useful_flag", "bool"},
        {"window_minutes", "int"},
    };
    return table;
}

// Results the C++ type does not say: values and records.
const Table& result_types() {
    static const Table table{
        {"__enter__", "SearchTracker"},
        {"current_identity", "LibraryIdentity | None"},
        {"delete_evaluations", "DeleteResult"},
        {"delete_failed_evaluations", "DeleteResult"},
        {"dequeue_retryable", "SubmissionRetryItem | None"},
        {"dequeue_submission", "SubmissionQueueItem | None"},
        {"get_auto_metadata", "AutoMetadata"},
        {"get_available_eras", "list[int]"},
        {"get_available_named_universes", "list[str]"},
        {"get_available_universes", "list[str]"},
        {"get_db_info", "DatabaseInfo"},
        {"get_deflated_sharpe", "DeflatedSharpe"},
        {"get_evaluation_history", "list[EvaluationRecord]"},
        {"get_evaluation_history_chunk", "list[EvaluationRecord]"},
        {"get_evaluation_velocity", "VelocityStats"},
        {"get_feature_stats", "list[FeatureStats]"},
        {"get_function_cooccurrence", "list[CooccurrencePair]"},
        {"get_function_stats", "list[FunctionStats]"},
        {"get_multiple_testing_summary", "list[MultipleTestingCandidate]"},
        {"get_pending_submissions", "list[PendingSubmission]"},
        {"get_per_column_stats_batch", "list[PerColumnStatsRecord]"},
        {"get_rejection_summary", "list[RejectionCount]"},
        {"get_retry_counts", "RetryCounts"},
        {"get_signal_stats", "list[dict[str, Any]]"},
        {"get_strategy_stats", "list[dict[str, Any]]"},
        {"get_submission_counts", "SubmissionCounts"},
        {"get_submission_for_sim", "PendingSubmission | None"},
        {"get_trial_ledger", "list[TrialLedgerEntry]"},
    };
    return table;
}

}  // namespace

namespace detail {

std::string default_text(nb::handle value) { return nb::repr(value).c_str(); }

}  // namespace detail

std::string typed_signature(std::string_view method, const std::vector<SignatureParam>& params,
                            const std::optional<std::string>& cpp_result) {
    std::string text = "def " + std::string(method) + "(self";
    bool keyword_only = false;
    for (const SignatureParam& p : params) {
        const auto type = parameter_types().find(p.name);
        if (type == parameter_types().end())
            throw std::logic_error("no type for parameter '" + std::string(p.name) + "' of " +
                                   std::string(method));
        if (p.keyword_only && !keyword_only) text += ", *";
        keyword_only = p.keyword_only;
        text += ", " + std::string(p.name) + ": " + std::string(type->second);
        if (!p.default_text) continue;
        if (*p.default_text == "None" && type->second.find("None") == std::string_view::npos)
            text += " | None";
        text += " = " + *p.default_text;
    }
    const auto listed = result_types().find(method);
    if (listed == result_types().end() && !cpp_result)
        throw std::logic_error("no result type for " + std::string(method));
    return text + ") -> " + (listed != result_types().end() ? std::string(listed->second) : *cpp_result);
}

}  // namespace plintrove::py
