import time

import pytest

from plintrove import search_tracking as st
from conftest import Recorder, read, write
from submission_helpers import add_signal, add_strategy, payload

STATUS_COLUMNS = ("status, last_polled_at, finalized_at, is_stats_json, payment_json, "
                  "payment_usdc, useful_flag, rejection_reason")
METRIC_COLUMNS = ("agent_is_correlation, is_correlation, is_pnl_mi, agent_is_pnl_mi, "
                  "failure_reason, failure_detail")


def status_row(data_dir, table="signal_submission_status", submission_id="sub-1"):
    return read(data_dir, f"SELECT {STATUS_COLUMNS} FROM {table} WHERE submission_id=?",
                (submission_id,))[0]


def test_poll_until_terminal_keeps_values_through_coalesce(tracker, data_dir):
    s = add_signal(tracker)
    tracker.record_submission(s, "signal", "sub-1", 1)
    t0 = time.time()
    assert tracker.update_submission_status("sub-1", "signal_is_validating",
                                            is_stats_json='{"sharpe": 1.0}', payment_usdc=3,
                                            agent_is_correlation=0.5, is_correlation=0.25)
    row = status_row(data_dir)
    assert row[0] == "signal_is_validating" and t0 <= row[1] and row[2] is None
    assert row[3:] == ('{"sharpe": 1.0}', None, 3.0, None, None)

    assert tracker.update_submission_status("sub-1", "signal_useful", payment_json='{"tx": 1}',
                                            useful_flag=True, is_pnl_mi=0.75,
                                            failure_detail={"b": 1, "a": [1]})
    row = status_row(data_dir)
    assert row[0] == "signal_useful" and row[2] == row[1] >= t0
    assert row[3:] == ('{"sharpe": 1.0}', '{"tx": 1}', 3.0, 1, None)
    assert read(data_dir, f"SELECT {METRIC_COLUMNS} FROM signal_evaluations") == [
        (0.5, 0.25, 0.75, None, None, '{"a":[1],"b":1}')]

    # Terminal rows never change again, nor does the evaluation row.
    assert not tracker.update_submission_status("sub-1", "paid", payment_usdc=9.0,
                                                useful_flag=False, failure_reason="late")
    assert status_row(data_dir) == row
    assert read(data_dir, "SELECT failure_reason FROM signal_evaluations") == [(None,)]
    assert not tracker._conn.in_transaction


def test_status_update_flags_rejection_and_bad_input(tracker, data_dir):
    s = add_signal(tracker)
    tracker.record_submission(s, "signal", "sub-1", 1)
    tracker.update_submission_status("sub-1", "pending", useful_flag=0, payment_usdc="2.5")
    assert status_row(data_dir)[5:7] == (2.5, 0)
    before = status_row(data_dir)
    # Values sit between literal quotes as they are, not in their repr.
    with pytest.raises(ValueError) as err:
        tracker.update_submission_status("a'b", "pending")
    assert str(err.value) == "submission_id='a'b' not found"
    for status in ("x'y", None):
        with pytest.raises(ValueError, match=r"^status must be one of \['queued', .*, got '%s'$" % status):
            tracker.update_submission_status("sub-1", status)
    with pytest.raises(ValueError, match="^could not convert string to float: 'lots'$"):
        tracker.update_submission_status("sub-1", "pending", payment_usdc="lots")
    assert status_row(data_dir) == before
    tracker.update_submission_status("sub-1", "signal_is_rejected", None, None, "too similar")
    assert status_row(data_dir)[5:] == (2.5, 0, "too similar")


