#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "convert.h"
#include "plintrove/storage/conn_wrapper.h"
#include "plintrove/submission/eval_server_metrics.h"
#include "plintrove/submission/pool_resolution.h"
#include "plintrove/submission/retry_queue.h"
#include "plintrove/submission/sim_parent.h"
#include "plintrove/submission/submission_attempts.h"
#include "plintrove/submission/submission_counts.h"
#include "plintrove/submission/submission_queue.h"
#include "plintrove/submission/submission_recording.h"
#include "plintrove/submission/submission_status.h"
#include "plintrove/submission/submission_tables.h"

namespace plintrove::py {

namespace {

using Release = nb::call_guard<nb::gil_scoped_release>;

using RecordFn = std::optional<std::int64_t> (*)(SearchTracker&, const SubmissionRecordArgs&);

// Both recording methods take the same arguments in the same order.
// The evaluation server's results, as both status updates and direct writes take them.
EvalServerMetrics server_metrics(nb::handle agent_is_correlation, nb::handle is_correlation,
                                 nb::handle is_pnl_mi, nb::handle failure_reason,
                                 nb::handle failure_detail, nb::handle agent_is_pnl_mi,
                                 nb::handle strategy_signal_pool) {
    return {from_arg<Value>(agent_is_correlation, "agent_is_correlation"),
            from_arg<Value>(is_correlation, "is_correlation"),
            from_arg<Value>(is_pnl_mi, "is_pnl_mi"),
            from_arg<Value>(failure_reason, "failure_reason"),
            to_value_or_str(failure_detail),
            from_arg<Value>(agent_is_pnl_mi, "agent_is_pnl_mi"),
            from_arg<Value>(strategy_signal_pool, "strategy_signal_pool")};
}

template <RecordFn record>
void bind_record(TrackerClass& cls, const char* name, const char* doc) {
    def_converted(
        cls, name,
        +[](SearchTracker& t, std::int64_t eval_id, Value eval_type, Value submission_id,
            Value era_id, Value sim_id, Value initial_status, Value signal_pool_id,
            Value strategy_pool_id, Value strategy_signal_pool) {
            return record(t, {eval_id, std::move(eval_type), std::move(submission_id),
                              std::move(era_id), std::move(sim_id), std::move(initial_status),
                              std::move(signal_pool_id), std::move(strategy_pool_id),
                              std::move(strategy_signal_pool)});
        },
        nb::arg("eval_id"), nb::arg("eval_type").none(), nb::arg("submission_id").none(),
        nb::arg("era_id").none(), nb::arg("sim_id") = nb::none(),
        nb::arg("initial_status") = "pending", nb::arg("signal_pool_id") = nb::none(),
        nb::arg("strategy_pool_id") = nb::none(), nb::arg("strategy_signal_pool") = nb::none(),
        doc);
}

void bind_tracker_operations(TrackerClass& cls) {
    def_converted(cls, "enqueue_submission", &enqueue_submission, nb::arg("eval_id"),
            nb::arg("eval_type").none(), nb::arg("payload_json").none(), nb::arg("era_id"),
            nb::arg("signal_pool_id") = nb::none(), nb::arg("strategy_pool_id") = nb::none(), "Add an evaluation to the submission queue; returns the new queue_id.");
    def_converted(cls, "dequeue_submission", &dequeue_submission,
            "Take the highest-priority item out of the submission queue, or None.");
    def_converted(cls, "requeue_submission", &requeue_submission, nb::arg("eval_id"),
            nb::arg("eval_type").none(), nb::arg("payload_json").none(), nb::arg("era_id"),
            nb::arg("signal_pool_id") = nb::none(), nb::arg("strategy_pool_id") = nb::none(), "Put an item back in the queue ahead of new items; returns its queue_id.");
    def_converted(cls, "mark_submitted", &mark_submitted, nb::arg("eval_id"),
            nb::arg("eval_type").none() = "signal",
            "Set the evaluation's submitted flag.");

    def_converted(cls, "record_submission_attempt_started", &record_submission_attempt_started,
            nb::arg("eval_id"), nb::arg("eval_type").none(), nb::arg("idempotency_key").none(),
            nb::arg("era_id"), nb::arg("payload_json").none(),
            nb::arg("signal_pool_id") = nb::none(), nb::arg("strategy_pool_id") = nb::none(), "Record a submission attempt once per idempotency key; returns attempt_id.");

    bind_record<&record_submission>(cls, "record_submission",
                "Store a submission the server has taken; returns the new status_id.");
    bind_record<&record_submission_once_and_mark_submitted>(
                cls, "record_submission_once_and_mark_submitted",
                "Store a submission at most once per sim_id and mark the evaluation submitted, "
                "in one transaction; returns the new status_id.");

    cls.def(
        "update_submission_status",
        [](SearchTracker& t, nb::handle submission_id, nb::handle status,
           nb::handle is_stats_json, nb::handle payment_json, nb::handle rejection_reason,
           nb::handle payment_usdc, nb::handle useful_flag, nb::handle strategy_signal_pool,
           nb::handle agent_is_correlation, nb::handle is_correlation, nb::handle is_pnl_mi,
           nb::handle agent_is_pnl_mi, nb::handle failure_reason, nb::handle failure_detail) {
            const Value id = from_arg<Value>(submission_id, "submission_id");
            const Value new_status = from_arg<Value>(status, "status");
            SubmissionStatusUpdate update;
            update.is_stats_json = from_arg<Value>(is_stats_json, "is_stats_json");
            update.payment_json = from_arg<Value>(payment_json, "payment_json");
            update.rejection_reason = from_arg<Value>(rejection_reason, "rejection_reason");
            update.payment_usdc = from_arg<Value>(payment_usdc, "payment_usdc");
            // Only the truth value of the flag is stored.
            if (!useful_flag.is_none()) update.useful_flag = Value(truth(useful_flag));
            update.metrics = server_metrics(agent_is_correlation, is_correlation, is_pnl_mi,
                                            failure_reason, failure_detail, agent_is_pnl_mi,
                                            strategy_signal_pool);
            nb::gil_scoped_release release;
            return update_submission_status(t, id, new_status, update);
        },
        nb::arg("submission_id").none(), nb::arg("status").none(),
        nb::arg("is_stats_json") = nb::none(),
        nb::arg("payment_json") = nb::none(), nb::arg("rejection_reason") = nb::none(),
        nb::arg("payment_usdc") = nb::none(), nb::arg("useful_flag") = nb::none(),
        nb::arg("strategy_signal_pool") = nb::none(),
        nb::arg("agent_is_correlation") = nb::none(), nb::arg("is_correlation") = nb::none(),
        nb::arg("is_pnl_mi") = nb::none(), nb::arg("agent_is_pnl_mi") = nb::none(),
        nb::arg("failure_reason") = nb::none(), nb::arg("failure_detail") = nb::none(),
        "Apply a polled status until the submission is final; returns whether a row changed.");
    cls.def(
        "update_eval_server_metrics",
        [](SearchTracker& t, nb::handle eval_id, nb::handle eval_type,
           nb::handle agent_is_correlation, nb::handle is_correlation, nb::handle is_pnl_mi,
           nb::handle failure_reason, nb::handle failure_detail, nb::handle agent_is_pnl_mi,
           nb::handle strategy_signal_pool, nb::handle commit) {
            const std::int64_t id = int_arg(eval_id, "eval_id");
            const Value type = from_arg<Value>(eval_type, "eval_type");
            EvalServerMetrics metrics =
                server_metrics(agent_is_correlation, is_correlation, is_pnl_mi, failure_reason,
                               failure_detail, agent_is_pnl_mi, strategy_signal_pool);
            const bool commit_now = truth(commit);
            nb::gil_scoped_release release;
            return update_eval_server_metrics(t, id, type, metrics, commit_now);
        },
        nb::arg("eval_id"), nb::arg("eval_type").none(),
        nb::arg("agent_is_correlation") = nb::none(),
        nb::arg("is_correlation") = nb::none(), nb::arg("is_pnl_mi") = nb::none(),
        nb::arg("failure_reason") = nb::none(), nb::arg("failure_detail") = nb::none(),
        nb::arg("agent_is_pnl_mi") = nb::none(), nb::arg("strategy_signal_pool") = nb::none(),
        nb::arg("commit") = true,
        "Write the evaluation server's results onto the evaluation row.");
    def_converted(cls, "get_pending_submissions", &get_pending_submissions,
            "Submissions not yet finalized, oldest first.");
    def_converted(cls, "get_submission_for_sim", &get_submission_for_sim, nb::arg("sim_id").none(), "The newest submission of a simulation as a dict, or None.");
    def_converted(cls, "get_submission_counts", &get_submission_counts, nb::arg("era_id") = nb::none(),
            nb::arg("discarded_count") = 0, "Counts of the submission pipeline.");

    def_converted(cls, "enqueue_retry", &enqueue_retry, nb::arg("eval_id"), nb::arg("eval_type").none(),
            nb::arg("payload_json").none(), nb::arg("era_id"), nb::arg("rejection_reason").none(),
            nb::arg("retry_after") = nb::none(), nb::arg("signal_pool_id") = nb::none(),
            nb::arg("strategy_pool_id") = nb::none(),
            "Add a rejected submission to the retry queue; returns the new retry_id.");
    def_converted(cls, "dequeue_retryable", &dequeue_retryable,
            "Take the oldest ready item out of the retry queue, or None.");
    def_converted(cls, "increment_retry", &increment_retry, nb::arg("retry_id").none(), nb::arg("eval_id"),
            nb::arg("eval_type").none(), nb::arg("payload_json").none(), nb::arg("era_id"),
            nb::arg("rejection_reason").none(), nb::arg("retry_count"),
            nb::arg("retry_after") = nb::none(), nb::arg("signal_pool_id") = nb::none(),
            nb::arg("strategy_pool_id") = nb::none(),
            "Put an item back in the retry queue with its count raised by one.");
    def_converted(cls, "clear_retry_queue", &clear_retry_queue, nb::arg("era_id") = nb::none(),
            "Delete retry items (of one era when given); returns how many there were.");
    def_converted(cls, "get_retry_counts", &get_retry_counts, nb::arg("era_id") = nb::none(),
            "Retry items in the queue and those ready now.");
}

void bind_module_helpers(nb::module_& m) {
    def_converted_free(
        m, "_submission_table",
        +[](const Value& eval_type, std::string kind) {
            return std::string(submission_table(eval_type, kind));
        },
        nb::arg("eval_type").none(), nb::arg("kind"));
    def_converted_free(
        m, "_submission_pool_column",
        +[](const Value& eval_type) { return std::string(submission_pool_column(eval_type)); },
        nb::arg("eval_type").none());
    def_converted_free(
        m, "_eval_table", +[](const Value& eval_type) { return std::string(eval_table(eval_type)); },
        nb::arg("eval_type").none());
    def_converted_free(m, "_payload_field_from_json", &payload_field_from_json, nb::arg("payload_json"),
          nb::arg("keys"));
    def_converted_free(m, "_submission_own_pool_id_from_payload", &submission_own_pool_id_from_payload,
          nb::arg("payload_json"), nb::arg("eval_type").none());
    def_converted_free(m, "_submission_pool_id_from_payload", &submission_pool_id_from_payload,
          nb::arg("payload_json"), nb::arg("eval_type").none());
    def_converted_free(m, "_strategy_signal_pool_from_payload", &strategy_signal_pool_from_payload,
          nb::arg("payload_json"));
    def_converted(m, "_evaluation_own_pool_id", &evaluation_own_pool_id, nb::arg("conn"),
          nb::arg("eval_id"), nb::arg("eval_type").none());
    def_converted(m, "_evaluation_signal_pool_id", &evaluation_signal_pool_id, nb::arg("conn"),
          nb::arg("eval_id"), nb::arg("eval_type").none());
    def_converted(m, "_submission_own_pool_id", &submission_own_pool_id, nb::arg("conn"),
          nb::arg("eval_id"), nb::arg("eval_type").none(), nb::arg("payload_json") = nb::none(),
          nb::arg("signal_pool_id") = nb::none(), nb::arg("strategy_pool_id") = nb::none());
    def_converted(m, "_submission_strategy_signal_pool", &submission_strategy_signal_pool, nb::arg("conn"),
          nb::arg("eval_id"), nb::arg("eval_type").none(), nb::arg("payload_json") = nb::none(),
          nb::arg("strategy_signal_pool") = nb::none());
    def_converted_free(m, "_synthetic_submission_sim_id", &synthetic_submission_sim_id, nb::arg("eval_id").none(),
          nb::arg("eval_type").none());
    def_converted(m, "_ensure_submission_sim_parent", &ensure_submission_sim_parent, nb::arg("conn"),
          nb::arg("sim_id").none(), nb::arg("era_id") = nb::none());
}

}  // namespace

void bind_submission(nb::module_& m, TrackerClass& cls) {
    bind_tracker_operations(cls);
    bind_module_helpers(m);
}

}  // namespace plintrove::py
