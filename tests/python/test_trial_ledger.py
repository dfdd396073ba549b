"""The trial ledger: every recorded evaluation counts once in its scope, in the same
transaction, whichever way it was recorded, and nothing that deletes evaluations lowers it."""

import json
import math
import os
import queue as queue_module
import sqlite3
import statistics
import threading
import time

import pytest

from conftest import read, write
from plintrove.search_tracking import BacktestStats, SearchTracker, WriterThread

GRAPH = {"type": "rotation", "node": "rank", "children": [{"type": "feature", "node": "close"}]}
LEDGER_COLUMNS = ("era_id, pool_id, named_universe, source, trials, errored_trials, "
                  "nonfinite_trials, sharpe_count, sharpe_mean, sharpe_m2, sharpe_max, "
                  "best_eval_id, rebuilt")
# (sharpe, failure_reason, era, universe): errored rows carry a Sharpe that must not count.
TRIALS = [(1.5, None, 1, "U1"), (-0.5, None, 1, "U1"), (float("nan"), None, 1, "U1"),
          (9.0, "timeout", 1, "U1"), (float("inf"), None, 1, "U1"), (2.5, None, 1, "U1"),
          (float("-inf"), None, 1, "U1"), (0.25, None, 2, "U1"), (0.75, None, 1, "U2")]


class Status:
    error_code = recovery_advice = None
    running = True
    errors = []


def ledger(data_dir, kind="signal"):
    rows = read(data_dir, f"SELECT {LEDGER_COLUMNS} FROM {kind}_trial_ledger "
                          "ORDER BY era_id, named_universe")
    return [dict(zip([c.strip() for c in LEDGER_COLUMNS.split(",")], r)) for r in rows]


def record(tracker, sharpe, failure_reason=None, era=1, universe="U1", graph=GRAPH, **kw):
    return tracker.record_signal_evaluation(
        graph=graph, stats=BacktestStats(sharpe=sharpe, **kw), era_id=era,
        passed_thresholds=failure_reason is None, named_universe=universe,
        metaparameters={"pool_a": {"k": 1}}, signal_pool_id="pool_a",
        rejection_reason=None if failure_reason is None else "failed",
        failure_reason=failure_reason)


def writer_item(sharpe, failure_reason=None, era=1, universe="U1"):
    item = {"type": "signal", "graph": GRAPH, "stats": BacktestStats(sharpe=sharpe),
            "era_id": era, "named_universe": universe, "metaparameters": {"pool_a": {"k": 1}},
            "signal_pool_id": "pool_a", "source": "search"}
    if failure_reason is not None:
        item["failure_reason"] = failure_reason
    return item


def assert_ledgers_equal(got, expected):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert {k: v for k, v in g.items() if k not in ("sharpe_mean", "sharpe_m2")} == \
            {k: v for k, v in e.items() if k not in ("sharpe_mean", "sharpe_m2")}
        assert g["sharpe_mean"] == pytest.approx(e["sharpe_mean"], rel=1e-12, abs=1e-12)
        assert g["sharpe_m2"] == pytest.approx(e["sharpe_m2"], rel=1e-12, abs=1e-12)


def test_direct_recording_counts_each_kind_of_trial(tracker, data_dir):
    ids = [record(tracker, s, f, era, u) for s, f, era, u in TRIALS]
    row = ledger(data_dir)[0]
    finite = [s for s, f, era, u in TRIALS[:7] if f is None and math.isfinite(s)]
    assert row["trials"] == 7 and row["errored_trials"] == 1 and row["nonfinite_trials"] == 3
    assert row["sharpe_count"] == len(finite) == 3
    assert row["sharpe_mean"] == pytest.approx(statistics.mean(finite))
    assert row["sharpe_m2"] / (len(finite) - 1) == pytest.approx(statistics.variance(finite))
    # The errored trial's 9.0 is not the maximum.
    assert (row["sharpe_max"], row["best_eval_id"]) == (2.5, ids[5])
    assert [(r["era_id"], r["named_universe"], r["trials"]) for r in ledger(data_dir)] == \
        [(1, "U1", 7), (1, "U2", 1), (2, "U1", 1)]
    assert ledger(data_dir, "strategy") == []


def test_writer_batch_merges_to_the_same_ledger_as_one_by_one_recording(tmp_path, identity):
    direct_dir, batch_dir = tmp_path / "direct", tmp_path / "batch"
    direct_dir.mkdir(), batch_dir.mkdir()
    direct = SearchTracker(str(direct_dir), identity)
    for s, f, era, u in TRIALS + TRIALS[:4]:
        record(direct, s, f, era, u)
    direct.close()

    batched = SearchTracker(str(batch_dir), identity)
    writer = WriterThread(batched, queue_module.Queue(), Status(), lambda: None)
    # Two batches: the second merges into rows the first created.
    writer._do_write([writer_item(s, f, era, u) for s, f, era, u in TRIALS])
    writer._do_write([writer_item(s, f, era, u) for s, f, era, u in TRIALS[:4]])
    batched.close()
    assert_ledgers_equal(ledger(str(batch_dir)), ledger(str(direct_dir)))


