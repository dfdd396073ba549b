"""Rejection summary, the catalogue of stored statuses and reasons, and auto metadata."""

import json
import math

import pytest

import plintrove.reason_descriptions as reason_descriptions
import plintrove.search_tracking as st
from conftest import write

POOL_COLUMNS = {"signal": ("signal_pool_id",),
                "strategy": ("strategy_pool_id", "strategy_signal_pool")}


def add(data_dir, eval_type, count=1, *, rejection_reason=None, failure_reason=None, era_id=1,
        source="search", pool="pool_a", tree_depth=3, timestamp=1700000000.5,
        families='["momentum", "value"]', eval_id=None):
    pools = POOL_COLUMNS[eval_type]
    names = ("timestamp, era_id, graph_json, tree_depth, rotation_families_json, "
             "passed_thresholds, rejection_reason, failure_reason, named_universe, "
             "metaparameters, source, instance_id, author_id, " + ", ".join(pools))
    row = (timestamp, era_id, "{}", tree_depth, families,
           int(rejection_reason is None), rejection_reason, failure_reason, "US_TOP_500",
           json.dumps({pool: {"lookback": 20}}), source, "i", "a") + (pool,) * len(pools)
    if eval_id is not None:
        names, row = "eval_id, " + names, (eval_id,) + row
    marks = ", ".join("?" * len(row))
    sql = f"INSERT INTO {eval_type}_evaluations ({names}) VALUES ({marks})"
    write(data_dir, *[(sql, row)] * count)


def add_status(data_dir, eval_type, status, rejection_reason=None):
    write(data_dir, (f"INSERT INTO {eval_type}_submission_status (eval_id, submission_id, "
                     "era_id, status, submitted_at, rejection_reason) VALUES (1, 's', 1, ?, 0, ?)",
                     (status, rejection_reason)))


def summary(tracker, **kwargs):
    return [(r.rejection_reason, r.count, r.percentage)
            for r in tracker.get_rejection_summary(**kwargs)]


@pytest.fixture
def calls(monkeypatch):
    """Replaces the describer with one that records its calls."""
    seen = []

    def describe(text, kind):
        seen.append((text, kind))
        return {"machine": f"{kind}:{text}", "rendered": f"<{text}>", "extra": 1}

    monkeypatch.setattr(reason_descriptions, "describe_reason", describe)
    return seen


# --- rejection summary -------------------------------------------------------------------

def test_summary_sums_both_tables_largest_first(tracker, data_dir):
    add(data_dir, "signal", 4)  # passed: never counted
    assert summary(tracker) == []
    add(data_dir, "strategy", 2, rejection_reason="high_turnover")
    add(data_dir, "signal", 3, rejection_reason="low_sharpe")
    add(data_dir, "strategy", 1, rejection_reason="low_sharpe")
    rows = summary(tracker)
    assert rows == [("low_sharpe", 4, 4 / 6), ("high_turnover", 2, 2 / 6)]
    assert math.isclose(sum(r[2] for r in rows), 1.0)
    assert summary(tracker, eval_type="signal") == [("low_sharpe", 3, 1.0)]
    assert summary(tracker, eval_type="strategy") == [("high_turnover", 2, 2 / 3),
                                                      ("low_sharpe", 1, 1 / 3)]
    r = tracker.get_rejection_summary()[0]
    assert isinstance(r, st.RejectionCount) and isinstance(r.count, int)
    # An empty reason is a reason of its own.
    add(data_dir, "signal", 2, rejection_reason="")
    assert summary(tracker, eval_type="signal") == [("low_sharpe", 3, 0.6), ("", 2, 0.4)]


def test_summary_applies_settings_and_pool_filters(tracker, data_dir):
    add(data_dir, "signal", 2, rejection_reason="a", era_id=1)
    add(data_dir, "signal", 5, rejection_reason="b", era_id=2)
    add(data_dir, "signal", 1, rejection_reason="a", era_id=2, source="simulate")
    add(data_dir, "strategy", 3, rejection_reason="a", era_id=2, pool="strat_b")
    assert summary(tracker, era_id=2) == [("b", 5, 5 / 9), ("a", 4, 4 / 9)]
    assert summary(tracker, era_id=2, source="simulate") == [("a", 1, 1.0)]
    assert summary(tracker, strategy_pool_id="strat_b") == [("a", 3, 1.0)]
    assert summary(tracker, metaparameters={"pool_a": {"lookback": 20}}, eval_type="signal",
                   era_id=1) == [("a", 2, 1.0)]


def test_summary_validates_before_reading(tracker):
    with pytest.raises(ValueError, match=r"^eval_type must be 'signal', 'strategy', or None$"):
        tracker.get_rejection_summary(eval_type="both")
    with pytest.raises(ValueError, match=r"^source must be 'search', 'simulate', or None$"):
        tracker.get_rejection_summary(source="live")


