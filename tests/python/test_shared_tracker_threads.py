"""Threads sharing one tracker, hence one connection and one transaction state: each
operation's statements, and each writer batch, must land whole and alone. Every evaluation
carries its author's marks in its graph, so an id handed to two callers, a row lost to
another thread's ROLLBACK, or usage rows filed under another evaluation all show.

PLINTROVE_RACE_SECONDS sets how long the mixed run lasts (default 10)."""

import json
import os
import queue as queue_module
import threading
import time

import pytest

from conftest import read
from plintrove.search_tracking import BacktestStats, WriterThread

META = {"pool_a": {"lookback": 20}}
RACE_SECONDS = float(os.environ.get("PLINTROVE_RACE_SECONDS", "10"))


def marked_graph(mark):
    """A rotation named after `mark` over two features named after it."""
    return {"type": "rotation", "node": f"fn-{mark}",
            "children": [{"type": "feature", "node": f"ft-{mark}-a"},
                         {"type": "feature", "node": f"ft-{mark}-b"}]}


def record(tracker, mark):
    return tracker.record_signal_evaluation(marked_graph(mark), BacktestStats(), 1, False,
                                            "US", META, signal_pool_id="pool_a")


def queue_item(mark):
    return {"type": "signal", "graph": marked_graph(mark), "stats": BacktestStats(),
            "era_id": 1, "passed_thresholds": False, "named_universe": "US",
            "metaparameters": META, "signal_pool_id": "pool_a"}


class Status:
    def __init__(self):
        self.error_code = None
        self.recovery_advice = None
        self.running = True
        self.errors = []


def run_threads(targets, seconds):
    """Runs each target(stop_event) on its own thread for `seconds`; re-raises the first
    error any of them ended with."""
    stop, errors = threading.Event(), []

    def guarded(target):
        try:
            target(stop)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)
            stop.set()

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    if errors:
        raise errors[0]


def recorder(tracker, name, returned):
    def run(stop):
        i = 0
        while not stop.is_set():
            returned.append((record(tracker, f"{name}-{i}"), f"{name}-{i}"))
            i += 1
    return run


def check_store(data_dir, expected_marks):
    """Every mark is stored exactly once, with exactly its own usage rows."""
    stored = {eval_id: json.loads(graph)["node"][3:] for eval_id, graph in
              read(data_dir, "SELECT eval_id, graph_json FROM signal_evaluations")}
    marks = sorted(stored.values())
    assert len(marks) == len(set(marks)), "an evaluation was stored twice"
    assert set(marks) == set(expected_marks), "evaluations lost or invented"

    functions = read(data_dir, "SELECT eval_id, function_name FROM signal_function_usage")
    features = read(data_dir, "SELECT eval_id, feature_name FROM signal_feature_usage")
    assert sorted(functions) == sorted((i, f"fn-{m}") for i, m in stored.items())
    assert sorted(features) == sorted((i, f"ft-{m}-{s}") for i, m in stored.items()
                                      for s in "ab")
    return stored


def test_recorders_and_a_rolled_back_duplicate_keep_every_row_whole(tracker, data_dir):
    """Four recorders while a fifth thread keeps hitting the "already submitted" path, whose
    ROLLBACK used to undo another thread's insert (and its key counter)."""
    first = record(tracker, "seed")
    tracker.record_submission_once_and_mark_submitted(first, "signal", "sub", 1, sim_id="sim")
    returned = [(first, "seed")]
    refused = []

    def duplicate(stop):
        while not stop.is_set():
            with pytest.raises(ValueError, match="already submitted"):
                tracker.record_submission_once_and_mark_submitted(first, "signal", "sub", 1,
                                                                  sim_id="sim")
            refused.append(1)

    run_threads([recorder(tracker, f"r{n}", returned) for n in range(4)] + [duplicate],
                min(RACE_SECONDS, 3.0))
    assert refused
    ids = [eval_id for eval_id, _ in returned]
    assert len(ids) == len(set(ids)), "an eval_id was returned to two callers"
    stored = check_store(data_dir, [mark for _, mark in returned])
    assert stored == dict(returned)
    assert not tracker._conn.in_transaction


def test_host_threads_and_a_writer_share_one_tracker(tracker, data_dir):
    """Eight host threads (recording, queueing submissions, recording them once, reading)
    beside a WriterThread draining a queue fed from another thread."""
    q = queue_module.Queue()
    status, stop_calls = Status(), []
    writer = WriterThread(tracker, q, status, lambda: stop_calls.append(1))
    returned, queued, taken = [], [], []
    writer.start()

    def producer(stop):
        i = 0
        while not stop.is_set():
            queued.append(f"w-{i}")
            q.put(queue_item(f"w-{i}"))
            i += 1
            if i % 10 == 0:
                time.sleep(0.01)

    def submitter(name):
        def run(stop):
            i = 0
            while not stop.is_set():
                eval_id = record(tracker, f"{name}-{i}")
                returned.append((eval_id, f"{name}-{i}"))
                tracker.enqueue_submission(eval_id, "signal", "{}", 1)
                item = tracker.dequeue_submission()
                if item is not None:
                    taken.append(item.queue_id)
                    sim_id = f"sim-{item.queue_id}"
                    tracker.record_submission_once_and_mark_submitted(
                        item.eval_id, "signal", f"sub-{item.queue_id}", 1, sim_id=sim_id)
                    with pytest.raises(ValueError, match="already submitted"):
                        tracker.record_submission_once_and_mark_submitted(
                            eval_id, "signal", "again", 1, sim_id=sim_id)
                i += 1
        return run

    def reader(stop):
        while not stop.is_set():
            tracker.get_evaluation_count(eval_type="signal")
            tracker.get_function_stats()
            tracker.get_submission_counts()

    targets = ([recorder(tracker, f"r{n}", returned) for n in range(3)]
               + [submitter(f"s{n}") for n in range(3)] + [reader, producer])
    run_threads(targets, RACE_SECONDS)
    writer.stop()
    # The final drain is bounded in time: what it left in the queue was never taken.
    written = queued[:len(queued) - q.qsize()]

    assert status.running and status.error_code is None and not status.errors
    assert not stop_calls
    ids = [eval_id for eval_id, _ in returned]
    assert len(ids) == len(set(ids)), "an eval_id was returned to two callers"
    stored = check_store(data_dir, [m for _, m in returned] + written)
    assert all(stored[eval_id] == mark for eval_id, mark in returned)

    assert len(taken) == len(set(taken)), "a queue item was handed out twice"
    statuses = read(data_dir, "SELECT sim_id FROM signal_submission_status")
    assert sorted(s for (s,) in statuses) == sorted(f"sim-{q}" for q in taken)
    assert not tracker._conn.in_transaction
