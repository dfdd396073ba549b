"""WriterThread: items put by worker processes are written in batches, and every way a
batch can fail leaves the status, the callback and the database in the stated shape."""

import fcntl
import json
import logging
import multiprocessing
import queue as queue_module
import sqlite3
import subprocess
import threading
import time

import pytest

from conftest import Recorder, read as rows
from plintrove.search_tracking import (BacktestStats, CrossPoolReferenceError, SearchTracker,
                                       WriterThread)

# Workers are forked: they need nothing but the test module and the extension.
MP = multiprocessing.get_context("fork")

GRAPH = {
    "type": "rotation",
    "node": "rank",
    "children": [{"type": "feature", "node": "close"}, {"type": "feature", "node": "volume"}],
}
META = {"pool_a": {"lookback": 20}}
WRITE_FAILED_ADVICE = "Check database file permissions and disk space."
DISK_FULL_ADVICE = "Free disk space or run delete_evaluations() to remove old data."


def signal_item(i=0, **overrides):
    item = {
        "type": "signal",
        "graph": GRAPH,
        "stats": BacktestStats(sharpe=float(i), returns=0.1, turnover=0.2, drawdown=0.3,
                               delta_exposure=0.4, max_weight=0.5, quality_score=0.6,
                               correlation=0.7, liquidity_metrics={"adv": 1e6}),
        "era_id": 2,
        "passed_thresholds": False,
        "named_universe": "US_TOP_500",
        "metaparameters": META,
        "function_families": {"rank": ["fam_x", "sub_y"]},
        "feature_families": {"close": ["price", "raw"]},
        "per_column_stats": {"c": [1.0, None]},
        "rejection_reason": "low_sharpe",
        "source": "simulate",
        "expression_elapsed_seconds": 0.25,
        "signal_pool_id": "pool_a",
    }
    item.update(overrides)
    return item


def strategy_item(**overrides):
    item = {"type": "strategy", "graph": GRAPH, "stats": BacktestStats(),
            "strategy_pool_id": "strat_pool", "strategy_signal_pool": "pool_a"}
    item.update(overrides)
    return item


# ---- worker processes -------------------------------------------------------------------

def put_items(q, items, pause=0.0):
    for item in items:
        q.put(item)
        if pause:
            time.sleep(pause)


def put_signals(q, count, first=0, pause=0.0):
    put_items(q, [signal_item(i) for i in range(first, first + count)], pause)


def put_then_signal_then_put_late(q, ready, late_after):
    q.put(signal_item(1))
    ready.set()
    time.sleep(late_after)
    q.put(signal_item(2))


def start_worker(target, *args):
    proc = MP.Process(target=target, args=args)
    proc.start()
    return proc


# ---- host objects and helpers -----------------------------------------------------------

class Status:
    def __init__(self):
        self.error_code = None
        self.recovery_advice = None
        self.running = True
        self.errors = []


class StopWorkers:
    def __init__(self, on_call=None):
        self.calls = 0
        self.on_call = on_call

    def __call__(self):
        self.calls += 1
        if self.on_call:
            self.on_call(self.calls)


def make_writer(tracker, q, on_stop=None):
    status, stop_workers = Status(), StopWorkers(on_stop)
    return WriterThread(tracker, q, status, stop_workers), status, stop_workers


def count(data_dir, table="signal_evaluations"):
    return rows(data_dir, f"SELECT COUNT(*) FROM {table}")[0][0]


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def timed_stop(writer):
    started = time.monotonic()
    writer.stop()
    return time.monotonic() - started


def assert_untouched(status, stop_workers):
    assert (status.error_code, status.recovery_advice, status.running, status.errors) == (
        None, None, True, [])
    assert stop_workers.calls == 0


def assert_complete_evaluations(data_dir):
    """Every stored evaluation has all its usage rows: no batch was stored in part."""
    n = count(data_dir)
    assert count(data_dir, "signal_function_usage") == n
    assert count(data_dir, "signal_feature_usage") == 2 * n
    return n


# ---- writing ----------------------------------------------------------------------------

