"""Threads sharing one tracker: evaluations recorded per second by 1 and 4 host threads
through one tracker (one connection, operations serialised by its operation lock), with and
without a WriterThread writing beside them, against 4 threads each with a tracker of its
own on the same file (a connection per thread, serialised by SQLite's file lock instead).

    PYTHONPATH=build/python .venv/bin/python bench/bench_shared_tracker.py [--seconds 5]
"""

from __future__ import annotations

import argparse
import queue as queue_module
import tempfile
import threading
import time

from plintrove.search_tracking import BacktestStats, SearchTracker, WriterThread

META = {"pool_a": {"lookback": 20}}


class Identity:
    instance_id = "bench"
    author_id = "bench"


class Status:
    error_code = recovery_advice = None
    running = True

    def __init__(self):
        self.errors = []


def graph(i):
    return {"type": "rotation", "node": f"fn{i % 50}",
            "children": [{"type": "feature", "node": f"ft{i % 30}"},
                         {"type": "feature", "node": f"ft{(i + 7) % 30}"}]}


def record(tracker, i):
    tracker.record_signal_evaluation(graph(i), BacktestStats(sharpe=0.1), 1, False, "US", META,
                                     signal_pool_id="pool_a")


def run(threads, seconds, own_trackers=False, with_writer=False):
    """Evaluations recorded per second by the host threads (and by the writer)."""
    data_dir = tempfile.mkdtemp()
    shared = SearchTracker(data_dir, Identity())
    trackers = [SearchTracker(data_dir, Identity()) if own_trackers else shared
                for _ in range(threads)]
    counts = [0] * threads
    stop = threading.Event()

    def host(n):
        i = 0
        while not stop.is_set():
            record(trackers[n], i)
            i += 1
        counts[n] = i

    q, writer, fed = queue_module.Queue(), None, [0]
    if with_writer:
        writer = WriterThread(shared, q, Status(), lambda: None)

        def feed():
            while not stop.is_set():
                for i in range(100):
                    q.put({"type": "signal", "graph": graph(i), "stats": BacktestStats(),
                           "era_id": 1, "named_universe": "US", "metaparameters": META,
                           "signal_pool_id": "pool_a"})
                fed[0] += 100
                time.sleep(0.02)

        workers = [threading.Thread(target=feed)]
        writer.start()
    else:
        workers = []
    workers += [threading.Thread(target=host, args=(n,)) for n in range(threads)]
    for w in workers:
        w.start()
    time.sleep(seconds)
    stop.set()
    for w in workers:
        w.join()
    if writer:
        writer.stop()
    written = shared.get_evaluation_count(eval_type="signal") - sum(counts)
    for t in {id(t): t for t in trackers + [shared]}.values():
        t.close()
    return sum(counts) / seconds, written / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    cases = [("1 thread, one tracker", dict(threads=1)),
             ("4 threads, one tracker", dict(threads=4)),
             ("4 threads, one tracker, writer running", dict(threads=4, with_writer=True)),
             ("4 threads, a tracker each", dict(threads=4, own_trackers=True))]
    base = None
    for label, kw in cases:
        host, writer = run(seconds=args.seconds, **kw)
        base = base or host
        extra = f", writer {writer:8.0f}/s" if kw.get("with_writer") else ""
        print(f"{label:42s} host {host:8.0f}/s ({host / base:4.2f}x){extra}")


if __name__ == "__main__":
    main()
