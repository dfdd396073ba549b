import time

import pytest

from plintrove import search_tracking as st
from conftest import Recorder, read, write
from submission_helpers import add_signal, add_strategy, payload, table_counts


def test_item_is_retried_until_the_limit_of_five(tracker, data_dir, identity):
    s = add_signal(tracker)
    before = time.time()
    assert tracker.enqueue_retry(s, "signal", payload(n=0), 2, "first",
                                 signal_pool_id="pool_a") == 1
    for attempt in range(5):
        item = tracker.dequeue_retryable()
        assert isinstance(item, st.SubmissionRetryItem)
        assert (item.eval_id, item.eval_type, item.signal_pool_id, item.strategy_pool_id,
                item.payload_json, item.era_id, item.retry_count, item.retry_after) == (
            s, "signal", "pool_a", None, payload(n=attempt), 2, attempt, None)
        assert item.last_rejection_reason == ("first" if attempt == 0 else f"again {attempt - 1}")
        assert item.created_at >= before
        assert tracker.dequeue_retryable() is None  # handed out means gone
        tracker.increment_retry(item.retry_id, s, "signal", payload(n=attempt + 1), 2,
                                f"again {attempt}", item.retry_count)
    assert read(data_dir, "SELECT retry_count, last_rejection_reason, instance_id, author_id "
                "FROM signal_submission_retry") == [
        (5, "again 4", identity.instance_id, identity.author_id)]
    # At the limit: never handed out again, still counted as retrying.
    assert tracker.dequeue_retryable() is None
    counts = tracker.get_retry_counts()
    assert isinstance(counts, st.RetryCounts) and (counts.retrying, counts.ready) == (1, 0)


def test_retry_after_and_created_at_order(tracker, data_dir):
    s = add_signal(tracker)
    t = add_strategy(tracker)
    tracker.enqueue_retry(s, "signal", payload(), 1, "later", time.time() + 3600, "pool_a")
    assert tracker.dequeue_retryable() is None
    counts = tracker.get_retry_counts()
    assert (counts.retrying, counts.ready) == (1, 0)

    tracker.enqueue_retry(s, "signal", payload(), 1, "now", time.time() - 1, "pool_a")
    tracker.enqueue_retry(t, "strategy", payload(strategy_pool_id="strat_p"), 1, "now")
    write(data_dir, "UPDATE strategy_submission_retry SET created_at=1.0")
    assert tracker.get_retry_counts().ready == 2
    first, second = tracker.dequeue_retryable(), tracker.dequeue_retryable()
    assert (first.eval_type, first.signal_pool_id, first.strategy_pool_id, first.created_at) == (
        "strategy", None, "strat_p", 1.0)
    assert (second.eval_type, second.retry_id) == ("signal", 2)
    assert tracker.dequeue_retryable() is None


def test_increment_replaces_every_row_of_the_evaluation_in_its_table(tracker, data_dir):
    s = add_signal(tracker)
    other = add_signal(tracker)
    for eval_id in (s, s, other):
        tracker.enqueue_retry(eval_id, "signal", payload(), 1, "r", signal_pool_id="pool_a")
    tracker.enqueue_retry(s, "strategy", payload(), 1, "r", strategy_pool_id="strat_a")
    tracker.increment_retry(999, s, "signal", payload(), 1, "r2", 3, retry_after=5.0,
                            signal_pool_id="pool_a")
    assert read(data_dir, "SELECT retry_id, eval_id, retry_count, retry_after FROM "
                "signal_submission_retry ORDER BY retry_id") == [(3, other, 0, None),
                                                               (4, s, 4, 5.0)]
    assert table_counts(data_dir)["strategy_submission_retry"] == 1

    # Without identity the DELETE has run but nothing is committed or rolled back.
    tracker.set_identity(None)
    with pytest.raises(ValueError, match="^SearchTracker writes require"):
        tracker.increment_retry(4, s, "signal", payload(), 1, "r3", 4, signal_pool_id="pool_a")
    assert tracker._conn.in_transaction
    assert tracker._conn.execute("SELECT COUNT(*) FROM signal_submission_retry").fetchone() == (1,)
    tracker._conn.rollback()
    assert table_counts(data_dir)["signal_submission_retry"] == 2