def test_worker_items_are_written_with_their_columns_and_usage_rows(tracker, data_dir, identity):
    q = MP.Queue()
    writer, status, stop_workers = make_writer(tracker, q)
    assert writer._thread is None
    before = time.time()
    writer.start()
    workers = [start_worker(put_signals, q, 60, first) for first in (0, 60)]
    for w in workers:
        w.join(10)
    assert timed_stop(writer) < 1.0
    after = time.time()
    assert not writer._thread.is_alive()
    with pytest.raises(RuntimeError):
        writer.start()  # one object runs once

    assert sorted(r[0] for r in rows(data_dir, "SELECT sharpe FROM signal_evaluations")) == [
        float(i) for i in range(120)]
    assert assert_complete_evaluations(data_dir) == 120
    cols = ("timestamp, era_id, graph_json, tree_depth, rotation_families_json, "
            "passed_thresholds, sharpe, returns, turnover, drawdown, delta_exposure, "
            "max_weight, quality_score, agent_is_correlation, per_column_stats_json, "
            "rejection_reason, named_universe, metaparameters, submitted, "
            "liquidity_metrics_json, signal_pool_id, source, expression_elapsed_seconds, "
            "is_correlation, is_pnl_mi, agent_is_pnl_mi, failure_reason, failure_detail, "
            "instance_id, author_id, eval_id")
    (row,) = rows(data_dir, f"SELECT {cols} FROM signal_evaluations WHERE sharpe = 7.0")
    assert before <= row[0] <= after
    assert row[1:-1] == (
        2, json.dumps(GRAPH), 2, '["fam_x"]', 0, 7.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7,
        '{"c": [1.0, null]}', "low_sharpe", "US_TOP_500", '{"pool_a": {"lookback": 20}}', 0,
        '{"adv": 1000000.0}', "pool_a", "simulate", 0.25, None, None, None, None, None,
        identity.instance_id, identity.author_id)
    assert rows(data_dir, "SELECT function_name, rotation_family, function_family, "
                "function_subfamily FROM signal_function_usage WHERE eval_id=?",
                (row[-1],)) == [("rank", "fam_x", "fam_x", "sub_y")]
    assert rows(data_dir, "SELECT feature_name, feature_family, feature_subfamily FROM "
                "signal_feature_usage WHERE eval_id=? ORDER BY rowid", (row[-1],)) == [
        ("close", "price", "raw"), ("volume", None, None)]
    assert_untouched(status, stop_workers)


def test_item_defaults_missing_type_and_missing_references(tracker, data_dir):
    # Only the entries of the graph's own names are read: another entry that could not be
    # stored as JSON does not fail the item.
    bare = {"graph": {"type": "feature", "node": "close"},
            "stats": BacktestStats(liquidity_metrics=None), "signal_pool_id": "pool_a",
            "feature_families": {"close": ("price", "raw"), "elsewhere": object()}}
    q = MP.Queue()
    writer, status, stop_workers = make_writer(tracker, q)
    writer.start()
    start_worker(put_items, q, [
        bare,
        dict(bare, type="other", stats=BacktestStats()),
        strategy_item(),
        strategy_item(referenced_signal_ids=[], metaparameters={}),
    ]).join(10)
    writer.stop()

    assert rows(data_dir, "SELECT era_id, tree_depth, rotation_families_json, passed_thresholds, "
                "per_column_stats_json, rejection_reason, named_universe, metaparameters, "
                "liquidity_metrics_json, source, expression_elapsed_seconds, signal_pool_id "
                "FROM signal_evaluations ORDER BY eval_id") == [
        (1, 1, "[]", 1, None, None, "", "{}", None, "search", None, "pool_a"),
        (1, 1, "[]", 1, None, None, "", "{}", "{}", "search", None, "pool_a"),
    ]
    assert rows(data_dir, "SELECT referenced_signal_ids_json, strategy_pool_id, "
                "strategy_signal_pool, metaparameters FROM strategy_evaluations") == [
        ("[]", "strat_pool", "pool_a", "{}")] * 2
    assert count(data_dir, "strategy_function_usage") == 2
    assert rows(data_dir, "SELECT feature_name, feature_family, feature_subfamily FROM "
                "signal_feature_usage ORDER BY rowid") == [("close", "price", "raw")] * 2
    assert_untouched(status, stop_workers)