def test_failed_batch_or_insert_leaves_the_ledger_untouched(tracker, data_dir):
    record(tracker, 1.0)
    before = ledger(data_dir)
    writer = WriterThread(tracker, queue_module.Queue(), Status(), lambda: None)
    with pytest.raises(ValueError):
        writer._do_write([writer_item(2.0), writer_item(3.0) | {"signal_pool_id": ""}])
    assert ledger(data_dir) == before


def stored_rows(data_dir):
    """Rows present per (era, universe), NULL universes keyed as the ledger keys them."""
    counts = {}
    for era, universe, n in read(data_dir, "SELECT era_id, named_universe, COUNT(*) FROM "
                                           "signal_evaluations GROUP BY era_id, named_universe"):
        counts[era, universe or ""] = counts.get((era, universe or ""), 0) + n
    return counts


def test_deletions_and_era_transitions_never_lower_the_ledger(tracker, data_dir):
    writer = WriterThread(tracker, queue_module.Queue(), Status(), lambda: None)
    for era in (1, 2, 3):
        for s, f, _, u in TRIALS:
            record(tracker, s, f, era, u)
        # A universe left out (NULL) and an empty one are one scope of the ledger.
        writer._do_write([writer_item(0.1, era=era, universe=None),
                          writer_item(0.2, era=era, universe="")])
    before = ledger(data_dir)
    for prune in (tracker.delete_failed_evaluations,
                  lambda: tracker.delete_evaluations(keep_last=14),
                  lambda: tracker.handle_era_transition(3, previous_era_id=2),
                  lambda: tracker.handle_era_transition(4),
                  tracker.delete_evaluations):
        prune()
        assert ledger(data_dir) == before
        # What each deletion removed is counted per scope, so the rows left are known
        # without reading them.
        stored = stored_rows(data_dir)
        assert {(e.era_id, e.named_universe): (e.rows_present, e.rows_pruned)
                for e in tracker.get_trial_ledger()} == \
            {(r["era_id"], r["named_universe"]):
             (stored.get((r["era_id"], r["named_universe"]), 0),
              r["trials"] - stored.get((r["era_id"], r["named_universe"]), 0)) for r in before}
    assert read(data_dir, "SELECT COUNT(*) FROM signal_evaluations") == [(0,)]


def test_custom_stats_are_kept_as_json(tracker, data_dir):
    with_stats = record(tracker, 1.0, custom_stats={"n_obs": 1260, "skew": -0.5})
    without = record(tracker, 1.0)
    assert read(data_dir, "SELECT eval_id, custom_stats_json FROM signal_evaluations "
                          "ORDER BY eval_id") == \
        [(with_stats, json.dumps({"n_obs": 1260, "skew": -0.5})), (without, None)]


def test_first_creation_on_an_existing_store_rebuilds_from_the_rows_present(tmp_path, identity):
    reference_dir, old_dir = tmp_path / "reference", tmp_path / "old"
    reference_dir.mkdir(), old_dir.mkdir()
    for path in (reference_dir, old_dir):
        t = SearchTracker(str(path), identity)
        for s, f, era, u in TRIALS:
            record(t, s, f, era, u)
        t.close()
    # A store from before the ledger: no ledger tables, no custom-statistics column.
    write(str(old_dir), "DROP TABLE signal_trial_ledger", "DROP TABLE strategy_trial_ledger",
          "ALTER TABLE signal_evaluations DROP COLUMN custom_stats_json")
    SearchTracker(str(old_dir), identity).close()
    rebuilt = ledger(str(old_dir))
    assert {r["rebuilt"] for r in rebuilt} == {1}
    # NaN is stored as NULL and counts as non-finite exactly as it did when recorded.
    assert_ledgers_equal([r | {"rebuilt": 0} for r in rebuilt], ledger(str(reference_dir)))
    assert "custom_stats_json" in {r[1] for r in read(str(old_dir),
                                                      "PRAGMA table_info(signal_evaluations)")}
    # Reopening does not rebuild again.
    t = SearchTracker(str(old_dir), identity)
    record(t, 4.0, era=9)
    t.close()
    assert [r["rebuilt"] for r in ledger(str(old_dir))] == [1, 1, 1, 0]


def pruning_view(tracker):
    return [(e.era_id, e.named_universe, e.errored_trials, e.rows_present, e.rows_pruned)
            for e in tracker.get_trial_ledger()]