def test_enqueue_retry_bad_input_writes_nothing(tracker, data_dir):
    s = add_signal(tracker)
    cases = [
        ((s, "nope", "", 1, ""), "eval_type must be 'signal' or 'strategy'"),
        ((s, "signal", "", 1, ""), "payload_json must not be empty"),
        ((s, "signal", payload(), 1, ""), "rejection_reason must not be empty"),
        ((s, "signal", payload(), 1, None), "rejection_reason must not be empty"),
        ((404, "signal", "[]", 1, "r"), "signal_pool_id must be a non-empty string"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as err:
            tracker.enqueue_retry(*args)
        assert str(err.value) == message, args
    with pytest.raises(ValueError, match="^eval_type must be 'signal' or 'strategy'$"):
        tracker.increment_retry(1, s, None, "", 1, "", 0)
    assert sum(table_counts(data_dir).values()) == 0
    # No era check: era 0 is stored.
    tracker.enqueue_retry(s, "signal", payload(), 0, "r", signal_pool_id="pool_a")
    assert read(data_dir, "SELECT era_id FROM signal_submission_retry") == [(0,)]


def test_clear_and_count_by_era(tracker, data_dir):
    s = add_signal(tracker)
    t = add_strategy(tracker)
    for era in (3, 3, 4):
        tracker.enqueue_retry(s, "signal", payload(), era, "r", signal_pool_id="pool_a")
        tracker.enqueue_retry(t, "strategy", payload(), era, "r")
    write(data_dir, "UPDATE signal_submission_retry SET retry_count=5 WHERE retry_id=1")

    seen = Recorder(tracker).statements
    before = time.time()
    counts = tracker.get_retry_counts(era_id=3)
    assert (counts.retrying, counts.ready) == (4, 3)
    ready = "era_id=? AND retry_count < 5 AND (retry_after IS NULL OR retry_after <= ?)"
    assert [sql for sql, _ in seen] == [
        "SELECT COUNT(*) FROM signal_submission_retry WHERE era_id=?",
        "SELECT COUNT(*) FROM strategy_submission_retry WHERE era_id=?",
        f"SELECT COUNT(*) FROM signal_submission_retry WHERE {ready}",
        f"SELECT COUNT(*) FROM strategy_submission_retry WHERE {ready}"]
    assert seen[2][1][0] == 3 and before <= seen[2][1][1] <= time.time()

    assert tracker.clear_retry_queue(era_id=3) == 4
    assert read(data_dir, "SELECT era_id FROM signal_submission_retry") == [(4,)]
    assert tracker.clear_retry_queue(era_id=9) == 0
    assert tracker.clear_retry_queue() == 2
    assert table_counts(data_dir)["signal_submission_retry"] == 0
    assert table_counts(data_dir)["strategy_submission_retry"] == 0
    assert not tracker._conn.in_transaction


def test_increment_at_the_64_bit_limit_is_refused_and_keeps_the_item(tracker, data_dir):
    s = add_signal(tracker)
    tracker.enqueue_retry(s, "signal", payload(), 1, "r", signal_pool_id="pool_a")
    before = read(data_dir, "SELECT * FROM signal_submission_retry")
    # Inside a caller's transaction too: nothing of the call is left for the caller's commit.
    for caller_transaction in (False, True):
        if caller_transaction:
            tracker._conn.execute("INSERT INTO sims (id) VALUES ('caller')")
        with pytest.raises(OverflowError):
            tracker.increment_retry(1, s, "signal", payload(), 1, "r2", 2**63 - 1,
                                    signal_pool_id="pool_a")
        assert tracker._conn.in_transaction is caller_transaction
        tracker._conn.commit()
        assert read(data_dir, "SELECT * FROM signal_submission_retry") == before