def test_identity_is_read_again_for_every_batch(tracker, data_dir, identity):
    writer, _, _ = make_writer(tracker, queue_module.Queue())
    writer._do_write([signal_item(1)])
    identity.author_id = "author-2"
    writer._do_write([signal_item(2), signal_item(3)])
    assert rows(data_dir, "SELECT sharpe, instance_id, author_id FROM signal_evaluations "
                "ORDER BY eval_id") == [(1.0, "instance-1", "author-1"),
                                        (2.0, "instance-1", "author-2"),
                                        (3.0, "instance-1", "author-2")]


def test_ready_items_are_one_transaction_not_capped_at_the_batch_size(tracker, data_dir):
    q = MP.Queue()
    # A pipe large enough to hold all 250 items, so that they are ready at one drain.
    fcntl.fcntl(q._reader.fileno(), fcntl.F_SETPIPE_SZ, 1 << 20)
    worker = start_worker(put_signals, q, 250)
    worker.join(10)
    assert worker.exitcode == 0
    seen = Recorder(tracker)
    writer, status, stop_workers = make_writer(tracker, q)
    writer.start()
    assert wait_for(lambda: count(data_dir) == 250, 1.5)  # written without the 2 s interval
    writer.stop()
    assert seen.sql().count("BEGIN") == 1 and seen.sql().count("COMMIT") == 1
    assert assert_complete_evaluations(data_dir) == 250
    assert_untouched(status, stop_workers)


def test_single_item_waits_for_the_flush_interval_or_shutdown(tracker, data_dir):
    q = MP.Queue()
    writer, status, stop_workers = make_writer(tracker, q)
    started = time.monotonic()
    writer.start()
    start_worker(put_signals, q, 1).join(10)
    time.sleep(max(0.0, started + 1.2 - time.monotonic()))
    assert count(data_dir) == 0
    assert wait_for(lambda: count(data_dir) == 1, 3)
    assert 1.9 <= time.monotonic() - started <= 3.5

    start_worker(put_signals, q, 1, 1).join(10)
    time.sleep(0.3)
    assert count(data_dir) == 1
    assert timed_stop(writer) < 1.0
    assert count(data_dir) == 2
    assert_untouched(status, stop_workers)


class ArrivingQueue(queue_module.Queue):
    """An in-process queue whose blocking get first receives the next of `arrivals`, as an
    item a producer puts while the writer waits; it records each blocking get's time-out."""

    def __init__(self, arrivals=()):
        super().__init__()
        self.arrivals = list(arrivals)
        self.timeouts = []

    def get(self, block=True, timeout=None):
        if not block:  # get_nowait
            return super().get(block, timeout)
        self.timeouts.append(timeout)
        if self.arrivals:
            self.put(self.arrivals.pop(0))
        return super().get(block, timeout)


def test_item_arriving_while_the_writer_waits_joins_the_batch_at_once(tracker, data_dir):
    q = ArrivingQueue([signal_item(99)])
    for i in range(99):
        q.put(signal_item(i))
    seen = Recorder(tracker)
    writer, status, stop_workers = make_writer(tracker, q)
    writer.start()
    # The 100th item is taken by the wait that follows the first drain: the batch is full
    # before the flush interval, so all 100 are one transaction and stop() has nothing left.
    assert wait_for(lambda: count(data_dir) == 100, 5)
    # Idle, it keeps waiting on the queue: let it wait once more before stopping it.
    assert wait_for(lambda: q.timeouts.count(0.1) >= 2, 5)
    writer.stop()
    assert seen.sql().count("BEGIN") == 1
    assert sorted(r[0] for r in rows(data_dir, "SELECT sharpe FROM signal_evaluations")) == [
        float(i) for i in range(100)]
    # Its waits are never longer than the poll, so a stop is seen within one; the final
    # drain's gets come last.
    running = [t for t in q.timeouts if t != 0.02]
    assert len(running) >= 2 and set(running) == {0.1}
    assert q.timeouts[len(running):] and set(q.timeouts[len(running):]) == {0.02}
    assert not writer._thread.is_alive()
    assert_untouched(status, stop_workers)


