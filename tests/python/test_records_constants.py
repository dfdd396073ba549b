"""Records (fields, defaults, ==, repr, pickling) and the status constants."""

import dataclasses
import multiprocessing
import pickle
import typing

import pytest

from plintrove import search_tracking as st

SUBMISSION_FIELDS = ("eval_id", "eval_type", "signal_pool_id", "strategy_pool_id",
                     "payload_json", "era_id")
FIELDS = {
    "FunctionStats": ("function_name", "rotation_family", "total_evaluations",
                      "passed_evaluations", "yield_rate"),
    "FeatureStats": ("feature_name", "total_evaluations", "passed_evaluations", "yield_rate"),
    "EvaluationRecord": (
        "eval_id", "eval_type", "era_id", "timestamp", "named_universe", "metaparameters",
        "graph", "tree_depth", "passed_thresholds", "sharpe", "returns", "turnover", "drawdown",
        "delta_exposure", "max_weight", "quality_score", "correlation", "per_column_stats",
        "rejection_reason", "functions", "features", "rotation_families_used",
        "referenced_signal_ids", "source", "submitted", "liquidity_metrics",
        "expression_elapsed_seconds", "signal_pool_id", "strategy_pool_id",
        "strategy_signal_pool", "is_correlation", "agent_is_correlation", "is_pnl_mi",
        "agent_is_pnl_mi", "failure_reason", "failure_detail", "function_metadata",
        "feature_metadata"),
    "PerColumnStatsRecord": ("eval_id", "eval_type", "passed_thresholds", "per_column_stats",
                             "rejection_reason", "source"),
    "RejectionCount": ("rejection_reason", "count", "percentage"),
    "AutoMetadata": ("expression_complexity", "submission_date", "rotation_families_used"),
    "CooccurrencePair": ("function_a", "function_b", "total_cooccurrences",
                         "passed_cooccurrences"),
    "VelocityStats": ("window_minutes", "total_evaluations", "passed_evaluations",
                      "evaluations_per_hour", "passes_per_hour"),
    "DeleteResult": ("signal_rows_deleted", "strategy_rows_deleted", "signal_rows_remaining",
                     "strategy_rows_remaining"),
    "DatabaseInfo": ("file_size_bytes", "signal_evaluation_count", "strategy_evaluation_count",
                     "signal_passed_count", "strategy_passed_count", "row_counts",
                     "passed_counts", "reason_descriptions"),
    "SubmissionQueueItem": ("queue_id",) + SUBMISSION_FIELDS + ("priority", "created_at"),
    "PendingSubmission": (
        "status_id", "eval_id", "eval_type", "signal_pool_id", "strategy_pool_id",
        "strategy_signal_pool", "submission_id", "sim_id", "era_id", "status", "submitted_at",
        "last_polled_at", "finalized_at", "is_stats_json", "payment_json", "payment_usdc",
        "useful_flag", "rejection_reason"),
    "SubmissionCounts": ("queued", "pending", "accepted", "rejected", "retrying", "discarded",
                         "total"),
    "SubmissionRetryItem": ("retry_id",) + SUBMISSION_FIELDS + (
        "retry_count", "last_rejection_reason", "retry_after", "created_at"),
    "RetryCounts": ("retrying", "ready"),
    "BacktestStats": ("sharpe", "returns", "turnover", "drawdown", "delta_exposure",
                      "max_weight", "quality_score", "correlation", "liquidity_metrics",
                      "custom_stats"),
}
NONE_BY_DEFAULT = {
    "rotation_family", "metaparameters", "graph", "per_column_stats", "rejection_reason",
    "functions", "features", "rotation_families_used", "referenced_signal_ids",
    "liquidity_metrics", "expression_elapsed_seconds", "signal_pool_id", "strategy_pool_id",
    "strategy_signal_pool", "is_correlation", "agent_is_correlation", "is_pnl_mi",
    "agent_is_pnl_mi", "failure_reason", "failure_detail", "function_metadata",
    "feature_metadata", "last_polled_at", "finalized_at", "is_stats_json", "payment_json",
    "payment_usdc", "useful_flag", "retry_after",
}
TEXT_FIELDS = {"function_name", "feature_name", "eval_type", "named_universe", "source",
               "function_a", "function_b", "payload_json", "submission_id", "sim_id", "status",
               "last_rejection_reason"}
REAL_FIELDS = {"yield_rate", "timestamp", "sharpe", "returns", "turnover", "drawdown",
               "delta_exposure", "max_weight", "quality_score", "correlation", "percentage",
               "submission_date", "evaluations_per_hour", "passes_per_hour", "created_at",
               "submitted_at"}
# Where a field name has another default than in the other records.
OWN_DEFAULTS = {("RejectionCount", "rejection_reason"): "",
                ("AutoMetadata", "rotation_families_used"): [],
                ("DatabaseInfo", "row_counts"): {}, ("DatabaseInfo", "passed_counts"): {},
                ("DatabaseInfo", "reason_descriptions"): {},
                ("BacktestStats", "liquidity_metrics"): {},
                ("BacktestStats", "custom_stats"): {}}


