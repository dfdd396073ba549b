import time

import pytest

from conftest import read
from submission_helpers import add_signal, add_strategy, payload, table_counts

STATUSES = ["queued", "pending", "signal_is_validating", "signal_found", "signal_is_rejected",
            "signal_os_validating", "signal_os_passed", "signal_os_failed", "signal_useful",
            "signal_not_useful", "signal_useful_transition_failed", "strategy_is_validating",
            "strategy_found", "strategy_is_rejected", "strategy_os_validating",
            "strategy_os_passed", "strategy_os_failed", "strategy_useful", "strategy_not_useful",
            "strategy_useful_transition_failed", "paid", "rejected"]
STATUS_ROW = ("SELECT eval_id, signal_pool_id, submission_id, sim_id, era_id, status, "
              "last_polled_at, finalized_at, instance_id, author_id FROM signal_submission_status "
              "ORDER BY status_id")


def test_attempt_is_recorded_once_per_key(tracker, data_dir, identity):
    s = add_signal(tracker)
    first = tracker.record_submission_attempt_started(s, "signal", "k1", 2, payload(n=1),
                                                      signal_pool_id="pool_a")
    stored = read(data_dir, "SELECT * FROM signal_submission_attempts")
    again = tracker.record_submission_attempt_started(s, "signal", "k1", 5, payload(n=2))
    assert again == first == 1
    assert read(data_dir, "SELECT * FROM signal_submission_attempts") == stored
    assert read(data_dir, "SELECT eval_id, signal_pool_id, idempotency_key, era_id, payload_json, "
                "instance_id, author_id FROM signal_submission_attempts") == [
        (s, "pool_a", "k1", 2, '{"n": 1}', identity.instance_id, identity.author_id)]

    by_int = tracker.record_submission_attempt_started(s, "signal", 12, 2, payload())
    assert tracker.record_submission_attempt_started(s, "signal", "12", 2, payload()) == by_int
    assert by_int != first
    [(key,)] = read(data_dir, "SELECT idempotency_key FROM signal_submission_attempts "
                    "WHERE attempt_id=?", (by_int,))
    assert (key, type(key)) == ("12", str)
    # Keys are unique per table: the strategy table starts its own rows.
    t = add_strategy(tracker)
    assert tracker.record_submission_attempt_started(t, "strategy", "k1", 2, payload()) == 1
    assert not tracker._conn.in_transaction