def test_queue_is_read_while_a_batch_is_written(tracker, data_dir):
    q = queue_module.Queue()
    put_items(q, [signal_item(i) for i in range(100)])
    left_when_committing = []
    real = tracker._conn.execute

    def execute(sql, params=()):
        if sql == "COMMIT" and not left_when_committing:
            # More items arrive while the first batch is being written: they are taken
            # off the queue before that batch ends, not after.
            put_items(q, [signal_item(i) for i in range(100, 200)])
            wait_for(q.empty, 5)
            left_when_committing.append(q.qsize())
        return real(sql, params)

    tracker._conn.execute = execute
    writer, status, stop_workers = make_writer(tracker, q)
    writer.start()
    assert wait_for(lambda: count(data_dir) == 200, 10)
    writer.stop()
    assert left_when_committing == [0]
    assert [r[0] for r in rows(data_dir, "SELECT sharpe FROM signal_evaluations "
                               "ORDER BY eval_id")] == [float(i) for i in range(200)]
    assert_untouched(status, stop_workers)


def test_stop_mid_stream_writes_every_item_taken_in_queue_order(tracker, data_dir):
    """Items read ahead of the writer when it is stopped are written, not dropped; the
    rest stay on the queue."""

    class SlowQueue(queue_module.Queue):
        def get_nowait(self):  # unpickling a large item, say: reading lags behind
            for _ in range(3000):
                pass
            return super().get_nowait()

    q = SlowQueue()
    burst, writer_done = 300, threading.Event()
    put = []

    def feed():
        # Until the writer has ended, and one burst after, so that items are always left
        # however long the writer takes to notice the stop on a loaded machine.
        while len(put) < 200 * burst:
            ended = writer_done.is_set()
            put_signals(q, burst, len(put))
            put.extend(range(len(put), len(put) + burst))
            if ended:
                return
            time.sleep(0.03)

    writer, status, stop_workers = make_writer(tracker, q)
    writer.start()
    feeder = threading.Thread(target=feed)
    feeder.start()
    time.sleep(0.4)
    writer.stop()
    writer._thread.join(10)
    writer_done.set()
    feeder.join()
    written = [r[0] for r in rows(data_dir, "SELECT sharpe FROM signal_evaluations "
                                  "ORDER BY eval_id")]
    left = []
    while not q.empty():
        left.append(q.get(block=False)["stats"].sharpe)
    assert written and left
    assert written + left == [float(i) for i in put]
    assert_untouched(status, stop_workers)


def test_drain_beside_the_running_writer_shares_the_items(tracker, data_dir):
    """A host thread draining the queue of a running writer takes items the writer then
    never writes; each item ends up in exactly one of the two."""
    q = queue_module.Queue()
    n = 3000
    put_signals(q, n)
    writer, status, stop_workers = make_writer(tracker, q)
    writer.start()
    drained = []
    while not q.empty():
        drained += [item["stats"].sharpe for item in writer._drain_queue()]
    writer.stop()
    written = [r[0] for r in rows(data_dir, "SELECT sharpe FROM signal_evaluations")]
    assert sorted(written + drained) == [float(i) for i in range(n)]
    assert_untouched(status, stop_workers)


def test_item_put_just_before_stop_is_written_and_a_later_one_is_not(tracker, data_dir):
    q = MP.Queue()
    writer, status, stop_workers = make_writer(tracker, q)
    writer.start()
    ready = MP.Event()
    worker = start_worker(put_then_signal_then_put_late, q, ready, 0.6)
    assert ready.wait(10)
    assert timed_stop(writer) < 0.5
    worker.join(10)
    assert rows(data_dir, "SELECT sharpe FROM signal_evaluations") == [(1.0,)]
    assert_untouched(status, stop_workers)


def test_stop_while_items_keep_coming_ends_at_the_final_drain_limit(tracker, data_dir):
    q = MP.Queue()
    seen = Recorder(tracker)
    writer, status, stop_workers = make_writer(tracker, q)
    writer.start()
    workers = [start_worker(put_signals, q, 300, first, 0.01) for first in (0, 300)]
    time.sleep(0.3)
    assert 0.95 <= timed_stop(writer) < 2.5
    assert not writer._thread.is_alive() and writer._stop_event.is_set()
    for w in workers:
        w.terminate()
        w.join()
    assert 0 < assert_complete_evaluations(data_dir) < 500
    assert seen.sql().count("BEGIN") == seen.sql().count("COMMIT") >= 1
    assert_untouched(status, stop_workers)


