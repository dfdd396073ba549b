"""Records (fields, defaults, ==, repr, pickling, conversion from the library) and the
module constants with their exact values, types and orders."""

import multiprocessing
import pickle
import re

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


def test_container_defaults_are_fresh():
    first, second = st.DatabaseInfo(), st.DatabaseInfo()
    first.row_counts["signal_evaluations"] = 3
    assert second.row_counts == {} and st.DatabaseInfo().row_counts == {}
    stats = st.BacktestStats()
    stats.custom_stats["x"] = 1
    stats.liquidity_metrics["adv"] = 2.0
    assert st.BacktestStats() == st.BacktestStats(custom_stats={}, liquidity_metrics={})
    meta = st.AutoMetadata()
    meta.rotation_families_used.append("momentum")
    assert st.AutoMetadata().rotation_families_used == []
    given = ["value"]
    assert st.AutoMetadata(rotation_families_used=given).rotation_families_used is given


def test_construction_equality_and_repr():
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
    assert st.EvaluationRecord.__doc__ == "Full evaluation record from history query."
    assert repr(st.RejectionCount("it's", 2, 12.5)) == (
        'RejectionCount(rejection_reason="it\'s", count=2, percentage=12.5)')
    assert repr(st.AutoMetadata(3, 1e16, ["a"])) == (
        "AutoMetadata(expression_complexity=3, submission_date=1e+16, "
        "rotation_families_used=['a'])")


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


def test_records_from_the_library_have_python_types(tracker):
    counts = tracker.get_submission_counts()
    assert type(counts) is st.SubmissionCounts and counts == st.SubmissionCounts()
    info = tracker.get_db_info()
    assert type(info) is st.DatabaseInfo
    assert list(info.row_counts) == st._DB_INFO_TABLES
    assert type(info.file_size_bytes) is int and info.file_size_bytes > 0


class Index:
    def __index__(self):
        return 7


class Real:
    def __float__(self):
        return 2.5


def test_values_with_python_json_rules():
    encode = st._failure_detail_for_storage
    assert encode({"b": (1, True), "a": [Index(), Real(), None]}) == (
        '{"a":[7,2.5,null],"b":[1,true]}')
    assert encode({"n": 2 ** 80}) == '{"n":1208925819614629174706176}'
    # A value that cannot become JSON is stored as its str(), as json.dumps would fail.
    odd = {"when": object()}
    assert encode(odd) == str(odd)
    assert encode({(1, 2): "tuple key"}) == "{(1, 2): 'tuple key'}"


# ---- constants ---------------------------------------------------------------------------

def roles(kind):
    return {"queue": f"{kind}_submission_queue", "attempts": f"{kind}_submission_attempts",
            "status": f"{kind}_submission_status", "retry": f"{kind}_submission_retry",
            "eval_table": f"{kind}_evaluations", "pool_column": f"{kind}_pool_id"}


def test_table_constants():
    assert st._SUBMISSION_TABLES == {"signal": roles("signal"), "strategy": roles("strategy")}
    assert list(st._SUBMISSION_TABLES) == ["signal", "strategy"]
    assert all(list(inner) == list(roles("signal")) for inner in st._SUBMISSION_TABLES.values())
    assert st._SPLIT_SUBMISSION_TABLES == tuple(
        f"{kind}_submission_{role}" for role in ("queue", "attempts", "status", "retry")
        for kind in ("signal", "strategy"))
    assert st._SIGNAL_TABLES == ("signal_evaluations", "signal_function_usage",
                                 "signal_feature_usage")
    assert st._STRATEGY_TABLES == ("strategy_evaluations", "strategy_function_usage",
                                   "strategy_feature_usage")
    assert st._DB_INFO_TABLES == [
        "signal_evaluations", "strategy_evaluations", "signal_function_usage",
        "signal_feature_usage", "strategy_function_usage", "strategy_feature_usage",
        *st._SPLIT_SUBMISSION_TABLES]


