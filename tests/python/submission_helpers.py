"""Shared set-up of the submission tests: evaluation rows to submit, and counts of the
submission tables read back with Python's sqlite3."""

import json

from conftest import read
from plintrove.search_tracking import BacktestStats

GRAPH = {"type": "feature", "node": "close"}
SUBMISSION_TABLES = [f"{t}_submission_{k}" for k in ("queue", "attempts", "status", "retry")
                     for t in ("signal", "strategy")]


def add_signal(tracker, pool="pool_a", era_id=1):
    return tracker.record_signal_evaluation(
        graph=GRAPH, stats=BacktestStats(), era_id=era_id, passed_thresholds=True,
        named_universe="US_TOP_500", metaparameters={pool: {"lookback": 20}},
        signal_pool_id=pool)


def add_strategy(tracker, pool="strat_a", signal_pool="pool_a", era_id=1):
    """A bare strategy evaluation row: the submission path reads only its pools and flag."""
    cursor = tracker._conn.execute(
        "INSERT INTO strategy_evaluations (era_id, strategy_pool_id, strategy_signal_pool) "
        "VALUES (?, ?, ?)", (era_id, pool, signal_pool))
    tracker._conn.commit()
    return cursor.lastrowid


def payload(**members):
    return json.dumps(members)


def table_counts(data_dir):
    return {t: read(data_dir, f"SELECT COUNT(*) FROM {t}")[0][0] for t in SUBMISSION_TABLES}