def test_values_of_another_type_than_their_column(tracker, data_dir, storage):
    """SQLite converts a value to its column's type where it can and stores it as it is
    where it cannot; PostgreSQL converts the same values and refuses the others, naming
    the field, before the first statement of the call: nothing of it is written."""
    s = add_signal(tracker)
    tracker.record_submission(s, "signal", "sub-1", 1)
    # Numeric text in a real column, numbers in text columns, in the second statement.
    assert tracker.update_submission_status("sub-1", "pending", rejection_reason=7,
                                            agent_is_correlation=" 0.5 ", failure_reason=1e20)
    assert status_row(data_dir)[7] == "7"
    assert read(data_dir, "SELECT agent_is_correlation, failure_reason FROM "
                "signal_evaluations") == [(0.5, "1.0e+20")]
    # An integer compared with a text column matches its text, as SQLite compares them.
    assert tracker.get_submission_for_sim(5) is None
    before = read(data_dir, "SELECT * FROM signal_submission_status")
    call = lambda: tracker.update_submission_status("sub-1", "signal_is_validating",
                                                    agent_is_correlation="")
    if storage == "sqlite":
        assert call()
        assert read(data_dir, "SELECT agent_is_correlation FROM signal_evaluations") == [("",)]
        return
    with pytest.raises(st.DatabaseError, match=r"^PostgreSQL cannot store parameter 1 "
                       r"\(agent_is_correlation\): the text '' in a double precision column$"):
        call()
    assert not tracker._conn.in_transaction
    assert read(data_dir, "SELECT * FROM signal_submission_status") == before


def test_strategy_signal_pool_goes_to_status_and_evaluation_rows(tracker, data_dir):
    t = add_strategy(tracker, signal_pool="pool_a")
    s = add_signal(tracker)
    tracker.record_submission(t, "strategy", "sub-t", 1)
    tracker.record_submission(s, "signal", "sub-s", 1)
    assert tracker.update_submission_status("sub-t", "strategy_is_validating",
                                            strategy_signal_pool="pool_b")
    assert read(data_dir, "SELECT strategy_signal_pool FROM strategy_submission_status") == [
        ("pool_b",)]
    assert read(data_dir, "SELECT strategy_signal_pool FROM strategy_evaluations") == [("pool_b",)]
    # For a signal the pool is dropped: no metrics to write, the evaluation row is untouched.
    assert tracker.update_submission_status("sub-s", "signal_is_validating",
                                            strategy_signal_pool="pool_c")
    assert read(data_dir, f"SELECT {METRIC_COLUMNS} FROM signal_evaluations") == [
        (0.0, None, None, None, None, None)]


def test_update_eval_server_metrics(tracker, data_dir):
    s = add_signal(tracker)
    t = add_strategy(tracker, signal_pool="pool_a")
    seen = Recorder(tracker).statements
    assert tracker.update_eval_server_metrics(s, "signal") is False
    assert tracker.update_eval_server_metrics(s, "signal", strategy_signal_pool="x") is False
    assert seen == []

    # Positional order: ..., failure_reason, failure_detail, agent_is_pnl_mi.
    assert tracker.update_eval_server_metrics(s, "signal", 0.1, 0.2, 0.3, "reason", "detail", 0.4)
    assert read(data_dir, f"SELECT {METRIC_COLUMNS} FROM signal_evaluations") == [
        (0.1, 0.2, 0.3, 0.4, "reason", "detail")]
    assert tracker.update_eval_server_metrics(t, "strategy", failure_detail=object,
                                              strategy_signal_pool="pool_z", commit=False)
    assert tracker._conn.in_transaction
    tracker._conn.commit()
    assert read(data_dir, "SELECT failure_detail, strategy_signal_pool "
                "FROM strategy_evaluations") == [
        (str(object), "pool_z")]
    assert tracker.update_eval_server_metrics(404, "signal", is_pnl_mi=1.0) is False
    with pytest.raises(ValueError, match="^eval_type must be 'signal' or 'strategy'$"):
        tracker.update_eval_server_metrics(s, "both", is_pnl_mi=1.0)