def test_attempt_validation_order_and_no_write(tracker, data_dir):
    s = add_signal(tracker)
    cases = [
        ((s, "strategyy", "", 0, ""), "eval_type must be 'signal' or 'strategy'"),
        ((s, "signal", "", 0, ""), "idempotency_key must not be empty"),
        ((s, "signal", None, 1, payload()), "idempotency_key must not be empty"),
        ((s, "signal", 0, 1, payload()), "idempotency_key must not be empty"),
        ((s, "signal", "k", 0, ""), "payload_json must not be empty"),
        ((s, "signal", "k", 0, payload()), "era_id must be > 0"),
        ((404, "signal", "k", 1, "not json"), "signal_pool_id must be a non-empty string"),
        ((404, "strategy", "k", 1, payload(signal_pool_id="p")),
         "strategy_pool_id must be a non-empty string"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as err:
            tracker.record_submission_attempt_started(*args)
        assert str(err.value) == message, args
    assert sum(table_counts(data_dir).values()) == 0


def test_record_submission_makes_up_the_sim_id_and_its_parent_once(tracker, data_dir, identity):
    s = add_signal(tracker, era_id=4)
    before = time.time()
    first = tracker.record_submission(s, "signal", "sub-1", 4)
    second = tracker.record_submission(s, "signal", "sub-2", 4, None, "signal_is_validating")
    assert (first, second) == (1, 2)
    sim = f"search-signal-{s}"
    assert read(data_dir, STATUS_ROW) == [
        (s, "pool_a", "sub-1", sim, 4, "pending", None, None, identity.instance_id,
         identity.author_id),
        (s, "pool_a", "sub-2", sim, 4, "signal_is_validating", None, None, identity.instance_id,
         identity.author_id)]
    assert before <= read(data_dir, "SELECT submitted_at FROM signal_submission_status")[0][0]
    assert read(data_dir, "SELECT id, era_id, status FROM sims") == [(sim, 4, "submitted")]
    # record_submission leaves the evaluation's flag alone.
    assert read(data_dir, "SELECT submitted FROM signal_evaluations") == [(0,)]


def test_record_submission_era_conversion_and_given_sim_id(tracker, data_dir):
    s = add_signal(tracker)
    tracker.record_submission(s, "signal", "sub-1", "7", sim_id="sim-a")
    tracker.record_submission(s, "signal", "sub-2", None, sim_id="sim-b")
    assert [(sim, era, type(era)) for sim, era in read(
        data_dir, "SELECT id, era_id FROM sims ORDER BY id")] == [
        ("sim-a", 7, int), ("sim-b", None, type(None))]
    with pytest.raises(ValueError, match=r"^invalid literal for int\(\) with base 10: 'x1'$"):
        tracker.record_submission(s, "signal", "sub-3", "x1", sim_id="sim-c")
    with pytest.raises(TypeError):
        tracker.record_submission(s, "signal", "sub-3", [1], sim_id="sim-c")
    assert len(read(data_dir, "SELECT * FROM signal_submission_status")) == 2


def test_record_submission_strategy_pools(tracker, data_dir):
    t = add_strategy(tracker, pool="strat_a", signal_pool="pool_a")
    tracker.record_submission(t, "strategy", "sub-1", 1)
    tracker.record_submission(t, "strategy", "sub-2", 1, strategy_pool_id="strat_x",
                              strategy_signal_pool="pool_x")
    assert read(data_dir, "SELECT strategy_pool_id, strategy_signal_pool, submission_id FROM "
                "strategy_submission_status ORDER BY status_id") == [
        ("strat_a", "pool_a", "sub-1"), ("strat_x", "pool_x", "sub-2")]


def test_record_submission_bad_input(tracker, data_dir):
    s = add_signal(tracker)
    expected = f"status must be one of {STATUSES!r}, got 'done'"
    for method in (tracker.record_submission, tracker.record_submission_once_and_mark_submitted):
        with pytest.raises(ValueError) as err:
            method(s, "signal", "sub", 1, initial_status="done")
        assert str(err.value) == expected
        with pytest.raises(ValueError, match="^submission_id must not be empty$"):
            method(s, "signal", "", 1)
        with pytest.raises(ValueError, match="^submission_id must not be empty$"):
            method(s, "signal", None, 1)
        with pytest.raises(ValueError, match="^eval_type must be 'signal' or 'strategy'$"):
            method(s, "Signal", "sub", 1)
    assert read(data_dir, "SELECT COUNT(*) FROM sims") == [(0,)]

    # The sims parent is written before the pool checks and is not undone when they fail.
    with pytest.raises(ValueError, match="^strategy_signal_pool must be a non-empty string$"):
        tracker.record_submission(404, "strategy", "sub", 1, strategy_pool_id="strat_a")
    assert tracker._conn.execute("SELECT id FROM sims").fetchall() == [("search-strategy-404",)]
    assert tracker._conn.in_transaction
    tracker._conn.rollback()
    assert sum(table_counts(data_dir).values()) == 0


def test_record_once_stores_and_marks_then_refuses_the_sim_id(tracker, data_dir):
    s = add_signal(tracker)
    other = add_signal(tracker)
    assert tracker.record_submission_once_and_mark_submitted(s, "signal", "sub-1", 1) == 1
    assert not tracker._conn.in_transaction
    sim = f"search-signal-{s}"
    assert read(data_dir, "SELECT sim_id, submission_id FROM signal_submission_status") == [
        (sim, "sub-1")]
    assert read(data_dir, "SELECT eval_id, submitted FROM signal_evaluations ORDER BY eval_id") == [
        (s, 1), (other, 0)]

    # The same sim id again, even for another evaluation or type: refused, nothing written.
    for args in ((s, "signal", "sub-2", 1), (other, "signal", "sub-3", 1, sim),
                 (1, "strategy", "sub-4", 1, sim)):
        with pytest.raises(ValueError) as err:
            tracker.record_submission_once_and_mark_submitted(*args)
        assert str(err.value) == f"sim_id='{sim}' already submitted"
        assert not tracker._conn.in_transaction
    assert read(data_dir, "SELECT COUNT(*) FROM signal_submission_status") == [(1,)]
    assert read(data_dir, "SELECT submitted FROM signal_evaluations ORDER BY eval_id") == [
        (1,), (0,)]

    with pytest.raises(ValueError, match="^eval_id=404 not found in signal_evaluations$"):
        tracker.record_submission_once_and_mark_submitted(404, "signal", "sub-5", 1)
    # A failure after the sims insert rolls the whole transaction back.
    with pytest.raises(ValueError, match="^signal_pool_id must be a non-empty string$"):
        tracker.record_submission_once_and_mark_submitted(other, "signal", "sub-6", 1,
                                                          signal_pool_id="")
    tracker.set_identity(None)
    with pytest.raises(ValueError, match="^SearchTracker writes require an attached"):
        tracker.record_submission_once_and_mark_submitted(other, "signal", "sub-7", 1)
    assert not tracker._conn.in_transaction
    assert read(data_dir, "SELECT id FROM sims") == [(sim,)]
    assert read(data_dir, "SELECT submitted FROM signal_evaluations ORDER BY eval_id") == [
        (1,), (0,)]


def test_record_once_joins_an_open_transaction(tracker, data_dir):
    s = add_signal(tracker)
    conn = tracker._conn
    conn.execute("BEGIN")
    conn.execute("UPDATE signal_evaluations SET failure_reason='mine' WHERE eval_id=?", (s,))
    tracker.record_submission_once_and_mark_submitted(s, "signal", "sub-1", 1, sim_id="it's")
    assert conn.in_transaction
    # An error inside leaves the caller's transaction, and its writes, alone.
    with pytest.raises(ValueError, match="^sim_id='it's' already submitted$"):
        tracker.record_submission_once_and_mark_submitted(s, "signal", "sub-2", 1, sim_id="it's")
    assert conn.in_transaction
    assert conn.execute("SELECT failure_reason, submitted FROM signal_evaluations").fetchall() == [
        ("mine", 1)]
    assert read(data_dir, "SELECT COUNT(*) FROM signal_submission_status") == [(0,)]
    conn.rollback()
    assert read(data_dir, "SELECT failure_reason, submitted FROM signal_evaluations") == [(None, 0)]
    assert read(data_dir, "SELECT COUNT(*) FROM sims") == [(0,)]