def test_drain_queue_forms(tracker):
    q = MP.Queue()
    writer, _, _ = make_writer(tracker, q)
    started = time.monotonic()
    assert writer._drain_queue() == []
    assert time.monotonic() - started < 0.05
    started = time.monotonic()
    assert writer._drain_queue(final=True) == []
    assert 0.05 <= time.monotonic() - started < 0.5  # the idle window, once
    start_worker(put_items, q, [signal_item(3), 42]).join(10)
    drained = writer._drain_queue(final=True)
    assert drained[1] == 42  # an item that cannot be read comes back as it was
    assert drained[0]["stats"] == signal_item(3)["stats"]
    assert {k: v for k, v in drained[0].items() if k != "stats"} == {
        k: v for k, v in signal_item(3).items() if k != "stats"}



def test_drained_items_keep_every_key_the_writer_reads_and_only_those(tracker):
    q = queue_module.Queue()
    writer = make_writer(tracker, q)[0]
    item = signal_item(4, referenced_signal_ids=[7, 8], strategy_pool_id="strat_pool",
                       strategy_signal_pool="pool_b", failure_reason="timeout",
                       metaparameters={}, per_column_stats=None, notes="not read")
    q.put(item)
    q.put({"stats": None})
    drained = writer._drain_queue()
    del item["notes"]
    assert drained[0] == item
    assert drained[1] == {"stats": None}


# ---- failures ---------------------------------------------------------------------------

@pytest.mark.sqlite_only
def test_disk_full_by_threshold_drops_batches_and_stops_workers_twice(tracker, data_dir):
    q = MP.Queue()
    # The first stop puts one more item, as a worker still finishing would: the final
    # drain takes it and the final flush finds the disk still full.
    writer, status, stop_workers = make_writer(
        tracker, q, on_stop=lambda calls: calls == 1 and q.put(signal_item(999)))
    assert writer._disk_threshold == 524288000
    writer._disk_threshold = 1 << 62
    seen = Recorder(tracker)
    writer.start()
    worker = start_worker(put_signals, q, 120)
    writer._thread.join(5)  # ends by itself, no stop()
    assert not writer._thread.is_alive()
    worker.join(10)
    assert (status.error_code, status.recovery_advice, status.running, status.errors) == (
        "DISK_FULL", DISK_FULL_ADVICE, False, [])
    assert stop_workers.calls == 2
    assert count(data_dir) == 0 and "BEGIN" not in seen.sql()
    assert timed_stop(writer) < 0.1


@pytest.fixture
def small_fs(tmp_path):
    """A 4 MB tmpfs, or a skip where mounting is not allowed."""
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mount_point)],
                            capture_output=True)
    if result.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + result.stderr.decode().strip())
    yield str(mount_point)
    subprocess.run(["umount", "-l", str(mount_point)], check=True)


def test_real_small_file_system(small_fs, identity):
    tracker = SearchTracker(small_fs, identity)
    try:
        # The default floor is far above 4 MB: nothing is written.
        q = queue_module.Queue()
        for i in range(3):
            q.put(signal_item(i))
        writer, status, stop_workers = make_writer(tracker, q)
        writer.start()
        writer.stop()
        assert (status.error_code, status.running, stop_workers.calls) == ("DISK_FULL", False, 1)
        assert count(small_fs) == 0

        # With no floor, batches are written until the file system itself is full. About
        # 2 kB a row, paced so that each batch stays far smaller than the file system.
        big = {"c": ["x" * 200] * 10}
        q = MP.Queue()
        writer, status, stop_workers = make_writer(tracker, q)
        writer._disk_threshold = 0
        writer.start()
        worker = start_worker(put_items, q, [signal_item(i, per_column_stats=big)
                                              for i in range(3000)], 0.001)
        assert wait_for(lambda: not writer._thread.is_alive(), 20)
        worker.terminate()
        worker.join()
        assert (status.error_code, status.recovery_advice, status.running) == (
            "DATABASE_WRITE_FAILED", WRITE_FAILED_ADVICE, False)
        # Items that kept arriving are drained at shutdown, and their flush fails again.
        assert status.errors[0] == "Database write failed: database or disk is full"
        assert set(status.errors) == {status.errors[0]}
        assert stop_workers.calls == len(status.errors)
        assert tracker._conn.in_transaction is False
        # Whole evaluations of whole batches only: the failed batch was rolled back.
        written = tracker._conn.execute("SELECT COUNT(*) FROM signal_evaluations").fetchone()[0]
        assert 0 < written < 3000
        assert tracker._conn.execute(
            "SELECT COUNT(*) FROM signal_feature_usage").fetchone()[0] == 2 * written
    finally:
        tracker.close()


