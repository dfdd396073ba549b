"""A public call that fails leaves the connection's transaction state as it found it and
the store's rows as they were: nothing of its own is written and no transaction it opened
stays behind for the next commit (which, on a connection shared with the writer, would
also break the writer's next batch). A transaction the caller opened stays open.

The one documented exception: both submission recordings write the sims parent before
the pool checks, and record_submission (or the once-only recording inside a caller's
transaction) leaves it pending when they fail (test_submission_attempts shows that case), so
their pool is not varied here."""

import itertools
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as hs

from plintrove.search_tracking import BacktestStats
from submission_helpers import SUBMISSION_TABLES, add_signal

TABLES = ["signal_evaluations", "signal_function_usage", "signal_feature_usage",
          "strategy_evaluations", "sims", "sqlite_sequence"] + SUBMISSION_TABLES
META = {"pool_a": {"lookback": 20}}
CALLER_ROW_IDS = itertools.count()  # a successful call commits the caller's row as well
GRAPH = {"type": "rotation", "node": "rank", "children": [{"type": "feature", "node": "close"}]}

HOSTILE = hs.one_of(
    hs.none(), hs.booleans(), hs.integers(min_value=-2**70, max_value=2**70),
    hs.sampled_from([0, -1, 2**63 - 1, 2**63, math.nan, math.inf, "", "\ud800", "x'y"]),
    hs.floats(), hs.text(max_size=4), hs.lists(hs.integers(), max_size=2),
    hs.dictionaries(hs.text(max_size=2), hs.integers(), max_size=2), hs.builds(object))


def baseline_calls(s):
    """For each write, arguments that succeed (given the seeded store)."""
    pool = {"signal_pool_id": "pool_a"}
    return {
        "enqueue_submission": dict(eval_id=s, eval_type="signal", payload_json="{}", era_id=1,
                                   **pool),
        "requeue_submission": dict(eval_id=s, eval_type="signal", payload_json="{}", era_id=1,
                                   **pool),
        "enqueue_retry": dict(eval_id=s, eval_type="signal", payload_json="{}", era_id=1,
                              rejection_reason="r", retry_after=None, **pool),
        "increment_retry": dict(retry_id=1, eval_id=s, eval_type="signal", payload_json="{}",
                                era_id=1, rejection_reason="r", retry_count=0, retry_after=None,
                                **pool),
        "record_submission": dict(eval_id=s, eval_type="signal", submission_id="sub-x",
                                  era_id=1, sim_id=None, initial_status="pending", **pool),
        "record_submission_once_and_mark_submitted": dict(
            eval_id=s, eval_type="signal", submission_id="sub-y", era_id=1, sim_id="sim-y",
            initial_status="pending", **pool),
        "record_submission_attempt_started": dict(eval_id=s, eval_type="signal",
                                                  idempotency_key="k", era_id=1,
                                                  payload_json="{}", **pool),
        "update_submission_status": dict(submission_id="sub-1", status="pending",
                                         is_stats_json=None, payment_json=None,
                                         rejection_reason=None, payment_usdc=None,
                                         useful_flag=None, agent_is_correlation=None,
                                         is_correlation=None, failure_reason=None,
                                         failure_detail=None),
        "update_eval_server_metrics": dict(eval_id=s, eval_type="signal",
                                           agent_is_correlation=None, is_correlation=None,
                                           is_pnl_mi=None, failure_reason=None,
                                           failure_detail=None),
        "mark_submitted": dict(eval_id=s, eval_type="signal"),
        "record_signal_evaluation": dict(graph=GRAPH, stats=BacktestStats(), era_id=1,
                                         passed_thresholds=False, named_universe="US",
                                         metaparameters=META, rejection_reason=None,
                                         is_correlation=None, failure_reason=None, **pool),
        "clear_retry_queue": dict(era_id=None),
    }


def snapshot(tracker):
    """Every row as this connection sees it, uncommitted work included. PostgreSQL's key
    sequences are not transactional (a rolled-back insert still uses its key up): only
    SQLite's counters are part of the trace."""
    postgres = getattr(tracker._conn, "dialect", None) == "postgres"
    return {t: sorted(tracker._conn.execute(f"SELECT * FROM {t}").fetchall(), key=repr)
            for t in TABLES if not (postgres and t == "sqlite_sequence")}


@pytest.fixture(name="seeded")
def seeded_fixture(tracker):
    s = add_signal(tracker)
    tracker.record_submission(s, "signal", "sub-1", 1)
    tracker.enqueue_retry(s, "signal", "{}", 1, "r", signal_pool_id="pool_a")
    return tracker, baseline_calls(s)


@settings(max_examples=300, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=hs.data(), caller_transaction=hs.booleans())
def test_a_failed_call_leaves_no_trace(seeded, storage, data, caller_transaction):
    tracker, calls = seeded
    name = data.draw(hs.sampled_from(sorted(calls)), label="operation")
    kwargs = dict(calls[name])
    varied = sorted(k for k in kwargs
                    if not (name.startswith("record_submission") and k == "signal_pool_id"))
    for key in data.draw(hs.sets(hs.sampled_from(varied), min_size=1, max_size=2),
                         label="replaced"):
        kwargs[key] = data.draw(HOSTILE, label=key)
    try:
        if caller_transaction:
            tracker._conn.execute("INSERT INTO sims (id) VALUES (?)",
                                  (f"caller-{next(CALLER_ROW_IDS)}",))
        before = snapshot(tracker)
        try:
            getattr(tracker, name)(**kwargs)
        except Exception:  # noqa: BLE001 - any refusal will do; what it leaves is the point
            assert tracker._conn.in_transaction is caller_transaction
            assert snapshot(tracker) == before
    finally:
        # The examples share one store: a failing one must not hand its transaction to the
        # next, or they all fail on it and the example reported is not the one at fault.
        if tracker._conn.in_transaction:
            tracker._conn.rollback()


def test_a_call_refused_by_the_database_keeps_the_callers_transaction(seeded):
    """A refusal that only the database makes (NaN binds as NULL, which the sims row's id
    may not be) ends the caller's transaction on no storage: on SQLite the statement
    undoes itself; on PostgreSQL, whose refusal aborts the whole transaction, the call
    rolls back to where it began."""
    tracker, calls = seeded
    tracker._conn.execute("INSERT INTO sims (id) VALUES (?)", ("caller-own",))
    before = snapshot(tracker)
    with pytest.raises(Exception, match="(?i)not[ -]null"):
        tracker.record_submission(**dict(calls["record_submission"], sim_id=math.nan))
    assert tracker._conn.in_transaction
    assert snapshot(tracker) == before
    tracker._conn.commit()
    assert tracker._conn.execute("SELECT id FROM sims WHERE id = ?",
                                 ("caller-own",)).fetchall() == [("caller-own",)]
