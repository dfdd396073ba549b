import time

import pytest

from plintrove import search_tracking as st
from conftest import read
from submission_helpers import add_signal, add_strategy, payload, table_counts

IDENTITY_MESSAGE = ("SearchTracker writes require an attached LibraryIdentity; call set_identity() "
                    "before recording evaluations or submissions.")


def test_dequeue_serves_requeued_items_first_then_queue_order(tracker, data_dir, identity):
    a, b = add_signal(tracker), add_signal(tracker)
    before = time.time()
    q1 = tracker.enqueue_submission(a, "signal", payload(n="a"), 3, signal_pool_id="pool_a")
    q2 = tracker.enqueue_submission(b, "signal", payload(n="b"), 3, signal_pool_id="pool_a")
    q3 = tracker.requeue_submission(a, "signal", payload(n="a2"), 3, "pool_a")
    after = time.time()
    assert (q1, q2, q3) == (1, 2, 3)
    assert read(data_dir, "SELECT queue_id, eval_id, signal_pool_id, payload_json, era_id, "
                "priority, instance_id, author_id FROM signal_submission_queue "
                "ORDER BY queue_id") == [
        (1, a, "pool_a", '{"n": "a"}', 3, 0, identity.instance_id, identity.author_id),
        (2, b, "pool_a", '{"n": "b"}', 3, 0, identity.instance_id, identity.author_id),
        (3, a, "pool_a", '{"n": "a2"}', 3, 1, identity.instance_id, identity.author_id)]

    first = tracker.dequeue_submission()
    assert isinstance(first, st.SubmissionQueueItem)
    assert (first.queue_id, first.eval_id, first.eval_type, first.signal_pool_id,
            first.strategy_pool_id, first.payload_json, first.era_id, first.priority) == (
        3, a, "signal", "pool_a", None, '{"n": "a2"}', 3, 1)
    assert before <= first.created_at <= after
    assert [tracker.dequeue_submission().queue_id for _ in range(2)] == [1, 2]
    assert tracker.dequeue_submission() is None
    assert table_counts(data_dir)["signal_submission_queue"] == 0
    assert not tracker._conn.in_transaction


def test_both_tables_form_one_queue_ordered_by_queue_id(tracker, data_dir):
    s = add_signal(tracker)
    t = add_strategy(tracker)
    for _ in range(3):
        tracker.enqueue_submission(s, "signal", payload(), 1, signal_pool_id="pool_a")
    assert tracker.dequeue_submission().queue_id == 1
    tracker.enqueue_submission(t, "strategy", payload(strategy_pool_id="strat_b"), 1)
    item = tracker.dequeue_submission()
    assert (item.queue_id, item.eval_type, item.eval_id, item.signal_pool_id,
            item.strategy_pool_id) == (1, "strategy", t, None, "strat_b")
    assert [tracker.dequeue_submission().queue_id for _ in range(2)] == [2, 3]


def test_own_pool_comes_from_argument_then_payload_then_evaluation_row(tracker, data_dir):
    s = add_signal(tracker, pool="row_pool")
    t = add_strategy(tracker, pool="strat_row")
    tracker.enqueue_submission(s, "signal", payload(signal_pool_id="p9"), 1, signal_pool_id="p1")
    tracker.enqueue_submission(s, "signal", payload(signal_pool_id="p9"), 1)
    tracker.enqueue_submission(s, "signal", payload(strategy_pool_id="p8"), 1,
                               strategy_pool_id="p3")
    tracker.enqueue_submission(s, "signal", "not json", 1)
    tracker.enqueue_submission(t, "strategy", payload(strategy_pool_id=None), 1,
                               signal_pool_id="ignored")
    assert [r[0] for r in read(data_dir, "SELECT signal_pool_id FROM signal_submission_queue "
                               "ORDER BY queue_id")] == ["p1", "p9", "row_pool", "row_pool"]
    assert read(data_dir, "SELECT strategy_pool_id FROM strategy_submission_queue") == [
        ("strat_row",)]


def test_enqueue_rejects_bad_input_before_writing(tracker, data_dir):
    s = add_signal(tracker)
    missing = 999
    cases = [
        ((s, "other", payload(), 1), "eval_type must be 'signal' or 'strategy'"),
        ((s, "signal", "", 0), "payload_json must not be empty"),
        ((s, "signal", None, 1), "payload_json must not be empty"),
        ((s, "signal", payload(), 0), "era_id must be > 0"),
        ((missing, "signal", payload(), 1), "signal_pool_id must be a non-empty string"),
        ((missing, "signal", "[1, 2]", 1), "signal_pool_id must be a non-empty string"),
        ((missing, "signal", payload(signal_pool_id=7), 1),
         "signal_pool_id must be a non-empty string"),
        ((s, "signal", payload(), 1, ""), "signal_pool_id must be a non-empty string"),
        ((missing, "strategy", payload(signal_pool_id="p"), 1),
         "strategy_pool_id must be a non-empty string"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as err:
            tracker.enqueue_submission(*args)
        assert str(err.value) == message, args
    tracker.set_identity(None)
    with pytest.raises(ValueError) as err:
        tracker.enqueue_submission(s, "signal", payload(), 1, "pool_a")
    assert str(err.value) == IDENTITY_MESSAGE
    assert sum(table_counts(data_dir).values()) == 0
    assert not tracker._conn.in_transaction


def test_requeue_stores_empty_payload_and_non_positive_era(tracker, data_dir):
    s = add_signal(tracker)
    assert tracker.requeue_submission(s, "signal", "", 0, signal_pool_id="pool_a") == 1
    assert read(data_dir, "SELECT payload_json, era_id, priority FROM signal_submission_queue") == [
        ("", 0, 1)]
    with pytest.raises(ValueError, match="eval_type must be 'signal' or 'strategy'"):
        tracker.requeue_submission(s, "sig", "", 0, signal_pool_id="pool_a")


def test_mark_submitted(tracker, data_dir):
    s = add_signal(tracker)
    t = add_strategy(tracker)
    with pytest.raises(ValueError) as err:
        tracker.mark_submitted(s + 100, "strategy")
    assert str(err.value) == f"eval_id={s + 100} not found in strategy_evaluations"
    with pytest.raises(ValueError, match="^eval_id=12 not found in signal_evaluations$"):
        tracker.mark_submitted(12)
    with pytest.raises(ValueError, match="eval_type must be 'signal' or 'strategy'"):
        tracker.mark_submitted(s, None)
    tracker.mark_submitted(s)
    tracker.mark_submitted(s)
    tracker.mark_submitted(eval_id=t, eval_type="strategy")
    assert read(data_dir, "SELECT submitted FROM signal_evaluations") == [(1,)]
    assert read(data_dir, "SELECT submitted FROM strategy_evaluations") == [(1,)]


def test_sim_parent_placeholder_row(tracker, data_dir):
    conn = tracker._conn
    st._ensure_submission_sim_parent(conn, "sim-new", era_id=" 12 ")
    conn.commit()
    # An existing row is left alone: its era is not even converted.
    st._ensure_submission_sim_parent(conn, "sim-new", era_id="not a number")
    assert read(data_dir, "SELECT id, graph_json, era_id, market_id, pool_id, named_universe, "
                "status, progress, completed_at FROM sims") == [
        ("sim-new", "{}", 12, 0, None, "unknown", "submitted", 0.0, None)]
    with pytest.raises(ValueError, match="^sim_id must not be empty$"):
        st._ensure_submission_sim_parent(conn, "")