def test_pending_list_and_lookup_by_sim(tracker, data_dir):
    s = add_signal(tracker)
    t = add_strategy(tracker)
    tracker.record_submission(s, "signal", "sub-1", 2, sim_id="sim-x")
    tracker.record_submission(t, "strategy", "sub-2", 3, sim_id="sim-y")
    tracker.record_submission(s, "signal", "sub-3", 2, initial_status="paid")
    tracker.record_submission(s, "signal", "sub-4", 2, sim_id="sim-x")
    tracker.update_submission_status("sub-4", "signal_found", payment_usdc=1)
    for table, sub, at in (("signal_submission_status", "sub-1", 30.0),
                           ("strategy_submission_status", "sub-2", 10.0),
                           ("signal_submission_status", "sub-3", 20.0)):
        write(data_dir, (f"UPDATE {table} SET submitted_at=? WHERE submission_id=?", (at, sub)))

    # A row created with a terminal status is never finalized and stays pending.
    pending = tracker.get_pending_submissions()
    assert all(isinstance(p, st.PendingSubmission) for p in pending)
    assert [(p.submission_id, p.eval_type, p.status) for p in pending] == [
        ("sub-2", "strategy", "pending"), ("sub-3", "signal", "paid"),
        ("sub-1", "signal", "pending")]
    strategy = pending[0]
    assert (strategy.status_id, strategy.eval_id, strategy.signal_pool_id,
            strategy.strategy_pool_id, strategy.strategy_signal_pool, strategy.sim_id,
            strategy.era_id, strategy.submitted_at, strategy.last_polled_at,
            strategy.finalized_at, strategy.payment_usdc, strategy.useful_flag) == (
        1, t, None, "strat_a", "pool_a", "sim-y", 3, 10.0, None, None, None, None)
    assert (pending[1].signal_pool_id, pending[1].strategy_pool_id,
            pending[1].strategy_signal_pool, pending[1].sim_id) == (
        "pool_a", None, None, f"search-signal-{s}")

    found = tracker.get_submission_for_sim("sim-x")
    assert list(found) == ["status_id", "eval_id", "eval_type", "signal_pool_id",
                           "strategy_pool_id", "strategy_signal_pool", "submission_id", "sim_id",
                           "era_id", "status", "last_status", "submitted_at", "last_polled_at",
                           "finalized_at", "is_stats_json", "payment_json", "payment_usdc",
                           "useful_flag", "rejection_reason"]
    assert (found["status_id"], found["submission_id"], found["status"], found["last_status"],
            found["payment_usdc"], found["strategy_pool_id"]) == (
        3, "sub-4", "signal_found", "signal_found", 1.0, None)
    assert found["finalized_at"] == found["last_polled_at"] is not None
    assert tracker.get_submission_for_sim("sim-y")["signal_pool_id"] is None
    assert tracker.get_submission_for_sim("sim-none") is None
    assert tracker.get_pending_submissions() == pending


def test_submission_counts(tracker):
    s = add_signal(tracker)
    t = add_strategy(tracker)
    tracker.enqueue_submission(s, "signal", payload(), 4, "pool_a")
    tracker.enqueue_submission(t, "strategy", payload(), 4)
    tracker.enqueue_submission(s, "signal", payload(), 5, "pool_a")
    for n, (kind, era, final) in enumerate([
            ("signal", 4, None), ("signal", 4, "signal_useful"), ("strategy", 4, "strategy_found"),
            ("strategy", 4, "strategy_os_failed"), ("signal", 4, "paid"), ("signal", 4, "rejected"),
            ("signal", 5, "signal_not_useful"), ("strategy", 5, None)]):
        sub = f"sub-{n}"
        tracker.record_submission(s if kind == "signal" else t, kind, sub, era)
        if final:
            tracker.update_submission_status(sub, final)
    # Recorded with an accepted status: pending (never finalized) and accepted at once.
    tracker.record_submission(s, "signal", "sub-x", 4, initial_status="signal_found")
    tracker.enqueue_retry(s, "signal", payload(), 4, "r", signal_pool_id="pool_a")
    tracker.enqueue_retry(t, "strategy", payload(), 6, "r")

    era4 = tracker.get_submission_counts(era_id=4, discarded_count=2)
    assert isinstance(era4, st.SubmissionCounts)
    assert (era4.queued, era4.pending, era4.accepted, era4.rejected, era4.retrying,
            era4.discarded, era4.total) == (2, 2, 3, 1, 1, 2, 9)
    every = tracker.get_submission_counts()
    assert (every.queued, every.pending, every.accepted, every.rejected, every.retrying,
            every.discarded, every.total) == (3, 3, 3, 2, 2, 0, 13)
    assert tracker.get_submission_counts(7, 5).total == 0
