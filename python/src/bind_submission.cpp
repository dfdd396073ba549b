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
void bind_record(TrackerClass& cls, const char* name, RecordFn record, const char* doc) {
    cls.def(
        name,
        [record](SearchTracker& t, std::int64_t eval_id, Value eval_type, Value submission_id,
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
        Release(), doc);
}

void bind_tracker_operations(TrackerClass& cls) {
    cls.def("enqueue_submission", &enqueue_submission, nb::arg("eval_id"),
            nb::arg("eval_type").none(), nb::arg("payload_json").none(), nb::arg("era_id"),
            nb::arg("signal_pool_id") = nb::none(), nb::arg("strategy_pool_id") = nb::none(),
            Release(), "Add an evaluation to the submission queue; returns the new queue_id.");
    cls.def("dequeue_submission", &dequeue_submission, Release(),
            "Take the highest-priority item out of the submission queue, or None.");
    cls.def("requeue_submission", &requeue_submission, nb::arg("eval_id"),
            nb::arg("eval_type").none(), nb::arg("payload_json").none(), nb::arg("era_id"),
            nb::arg("signal_pool_id") = nb::none(), nb::arg("strategy_pool_id") = nb::none(),
            Release(), "Put an item back in the queue ahead of new items; returns its queue_id.");
    cls.def("mark_submitted", &mark_submitted, nb::arg("eval_id"),
            nb::arg("eval_type").none() = "signal", Release(),
            "Set the evaluation's submitted flag.");

    cls.def("record_submission_attempt_started", &record_submission_attempt_started,
            nb::arg("eval_id"), nb::arg("eval_type").none(), nb::arg("idempotency_key").none(),
            nb::arg("era_id"), nb::arg("payload_json").none(),
            nb::arg("signal_pool_id") = nb::none(), nb::arg("strategy_pool_id") = nb::none(),
            Release(), "Record a submission attempt once per idempotency key; returns attempt_id.");

    bind_record(cls, "record_submission", &record_submission,
                "Store a submission the server has taken; returns the new status_id.");
    bind_record(cls, "record_submission_once_and_mark_submitted",
                &record_submission_once_and_mark_submitted,
                "Store a submission at most once per sim_id and mark the evaluation submitted, "
                "in one transaction; returns the new status_id.");

    cls.def(
        "update_submission_status",
        [](SearchTracker& t, Value submission_id, Value status, Value is_stats_json,
           Value payment_json, Value rejection_reason, Value payment_usdc, nb::handle useful_flag,
           Value strategy_signal_pool, Value agent_is_correlation, Value is_correlation,
           Value is_pnl_mi, Value agent_is_pnl_mi, Value failure_reason,
           nb::object failure_detail) {
            SubmissionStatusUpdate update;
            update.is_stats_json = std::move(is_stats_json);
            update.payment_json = std::move(payment_json);
            update.rejection_reason = std::move(rejection_reason);
            update.payment_usdc = std::move(payment_usdc);
            // Only the truth value of the flag is stored.
            if (!useful_flag.is_none()) update.useful_flag = Value(truth(useful_flag));
            update.metrics = {std::move(agent_is_correlation), std::move(is_correlation),
                              std::move(is_pnl_mi),            std::move(failure_reason),
                              to_value_or_str(failure_detail), std::move(agent_is_pnl_mi),
                              std::move(strategy_signal_pool)};
            nb::gil_scoped_release release;
            return update_submission_status(t, submission_id, status, update);
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
        [](SearchTracker& t, std::int64_t eval_id, Value eval_type, Value agent_is_correlation,
           Value is_correlation, Value is_pnl_mi, Value failure_reason, nb::object failure_detail,
           Value agent_is_pnl_mi, Value strategy_signal_pool, nb::handle commit) {
            const bool commit_now = truth(commit);
            EvalServerMetrics metrics{std::move(agent_is_correlation), std::move(is_correlation),
                                      std::move(is_pnl_mi),            std::move(failure_reason),
                                      to_value_or_str(failure_detail), std::move(agent_is_pnl_mi),
                                      std::move(strategy_signal_pool)};
            nb::gil_scoped_release release;
            return update_eval_server_metrics(t, eval_id, eval_type, metrics, commit_now);
        },
        nb::arg("eval_id"), nb::arg("eval_type").none(),
        nb::arg("agent_is_correlation") = nb::none(),
        nb::arg("is_correlation") = nb::none(), nb::arg("is_pnl_mi") = nb::none(),
        nb::arg("failure_reason") = nb::none(), nb::arg("failure_detail") = nb::none(),
        nb::arg("agent_is_pnl_mi") = nb::none(), nb::arg("strategy_signal_pool") = nb::none(),
        nb::arg("commit") = true,
        "Write the evaluation server's results onto the evaluation row.");
    cls.def("get_pending_submissions", &get_pending_submissions, Release(),
            "Submissions not yet finalized, oldest first.");
    cls.def("get_submission_for_sim", &get_submission_for_sim, nb::arg("sim_id").none(),
            Release(), "The newest submission of a simulation as a dict, or None.");
    cls.def("get_submission_counts", &get_submission_counts, nb::arg("era_id") = nb::none(),
            nb::arg("discarded_count") = 0, Release(), "Counts of the submission pipeline.");

    cls.def("enqueue_retry", &enqueue_retry, nb::arg("eval_id"), nb::arg("eval_type").none(),
            nb::arg("payload_json").none(), nb::arg("era_id"), nb::arg("rejection_reason").none(),
            nb::arg("retry_after") = nb::none(), nb::arg("signal_pool_id") = nb::none(),
            nb::arg("strategy_pool_id") = nb::none(), Release(),
            "Add a rejected submission to the retry queue; returns the new retry_id.");
    cls.def("dequeue_retryable", &dequeue_retryable, Release(),
            "Take the oldest ready item out of the retry queue, or None.");
    cls.def("increment_retry", &increment_retry, nb::arg("retry_id").none(), nb::arg("eval_id"),
            nb::arg("eval_type").none(), nb::arg("payload_json").none(), nb::arg("era_id"),
            nb::arg("rejection_reason").none(), nb::arg("retry_count"),
            nb::arg("retry_after") = nb::none(), nb::arg("signal_pool_id") = nb::none(),
            nb::arg("strategy_pool_id") = nb::none(), Release(),
            "Put an item back in the retry queue with its count raised by one.");
    cls.def("clear_retry_queue", &clear_retry_queue, nb::arg("era_id") = nb::none(), Release(),
            "Delete retry items (of one era when given); returns how many there were.");
    cls.def("get_retry_counts", &get_retry_counts, nb::arg("era_id") = nb::none(), Release(),
            "Retry items in the queue and those ready now.");
}

void bind_module_helpers(nb::module_& m) {
    m.def("_submission_table",
          [](Value eval_type, std::string_view kind) {
              return std::string(submission_table(eval_type, kind));
          },
          nb::arg("eval_type").none(), nb::arg("kind"));
    m.def("_submission_pool_column",
          [](Value eval_type) { return std::string(submission_pool_column(eval_type)); },
          nb::arg("eval_type").none());
    m.def("_eval_table", [](Value eval_type) { return std::string(eval_table(eval_type)); },
          nb::arg("eval_type").none());
    m.def("_payload_field_from_json", &payload_field_from_json, nb::arg("payload_json"),
          nb::arg("keys"));
    m.def("_submission_own_pool_id_from_payload", &submission_own_pool_id_from_payload,
          nb::arg("payload_json"), nb::arg("eval_type").none());
    m.def("_submission_pool_id_from_payload", &submission_pool_id_from_payload,
          nb::arg("payload_json"), nb::arg("eval_type").none());
    m.def("_strategy_signal_pool_from_payload", &strategy_signal_pool_from_payload,
          nb::arg("payload_json"));
    m.def("_evaluation_own_pool_id", &evaluation_own_pool_id, nb::arg("conn"),
          nb::arg("eval_id"), nb::arg("eval_type").none(), Release());
    m.def("_evaluation_signal_pool_id", &evaluation_signal_pool_id, nb::arg("conn"),
          nb::arg("eval_id"), nb::arg("eval_type").none(), Release());
    m.def("_submission_own_pool_id", &submission_own_pool_id, nb::arg("conn"),
          nb::arg("eval_id"), nb::arg("eval_type").none(), nb::arg("payload_json") = nb::none(),
          nb::arg("signal_pool_id") = nb::none(), nb::arg("strategy_pool_id") = nb::none(),
          Release());
    m.def("_submission_strategy_signal_pool", &submission_strategy_signal_pool, nb::arg("conn"),
          nb::arg("eval_id"), nb::arg("eval_type").none(), nb::arg("payload_json") = nb::none(),
          nb::arg("strategy_signal_pool") = nb::none(), Release());
    m.def("_synthetic_submission_sim_id", &synthetic_submission_sim_id, nb::arg("eval_id").none(),
          nb::arg("eval_type").none());
    m.def("_ensure_submission_sim_parent", &ensure_submission_sim_parent, nb::arg("conn"),
          nb::arg("sim_id").none(), nb::arg("era_id") = nb::none(), Release());
}

}  // namespace

void bind_submission(nb::module_& m, TrackerClass& cls) {
    bind_tracker_operations(cls);
    bind_module_helpers(m);
}

}  // namespace plintrove::py