def test_bad_strategy_rolls_back_its_batch_and_stops_the_writer(tracker, data_dir):
    setup, _, _ = make_writer(tracker, queue_module.Queue())
    setup._do_write([signal_item(0), signal_item(1, signal_pool_id="other_pool")])
    other_id = rows(data_dir, "SELECT eval_id FROM signal_evaluations WHERE sharpe = 1.0")[0][0]

    q = MP.Queue()
    writer, status, stop_workers = make_writer(tracker, q)
    seen = Recorder(tracker)
    writer.start()
    start_worker(put_items, q, [
        signal_item(10), strategy_item(referenced_signal_ids=[1]),
        strategy_item(referenced_signal_ids=[1, other_id]), signal_item(11),
    ]).join(10)
    elapsed = timed_stop(writer)  # the final flush fails, waits 0.5 s, fails again
    assert 0.5 <= elapsed < 2.0
    assert (status.error_code, status.recovery_advice, status.running) == (
        "DATABASE_WRITE_FAILED", WRITE_FAILED_ADVICE, False)
    assert status.errors == [
        "Database write failed: strategy_pool_id='strat_pool' strategy_id=<pending> "
        f"referenced_signal_id={other_id} expected_strategy_signal_pool='pool_a' "
        "actual_signal_pool_id='other_pool'"]
    assert stop_workers.calls == 1
    assert [seen.sql().count(s) for s in ("BEGIN", "ROLLBACK", "COMMIT")] == [2, 2, 0]
    assert count(data_dir) == 2 and count(data_dir, "strategy_evaluations") == 0
    assert count(data_dir, "signal_function_usage") == 2


NO_IDENTITY = ("SearchTracker writes require an attached LibraryIdentity; call set_identity() "
               "before recording evaluations or submissions.")


@pytest.mark.parametrize("bad, error, message", [
    (signal_item(signal_pool_id=""), ValueError, "signal_pool_id must be a non-empty string"),
    (strategy_item(strategy_signal_pool=None), ValueError,
     "strategy_signal_pool must be a non-empty string"),
    (strategy_item(referenced_signal_ids=[12345]), CrossPoolReferenceError,
     "strategy_pool_id='strat_pool' strategy_id=<pending> referenced_signal_id=12345 "
     "expected_strategy_signal_pool='pool_a' actual_signal_pool_id=None"),
    ({"graph": GRAPH, "signal_pool_id": "pool_a"}, AttributeError,
     "'NoneType' object has no attribute 'sharpe'"),
    (42, AttributeError, "'int' object has no attribute 'get'"),
    (signal_item(graph={"type": "feature", "node": {1, 2}}), TypeError,
     "Object of type set is not JSON serializable"),
    (None, ValueError, NO_IDENTITY),
    # Family tables beside a graph the name walk refuses are read whole, and the write
    # raises the graph's error; beside a good graph, an entry of its names is checked.
    (signal_item(graph={"type": "rotation", "node": "rank", "children": 3},
                 function_families={"rank": ["f", "s"]}), TypeError,
     "expression graph children must be a list, got int"),
    (signal_item(function_families={"rank": ["only-family"]}), ValueError,
     "function_families['rank'] must be a (family, subfamily) sequence"),
], ids=["signal-pool", "strategy-pool", "cross-pool", "stats-missing", "not-a-mapping",
        "unserializable", "no-identity", "bad-graph-with-families", "short-family-entry"])
def test_do_write_raises_the_bad_items_error_and_stores_nothing(tracker, data_dir, bad, error,
                                                                message):
    if bad is None:
        tracker.set_identity(None)
        bad = signal_item()
    writer, _, _ = make_writer(tracker, queue_module.Queue())
    with pytest.raises(error) as raised:
        writer._do_write([signal_item(1), bad, signal_item(2)])
    assert str(raised.value) == message
    assert tracker._conn.in_transaction is False
    assert count(data_dir) == 0 and count(data_dir, "signal_function_usage") == 0