def test_status_constants():
    assert type(st.VALID_STATUSES) is list and len(st.VALID_STATUSES) == 22
    assert st.VALID_STATUSES[:2] == ["queued", "pending"]
    assert st.VALID_STATUSES[-2:] == ["paid", "rejected"]
    stages = ["is_validating", "found", "is_rejected", "os_validating", "os_passed",
              "os_failed", "useful", "not_useful", "useful_transition_failed"]
    assert st.VALID_STATUSES[2:20] == [f"{kind}_{stage}" for kind in ("signal", "strategy")
                                      for stage in stages]
    assert type(st.TERMINAL_STATUSES) is set
    assert st.TERMINAL_STATUSES == {"paid", "rejected"} | {
        f"{kind}_{stage}" for kind in ("signal", "strategy")
        for stage in ("found", "is_rejected", "useful", "not_useful", "os_failed",
                      "useful_transition_failed")}
    assert st.TERMINAL_STATUSES < set(st.VALID_STATUSES)
    assert "queued" not in st.TERMINAL_STATUSES and "pending" not in st.TERMINAL_STATUSES


def test_schema_and_maintenance_constants():
    metric_columns = (("is_correlation", "REAL"), ("is_pnl_mi", "REAL"),
                      ("agent_is_pnl_mi", "REAL"), ("failure_reason", "TEXT"),
                      ("failure_detail", "TEXT"))
    assert st._EVAL_METRIC_COLUMNS == metric_columns
    assert st._EVAL_METRIC_COLUMN_NAMES == tuple(name for name, _ in metric_columns)
    assert (st._DISK_THRESHOLD, st._POOL_V2_SCHEMA_VERSION) == (524288000, 2)
    assert st._DELETE_ACTIVE_ERROR == (
        "Cannot delete evaluations while a search is running. Call handle.stop() first.")

    head = [("rotation_families_json", "TEXT"), ("per_column_stats_json", "TEXT"),
            ("rejection_reason", "TEXT"), ("submitted", "INTEGER NOT NULL DEFAULT 0"),
            ("liquidity_metrics_json", "TEXT")]
    tail = [("source", "TEXT NOT NULL DEFAULT 'search'"), ("expression_elapsed_seconds", "REAL"),
            *metric_columns]
    assert list(st._SQLITE_EVAL_COLUMN_MIGRATIONS) == ["signal_evaluations",
                                                       "strategy_evaluations"]
    assert st._SQLITE_EVAL_COLUMN_MIGRATIONS["signal_evaluations"] == head + tail
    assert st._SQLITE_EVAL_COLUMN_MIGRATIONS["strategy_evaluations"] == (
        head + [("referenced_signal_ids_json", "TEXT")] + tail)

    assert list(st._TABLE_INDEXES.items()) == [
        ("signal_evaluations", ["idx_signal_era", "idx_signal_timestamp", "idx_signal_passed",
                                "idx_signal_rejection", "idx_signal_settings",
                                "idx_signal_source"]),
        ("strategy_evaluations", ["idx_strategy_era", "idx_strategy_timestamp",
                                  "idx_strategy_passed", "idx_strategy_rejection",
                                  "idx_strategy_settings", "idx_strategy_signal_pool",
                                  "idx_strategy_source"]),
        ("signal_function_usage", ["idx_sig_fn_eval", "idx_sig_fn_name"]),
        ("signal_feature_usage", ["idx_sig_feat_eval", "idx_sig_feat_name"]),
        ("strategy_function_usage", ["idx_meta_fn_eval", "idx_meta_fn_name"]),
        ("strategy_feature_usage", ["idx_meta_feat_eval", "idx_meta_feat_name"]),
        ("signal_submission_status", ["idx_signal_substatus_pool"]),
        ("strategy_submission_status", ["idx_strategy_substatus_pool",
                                        "idx_strategy_substatus_signal_pool"]),
    ]
    assert st._SIM_INSERT_COLUMNS == (
        "id", "graph_json", "era_id", "market_id", "pool_id", "named_universe", "is_dates_json",
        "metaparameters_json", "search_state_json", "frequency", "resolved_context_json",
        "status", "progress", "created_at", "completed_at", "stats_json", "pnl_json",
        "error_msg")


def test_postgres_constants():
    assert st._POSTGRES_URL_PREFIXES == ("postgresql://", "postgres://")
    assert isinstance(st._JSON_EXTRACT_EQ_RE, re.Pattern)
    assert st._JSON_EXTRACT_EQ_RE.pattern == r"json_extract\(([^,]+),\s*%s\)\s*=\s*%s"
    assert st._JSON_EXTRACT_RE.pattern == r"json_extract\(([^,]+),\s*%s\)"
    assert st._JSON_EXTRACT_EQ_RE.search("json_extract(metaparameters,  %s) = %s").group(1) == (
        "metaparameters")
