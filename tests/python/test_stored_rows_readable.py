"""Readers hand back what is stored and never refuse a stored row: a value the tracker
accepted, or a row another writer of tracking.db left with NULLs or other kinds in its
columns, must not block a queue or a report for good."""

import pytest

from conftest import on_postgres, read, write
from plintrove.search_tracking import BacktestStats
from submission_helpers import SUBMISSION_TABLES, add_signal, payload

EVAL_TABLES = ["signal_evaluations", "strategy_evaluations"]
USAGE_TABLES = [f"{t}_{k}_usage" for t in ("signal", "strategy") for k in ("function", "feature")]


def every_reader(tracker):
    """Calls every read operation once; returns their results by name."""
    readers = {
        "dequeue_submission": tracker.dequeue_submission,
        "dequeue_retryable": tracker.dequeue_retryable,
        "get_pending_submissions": tracker.get_pending_submissions,
        "get_submission_for_sim": lambda: tracker.get_submission_for_sim("sim-x"),
        "get_submission_counts": tracker.get_submission_counts,
        "get_retry_counts": tracker.get_retry_counts,
        "get_evaluation_history": tracker.get_evaluation_history,
        "get_per_column_stats_batch": tracker.get_per_column_stats_batch,
        "get_evaluation_count": tracker.get_evaluation_count,
        "get_evaluation_velocity": tracker.get_evaluation_velocity,
        "get_signal_stats": tracker.get_signal_stats,
        "get_strategy_stats": tracker.get_strategy_stats,
        "get_available_eras": tracker.get_available_eras,
        "get_available_named_universes": tracker.get_available_named_universes,
        "get_available_universes": tracker.get_available_universes,
        "get_function_stats": tracker.get_function_stats,
        "get_feature_stats": tracker.get_feature_stats,
        "get_function_cooccurrence": tracker.get_function_cooccurrence,
        "get_rejection_summary": tracker.get_rejection_summary,
        "get_auto_metadata": lambda: tracker.get_auto_metadata(1),
        "get_db_info": tracker.get_db_info,
    }
    return {name: read_once() for name, read_once in readers.items()}


def odd_row(data_dir, table, fill):
    """A row whose every column but the key holds `fill` (a NOT NULL column none of
    them may hold keeps 0)."""
    if on_postgres(data_dir):
        catalogue = read(data_dir, "SELECT column_name, is_nullable = 'NO', is_identity = 'YES' "
                         "FROM information_schema.columns WHERE table_name = ? "
                         "ORDER BY ordinal_position", (table,))
        zero = "0"  # an untyped literal, taken by text and number columns alike
    else:
        catalogue = [(name, notnull, pk) for _, name, _, notnull, _, pk in
                     read(data_dir, f"PRAGMA table_info({table})")]
        zero = 0
    cols = [(name, notnull) for name, notnull, pk in catalogue if not pk]
    names = ", ".join(name for name, _ in cols)
    marks = ", ".join("?" for _ in cols)
    values = [zero if notnull and fill is None else fill for _, notnull in cols]
    return (f"INSERT INTO {table} ({names}) VALUES ({marks})", values)


# NULLs, and text where numbers belong (valid JSON text: the tracker writes no other kind
# to its JSON columns, and the history decodes them).
FILLS = {"nulls": None, "text": '"x"'}


@pytest.mark.parametrize("fill", FILLS.values(), ids=FILLS.keys())
def test_rows_of_any_shape_are_read_by_every_reader(tracker, data_dir, fill):
    if fill is not None and on_postgres(data_dir):
        pytest.skip("text in number columns: only SQLite's dynamic typing stores it")
    write(data_dir, *[odd_row(data_dir, t, fill) for t in
                      EVAL_TABLES + USAGE_TABLES + SUBMISSION_TABLES],
          # Ready, so that the retry reader meets the row.
          "UPDATE signal_submission_retry SET retry_count=0, retry_after=NULL")
    results = every_reader(tracker)
    item = results["dequeue_submission"]
    assert (item.queue_id, item.eval_type) == (1, "signal")
    assert (item.payload_json, item.era_id, item.created_at) == (fill, fill, fill)
    retry = results["dequeue_retryable"]
    assert (retry.eval_type, retry.payload_json, retry.last_rejection_reason, retry.era_id) == (
        "signal", fill, fill, fill)
    assert [(p.status_id, p.submission_id, p.era_id) for p in
            results["get_pending_submissions"]] == ([(1, None, None)] * 2 if fill is None else [])
    # Taking the odd items emptied the queue instead of blocking it.
    assert tracker.dequeue_submission().eval_type == "strategy"
    assert tracker.dequeue_submission() is None


def test_values_the_writers_accept_come_back_as_stored(tracker, storage):
    s = add_signal(tracker)
    tracker.requeue_submission(s, "signal", None, 1, signal_pool_id="pool_a")
    item = tracker.dequeue_submission()
    assert (item.eval_id, item.payload_json, item.era_id, item.priority) == (s, None, 1, 1)

    tracker.increment_retry(1, s, "signal", None, 1, None, 0, signal_pool_id="pool_a")
    retry = tracker.dequeue_retryable()
    assert (retry.payload_json, retry.last_rejection_reason, retry.retry_count) == (None, None, 1)

    # A real era stays real in SQLite; PostgreSQL's bigint column holds integers only.
    eras = [("sub-none", None)] + ([] if storage == "postgres" else [("sub-real", 1.5)])
    for sub, era in eras:
        tracker.record_submission(s, "signal", sub, era, sim_id=f"sim-{sub}")
    assert [(p.submission_id, p.era_id) for p in tracker.get_pending_submissions()] == eras
    if storage == "sqlite":
        assert tracker.get_submission_for_sim("sim-sub-real")["era_id"] == 1.5