def test_rollback_failure_is_logged_and_the_batch_error_raised(tracker, data_dir, caplog):
    real = tracker._conn.execute
    Recorder(tracker, fail_on=lambda sql: sql == "ROLLBACK",
             fail=sqlite3.OperationalError("rollback refused"))
    writer, _, _ = make_writer(tracker, queue_module.Queue())
    with caplog.at_level(logging.WARNING, logger="plintrove.search_tracking"):
        with pytest.raises(ValueError, match="^signal_pool_id must be a non-empty string$"):
            writer._do_write([signal_item(1), signal_item(signal_pool_id=None)])
    assert [(r.name, r.levelno, r.msg, r.getMessage()) for r in caplog.records] == [(
        "plintrove.search_tracking", logging.WARNING,
        "ROLLBACK failed during evaluation batch write: %s",
        "ROLLBACK failed during evaluation batch write: rollback refused")]
    tracker._conn.execute = real
    tracker._conn.rollback()
    assert count(data_dir) == 0


def test_queue_errors_end_a_drain_and_are_not_reported(tracker, data_dir):
    class FlakyQueue:
        """Raises a non-Empty error on every third non-blocking get, and always on get."""

        def __init__(self):
            self.inner, self.calls, self.waits = queue_module.Queue(), 0, 0

        def get_nowait(self):
            self.calls += 1
            if self.calls % 3 == 0:
                raise OSError("flaky pipe")
            return self.inner.get_nowait()

        def get(self, timeout=None):
            self.waits += 1
            raise RuntimeError("broken")

    closed = MP.Queue()
    closed.close()
    flaky = FlakyQueue()
    for i in range(10):
        flaky.inner.put(signal_item(i))
    waits_while_running = None
    for q in (flaky, closed):
        writer, status, stop_workers = make_writer(tracker, q)
        writer.start()
        time.sleep(1.0)  # several passes, each drain cut short by the error
        if q is flaky:
            waits_while_running = flaky.waits
        assert timed_stop(writer) < 1.0
        assert_untouched(status, stop_workers)
    assert count(data_dir) == 10
    # A get that fails at once ends the wait early; the loop then waits out the rest of
    # the poll instead of spinning: about ten passes in that second, not thousands.
    assert waits_while_running < 40


def test_tracker_closed_under_the_writer(tracker, data_dir, storage):
    q = MP.Queue()
    writer, status, stop_workers = make_writer(tracker, q)
    writer.start()
    start_worker(put_signals, q, 100).join(10)
    assert wait_for(lambda: count(data_dir) == 100, 5)
    tracker.close()
    start_worker(put_signals, q, 100, 100).join(10)
    if storage == "postgres":
        # The writer holds the connection, not the tracker: a closed server session is
        # replaced like a lost one, and the batch goes on.
        assert wait_for(lambda: count(data_dir) == 200, 5)
        writer.stop()
        assert_untouched(status, stop_workers)
        assert assert_complete_evaluations(data_dir) == 200
        return
    writer._thread.join(5)  # the failed batch stops the writer by itself
    assert not writer._thread.is_alive()
    assert (status.error_code, status.recovery_advice, status.running) == (
        "DATABASE_WRITE_FAILED", WRITE_FAILED_ADVICE, False)
    assert status.errors == ["Database write failed: Cannot operate on a closed database."]
    assert stop_workers.calls == 1
    assert timed_stop(writer) < 0.1
    assert assert_complete_evaluations(data_dir) == 100


def test_host_threads_run_while_batches_are_written(tracker, data_dir):
    """The writer takes the GIL only to take items and touch host objects."""
    # Ready at one drain, so they make one long transaction.
    n = 10000
    q = queue_module.Queue()
    for i in range(n):
        q.put(signal_item(i))
    writer, status, stop_workers = make_writer(tracker, q)
    ticks = []
    stop_ticking = threading.Event()

    def tick():
        while not stop_ticking.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    writer.start()
    assert wait_for(lambda: count(data_dir) == n, 30)
    stop_ticking.set()
    ticker.join()
    writer.stop()
    gaps = [b - a for a, b in zip(ticks, ticks[1:])]
    assert max(gaps) < 0.15  # never shut out for the length of the batch
    assert_untouched(status, stop_workers)
