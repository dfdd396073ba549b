"""The submitter's whole path in the engine's calling order, on one tracking.db."""

import json

from conftest import read
from submission_helpers import add_signal, add_strategy


def counts(tracker, era_id=None):
    c = tracker.get_submission_counts(era_id)
    return (c.queued, c.pending, c.accepted, c.rejected, c.retrying, c.total)


def test_submit_poll_and_retry_in_calling_order(tracker, data_dir):
    s = add_signal(tracker, pool="pool_a", era_id=2)
    t = add_strategy(tracker, pool="strat_a", signal_pool="pool_a", era_id=2)
    body_s = json.dumps({"signal_pool_id": "pool_a", "expr": "rank(close)"})
    body_t = json.dumps({"strategy_pool_id": "strat_a", "strategy_signal_pool": "pool_a"})
    tracker.enqueue_submission(s, "signal", body_s, 2)
    tracker.enqueue_submission(t, "strategy", body_t, 2)
    assert counts(tracker) == (2, 0, 0, 0, 0, 2)

    # Equal priority and queue_id: either may come first. Its send fails and it is put back
    # ahead of the other.
    first = tracker.dequeue_submission()
    tracker.requeue_submission(first.eval_id, first.eval_type, first.payload_json, first.era_id)
    taken = [tracker.dequeue_submission() for _ in range(2)]
    assert [(i.eval_type, i.priority) for i in taken] == [
        (first.eval_type, 1), (({"signal", "strategy"} - {first.eval_type}).pop(), 0)]
    assert tracker.dequeue_submission() is None
    assert counts(tracker) == (0, 0, 0, 0, 0, 0)

    submissions = {}
    for item in taken:
        key = f"{item.eval_type}-{item.eval_id}-try1"
        attempt = tracker.record_submission_attempt_started(
            item.eval_id, item.eval_type, key, item.era_id, item.payload_json)
        assert tracker.record_submission_attempt_started(
            item.eval_id, item.eval_type, key, item.era_id, item.payload_json) == attempt
        submission_id = f"srv-{item.eval_type}"
        tracker.record_submission_once_and_mark_submitted(item.eval_id, item.eval_type,
                                                          submission_id, item.era_id)
        submissions[item.eval_type] = submission_id
    assert counts(tracker, 2) == (0, 2, 0, 0, 0, 2)
    assert read(data_dir, "SELECT submitted FROM signal_evaluations") == [(1,)]
    assert read(data_dir, "SELECT submitted FROM strategy_evaluations") == [(1,)]

    # Polling: the signal is validated, found useful and paid; the strategy is rejected.
    assert tracker.update_submission_status(submissions["signal"], "signal_is_validating",
                                            payment_usdc=1.5)
    assert tracker.update_submission_status(submissions["signal"], "signal_os_passed",
                                            is_stats_json='{"is": 1}')
    assert tracker.update_submission_status(submissions["signal"], "signal_useful",
                                            payment_json='{"usdc": 1.5}', useful_flag=True)
    assert not tracker.update_submission_status(submissions["signal"], "paid")
    assert tracker.update_submission_status(submissions["strategy"], "strategy_is_rejected",
                                            rejection_reason="correlated")
    assert [p.submission_id for p in tracker.get_pending_submissions()] == []
    signal = tracker.get_submission_for_sim(f"search-signal-{s}")
    assert (signal["status"], signal["payment_usdc"], signal["payment_json"],
            signal["is_stats_json"], signal["useful_flag"]) == (
        "signal_useful", 1.5, '{"usdc": 1.5}', '{"is": 1}', 1)
    assert counts(tracker, 2) == (0, 0, 1, 1, 0, 2)

    # The rejected strategy is retried until the limit of five.
    tracker.enqueue_retry(t, "strategy", body_t, 2, "correlated")
    while (item := tracker.dequeue_retryable()) is not None:
        tracker.increment_retry(item.retry_id, item.eval_id, item.eval_type, item.payload_json,
                                item.era_id, f"still rejected {item.retry_count}",
                                item.retry_count)
    assert read(data_dir, "SELECT retry_count, last_rejection_reason, strategy_pool_id FROM "
                "strategy_submission_retry") == [(5, "still rejected 4", "strat_a")]
    retry = tracker.get_retry_counts(2)
    assert (retry.retrying, retry.ready) == (1, 0)
    assert counts(tracker, 2) == (0, 0, 1, 1, 1, 3)
    assert tracker.clear_retry_queue(2) == 1
    assert counts(tracker) == (0, 0, 1, 1, 0, 2)