# --- reason catalogue --------------------------------------------------------------------

def test_catalogue_sections_order_and_entries(tracker, data_dir, calls):
    add_status(data_dir, "strategy", "paid", rejection_reason="shared")
    add_status(data_dir, "signal", "pending")
    add_status(data_dir, "signal", "")
    add(data_dir, "signal", 2, rejection_reason="low_sharpe", failure_reason="timeout")
    add(data_dir, "strategy", 1, rejection_reason="shared")
    add(data_dir, "strategy", 1, rejection_reason="", failure_reason="oom")
    add(data_dir, "signal", 1, failure_reason="")
    catalogue = tracker._collect_reason_descriptions()

    assert list(catalogue) == ["statuses", "rejection_reasons", "failure_reasons"]
    assert list(catalogue["statuses"]) == ["pending", "paid"]
    # First met in the strategy status table, met again in strategy_evaluations: one key,
    # in its first place, rendered twice.
    assert list(catalogue["rejection_reasons"]) == ["shared", "low_sharpe"]
    assert list(catalogue["failure_reasons"]) == ["timeout", "oom"]
    entry = catalogue["statuses"]["pending"]
    assert list(entry) == ["raw", "rendered", "machine"]
    assert entry == {"raw": "pending", "rendered": "<pending>", "machine": "status:pending"}
    assert catalogue["failure_reasons"]["oom"]["machine"] == "failure_reason:oom"
    assert calls.count(("shared", "rejection_reason")) == 2
    assert ("", "rejection_reason") not in calls and ("", "status") not in calls
    assert sorted(calls) == sorted([
        ("pending", "status"), ("paid", "status"), ("shared", "rejection_reason"),
        ("low_sharpe", "rejection_reason"), ("timeout", "failure_reason"),
        ("shared", "rejection_reason"), ("oom", "failure_reason")])


def test_catalogue_with_the_built_in_describer(tracker, data_dir):
    add_status(data_dir, "signal", "signal_os_passed")
    add(data_dir, "signal", 1, rejection_reason="Sharpe 0.31 below 0.5")
    catalogue = tracker.get_db_info().reason_descriptions
    assert catalogue["statuses"]["signal_os_passed"] == {
        "raw": "signal_os_passed", "rendered": "Signal passed out-of-sample validation.",
        "machine": "signal_os_passed"}
    assert catalogue["rejection_reasons"]["Sharpe 0.31 below 0.5"] == {
        "raw": "Sharpe 0.31 below 0.5", "rendered": "Rejected: Sharpe 0.31 below 0.5.",
        "machine": "sharpe_below"}


def test_host_describer_errors_propagate_unchanged(tracker, data_dir, monkeypatch):
    add(data_dir, "signal", 1, rejection_reason="low_sharpe")
    fault = LookupError("describer broke")

    def broken(text, kind):
        raise fault

    monkeypatch.setattr(reason_descriptions, "describe_reason", broken)
    with pytest.raises(LookupError) as info:
        tracker._collect_reason_descriptions()
    assert info.value is fault
    with pytest.raises(LookupError):
        tracker.get_db_info()

    monkeypatch.setattr(reason_descriptions, "describe_reason",
                        lambda text, kind: {"rendered": text})
    with pytest.raises(KeyError) as info:
        tracker._collect_reason_descriptions()
    assert info.value.args == ("machine",)


# --- auto metadata -----------------------------------------------------------------------

def test_auto_metadata_prefers_the_signal_row(tracker, data_dir):
    add(data_dir, "signal", tree_depth=4, timestamp=1700000123.25, eval_id=7)
    add(data_dir, "strategy", tree_depth=9, timestamp=5.0, families='["carry"]', eval_id=7)
    add(data_dir, "strategy", tree_depth=6, timestamp=1700000999.5, families="", eval_id=8)
    add(data_dir, "strategy", tree_depth=2, timestamp=3.0, families='["carry"]', eval_id=9)
    meta = tracker.get_auto_metadata(7)
    assert isinstance(meta, st.AutoMetadata)
    assert (meta.expression_complexity, meta.submission_date, meta.rotation_families_used) == (
        4, 1700000123.25, ["momentum", "value"])
    meta = tracker.get_auto_metadata(8)
    assert (meta.expression_complexity, meta.submission_date, meta.rotation_families_used) == (
        6, 1700000999.5, [])
    assert tracker.get_auto_metadata(9).rotation_families_used == ["carry"]


def test_auto_metadata_of_unknown_id(tracker, data_dir):
    add(data_dir, "signal", eval_id=1)
    with pytest.raises(ValueError, match=r"^Evaluation with eval_id=404 not found$"):
        tracker.get_auto_metadata(404)