def expected_default(record, field):
    if (record, field) in OWN_DEFAULTS:
        return OWN_DEFAULTS[(record, field)]
    if field in NONE_BY_DEFAULT:
        return None
    if field in TEXT_FIELDS:
        return ""
    if field in REAL_FIELDS:
        return 0.0
    if field in ("passed_thresholds", "submitted"):
        return False
    return 0


@pytest.mark.parametrize("name", list(FIELDS))
def test_fields_and_defaults(name):
    cls = getattr(st, name)
    assert cls.__module__ == "plintrove.search_tracking"
    assert cls.__slots__ == cls.__match_args__ == FIELDS[name]
    record = cls()
    for field in FIELDS[name]:
        value, expected = getattr(record, field), expected_default(name, field)
        assert value == expected and type(value) is type(expected), field


def test_fresh_container_defaults_equality_and_repr():
    first = st.DatabaseInfo()
    first.row_counts["signal_evaluations"] = 3
    assert st.DatabaseInfo().row_counts == {}
    stats = st.BacktestStats()
    stats.custom_stats["x"] = 1
    assert st.BacktestStats().custom_stats == {}
    given = ["value"]
    assert st.AutoMetadata(rotation_families_used=given).rotation_families_used is given

    by_position = st.FunctionStats("rank", None, 4, 1, 0.25)
    by_keyword = st.FunctionStats(yield_rate=0.25, passed_evaluations=1, total_evaluations=4,
                                  function_name="rank")
    assert by_position == by_keyword
    by_keyword.passed_evaluations = 2
    assert by_position != by_keyword
    assert st.RetryCounts() != st.DeleteResult() and st.RetryCounts() != (0, 0)
    with pytest.raises(TypeError):
        hash(st.RetryCounts())
    with pytest.raises(AttributeError):
        st.RetryCounts().unknown = 1
    with pytest.raises(TypeError):
        st.RetryCounts(1, 2, 3)
    assert repr(st.RejectionCount("it's", 2, 12.5)) == (
        'RejectionCount(rejection_reason="it\'s", count=2, percentage=12.5)')
    assert repr(st.AutoMetadata(3, 1e16, ["a"])) == (
        "AutoMetadata(expression_complexity=3, submission_date=1e+16, "
        "rotation_families_used=['a'])")


def test_records_are_dataclasses_with_typed_fields():
    record = st.FunctionStats("rank", None, 4, 1, 0.25)
    assert dataclasses.asdict(record) == {
        "function_name": "rank", "rotation_family": None, "total_evaluations": 4,
        "passed_evaluations": 1, "yield_rate": 0.25}
    assert typing.get_type_hints(st.FunctionStats) == {
        "function_name": str, "rotation_family": str | None, "total_evaluations": int,
        "passed_evaluations": int, "yield_rate": float}
    # Submission rows come back as stored: only the key and the type are fixed.
    hints = typing.get_type_hints(st.PendingSubmission)
    assert (hints["status_id"], hints["last_polled_at"], hints["eval_type"]) == (
        int, typing.Any, str)
    hints = typing.get_type_hints(st.EvaluationRecord)
    assert (hints["graph"], hints["passed_thresholds"]) == (typing.Any, bool)
    assert typing.get_type_hints(st.BacktestStats)["custom_stats"] == dict[str, typing.Any]
    assert dataclasses.replace(record, passed_evaluations=2).passed_evaluations == 2


def put_stats(queue):
    queue.put(st.BacktestStats(sharpe=1.25, custom_stats={"k": [1, 2]}))


def test_pickle_round_trip_and_through_a_process_queue():
    record = st.PendingSubmission(status_id=7, sim_id="sim", payment_usdc=1.5)
    assert pickle.loads(pickle.dumps(record)) == record
    assert pickle.loads(pickle.dumps(record, protocol=0)) == record
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    worker = context.Process(target=put_stats, args=(queue,))
    worker.start()
    received = queue.get(timeout=60)
    worker.join(timeout=60)
    assert type(received) is st.BacktestStats
    assert received == st.BacktestStats(sharpe=1.25, custom_stats={"k": [1, 2]})


def test_status_and_threshold_constants():
    assert type(st.VALID_STATUSES) is list and type(st.TERMINAL_STATUSES) is set
    assert st.TERMINAL_STATUSES == {"paid", "rejected"} | {
        f"{kind}_{stage}" for kind in ("signal", "strategy")
        for stage in ("found", "is_rejected", "useful", "not_useful", "os_failed",
                      "useful_transition_failed")}
    assert (st._DISK_THRESHOLD, st._POOL_V2_SCHEMA_VERSION) == (524288000, 2)
