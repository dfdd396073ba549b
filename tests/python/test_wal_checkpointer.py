"""The write-ahead log is checkpointed by a thread of the tracker's own: the log stays
bounded under a writer that never pauses, reaches the main file once commits stop, is
truncated at close, and the thread ends with the tracker and never runs in a forked child."""

import glob
import multiprocessing
import os
import shutil
import sqlite3
import time
from contextlib import closing

import pytest

from conftest import read
from plintrove.search_tracking import BacktestStats, SearchTracker

pytestmark = pytest.mark.sqlite_only

MP = multiprocessing.get_context("fork")
GRAPH = {"type": "rotation", "node": "rank", "children": [{"type": "feature", "node": "close"}]}
THREAD_NAME = "plintrove-wal"


def record(tracker, n):
    stats, meta = BacktestStats(), {"pool_a": {"stage": 1}}
    for _ in range(n):
        tracker.record_signal_evaluation(GRAPH, stats, 1, True, "US", meta, signal_pool_id="pool_a")


def wal_path(data_dir):
    return os.path.join(data_dir, "tracking.db-wal")


def wal_size(data_dir):
    return os.path.getsize(wal_path(data_dir)) if os.path.exists(wal_path(data_dir)) else 0


def checkpointer_threads():
    names = []
    for comm in glob.glob("/proc/self/task/*/comm"):
        try:
            with open(comm) as f:
                names.append(f.read().strip())
        except FileNotFoundError:  # a thread that ended meanwhile
            pass
    return names.count(THREAD_NAME)


def test_log_stays_bounded_while_every_evaluation_commits(tracker, data_dir):
    # One commit per evaluation with only a conversion between: passive checkpoints alone
    # never find the log fully copied, and it grows past 3 GB in this run.
    peak = 0
    for _ in range(1000):
        record(tracker, 100)
        peak = max(peak, wal_size(data_dir))
    assert peak < 256 << 20
    assert read(data_dir, "SELECT COUNT(*) FROM signal_evaluations") == [(100_000,)]


def test_log_reaches_the_main_file_when_idle_and_is_truncated_at_close(tracker, data_dir,
                                                                        tmp_path):
    with closing(sqlite3.connect(os.path.join(data_dir, "tracking.db"))) as other:
        other.execute("SELECT COUNT(*) FROM signal_evaluations").fetchone()  # now attached
        record(tracker, 50)  # short of the passive checkpoints' threshold

        def main_file_rows():
            # The main file alone, without the log: what a checkpoint has copied into it.
            copy = str(tmp_path / "main-only.db")
            shutil.copyfile(os.path.join(data_dir, "tracking.db"), copy)
            with closing(sqlite3.connect(copy)) as conn:
                try:
                    return conn.execute("SELECT COUNT(*) FROM signal_evaluations").fetchone()[0]
                except sqlite3.OperationalError:  # not even the schema copied yet
                    return None

        deadline = time.monotonic() + 10
        while main_file_rows() != 50 and time.monotonic() < deadline:
            time.sleep(0.1)
        assert main_file_rows() == 50
        # Another connection keeps the log file in place; closing the tracker empties it.
        record(tracker, 50)
        assert wal_size(data_dir) > 0
        tracker.close()
        assert os.path.exists(wal_path(data_dir)) and wal_size(data_dir) == 0
        assert other.execute("SELECT COUNT(*) FROM signal_evaluations").fetchone() == (100,)


def report_child_threads(tracker, out):
    out.put(checkpointer_threads())
    tracker.close()  # the parent's connection and checkpointer are left alone
    del tracker


def test_thread_ends_at_close_and_never_runs_in_a_forked_child(data_dir, identity):
    before = checkpointer_threads()
    tracker = SearchTracker(data_dir, identity)
    record(tracker, 20)
    # Started by the commits; it names itself once running, so give it a moment.
    deadline = time.monotonic() + 2
    while checkpointer_threads() != before + 1 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert checkpointer_threads() == before + 1
    out = MP.Queue()
    child = MP.Process(target=report_child_threads, args=(tracker, out))
    child.start()
    assert out.get(timeout=10) == 0
    child.join(10)
    assert child.exitcode == 0
    # The parent's checkpointer carried on: its last checkpoint still empties the log.
    record(tracker, 20)
    with closing(sqlite3.connect(os.path.join(data_dir, "tracking.db"))) as other:
        other.execute("SELECT COUNT(*) FROM signal_evaluations").fetchone()
        tracker.close()
        assert wal_size(data_dir) == 0
    assert checkpointer_threads() == before
    tracker.close()  # idempotent
    assert read(data_dir, "SELECT COUNT(*) FROM signal_evaluations") == [(40,)]