def test_a_store_older_than_the_pruning_counts_learns_them_once(data_dir, identity):
    t = SearchTracker(data_dir, identity)
    for s, f, era, u in TRIALS:
        record(t, s, f, era, u)
    t.delete_evaluations(keep_last=4)
    record(t, 9.0, "timeout")
    expected = pruning_view(t)
    assert [e[4] for e in expected] == [5, 0, 0]
    t.close()
    # Last written before the pruning counts and the errored-trial mark, and read as it is:
    # the counts come from the rows present, errors from failure reasons alone.
    write(data_dir, "DROP TABLE signal_trial_pruning", "DROP TABLE strategy_trial_pruning",
          *(f"ALTER TABLE {kind}_evaluations DROP COLUMN trial_errored"
            for kind in ("signal", "strategy")))
    reader = SearchTracker(data_dir, read_only=True)
    assert pruning_view(reader) == expected
    assert 9.0 not in [c.sharpe for c in reader.get_multiple_testing_summary()]
    reader.close()
    # Opened for writing, it learns them once: trials less the rows present.
    t = SearchTracker(data_dir, identity)
    assert pruning_view(t) == expected
    t.close()
    assert read(data_dir, "SELECT era_id, named_universe, rows_pruned FROM "
                          "signal_trial_pruning") == [(1, "U1", 5)]
    # A ledger rebuilt from the rows present knows of no pruning before it.
    write(data_dir, *(f"DROP TABLE {kind}_trial_{table}" for kind in ("signal", "strategy")
                      for table in ("ledger", "pruning")))
    t = SearchTracker(data_dir, identity)
    assert [(e.era_id, e.named_universe, e.trials, e.rows_present, e.rows_pruned, e.rebuilt)
            for e in t.get_trial_ledger()] == [(1, "U1", 3, 3, 0, True), (1, "U2", 1, 1, 0, True),
                                                (2, "U1", 1, 1, 0, True)]
    t.close()


@pytest.mark.sqlite_only
def test_a_second_opener_of_an_old_store_does_not_count_the_pruned_rows_again(data_dir,
                                                                             identity):
    t = SearchTracker(data_dir, identity)
    for s, f, era, u in TRIALS:
        record(t, s, f, era, u)
    t.delete_evaluations(keep_last=4)
    t.close()
    table = "signal_trial_pruning"
    ddl = read(data_dir, "SELECT sql FROM sqlite_master WHERE name = ?", (table,))[0][0]
    counts = read(data_dir, f"SELECT * FROM {table}")
    write(data_dir, f"DROP TABLE {table}")
    # Another process opening the store is learning the counts: the table is made and
    # filled in its transaction, not yet committed, when this one opens the store.
    other = sqlite3.connect(os.path.join(data_dir, "tracking.db"), isolation_level=None)
    other.execute("BEGIN IMMEDIATE")
    other.execute(ddl)
    other.executemany(f"INSERT INTO {table} VALUES (?, ?, ?, ?, ?)", counts)
    opened = []
    opener = threading.Thread(target=lambda: opened.append(SearchTracker(data_dir, identity)))
    opener.start()
    time.sleep(0.3)
    other.execute("COMMIT")
    other.close()
    opener.join(10)
    opened[0].close()
    assert read(data_dir, f"SELECT * FROM {table}") == counts


@pytest.mark.postgres_only
def test_rows_another_session_deletes_meanwhile_are_counted_once(tracker, data_dir):
    import psycopg2

    # Rows without usage rows: no usage-row lock orders the two deletions.
    for _ in range(5):
        record(tracker, 1.0, graph={"type": "constant", "node": "c"})
    record(tracker, 1.0, era=2)
    # Another host is deleting the era-1 rows and counting them, not yet committed, when
    # this tracker's era transition deletes the same rows.
    other = psycopg2.connect(os.environ["PLINTROVE_DB_URL"])
    cursor = other.cursor()
    cursor.execute("DELETE FROM signal_evaluations WHERE era_id = 1")
    cursor.execute("INSERT INTO signal_trial_pruning SELECT era_id, pool_id, named_universe, "
                   "source, 5 FROM signal_trial_ledger WHERE era_id = 1")
    transition = threading.Thread(target=tracker.handle_era_transition, args=(2,))
    transition.start()
    time.sleep(0.3)
    other.commit()
    other.close()
    transition.join(10)
    assert not transition.is_alive()
    assert [(e.era_id, e.rows_present, e.rows_pruned) for e in tracker.get_trial_ledger()] == \
        [(1, 0, 5), (2, 1, 0)]


def test_writer_keeps_custom_stats_and_leaves_out_what_json_cannot_hold(tracker, data_dir):
    writer = WriterThread(tracker, queue_module.Queue(), Status(), lambda: None)
    kept, dropped = writer_item(1.0), writer_item(2.0)
    kept["stats"] = BacktestStats(sharpe=1.0, custom_stats={"n_obs": 252, "skew": -0.1})
    dropped["stats"] = BacktestStats(sharpe=2.0, custom_stats={"n_obs": object()})
    writer._do_write([kept, dropped])
    assert read(data_dir, "SELECT sharpe, custom_stats_json FROM signal_evaluations "
                          "ORDER BY eval_id") == \
        [(1.0, json.dumps({"n_obs": 252, "skew": -0.1})), (2.0, None)]
