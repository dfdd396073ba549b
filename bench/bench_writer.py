"""Writer benchmarks, each ratio measured in one run.

1. End to end: worker processes put evaluations with realistic graphs on a
   multiprocessing.Queue; evaluations per second until all are on disk, the library's
   WriterThread against the pure-Python writer of baseline_writer.py and against the
   transport ceiling (a consumer that only takes and unpickles), in alternating rounds, with
   the CPU each side and the workers' puts spend per evaluation: on a machine of few cores
   their sum bounds what any writer can reach.
2. Write path: `_do_write` on ready batches of 100 and 1,000 items (item conversion
   included) against the raw SQLite C-API loop of raw_sqlite_ceiling.cpp inserting the
   identical rows with the same settings (the ceiling), in alternating rounds, by CPU time
   (user + system, all threads), so other load on a shared machine counts for little.
3. Host thread: a Python thread counting in a loop, with the writer idle and with it
   writing flat out; the count kept is the share of the idle count.

    PYTHONPATH=build/python .venv/bin/python bench/bench_writer.py [--build build]
"""

from __future__ import annotations

import argparse
import fcntl
import json
import multiprocessing
import os
import pickle
import queue as queue_module
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from typing import NamedTuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline_writer  # noqa: E402
import store_builder  # noqa: E402
from plintrove.search_tracking import BacktestStats, SearchTracker, WriterThread  # noqa: E402

MP = multiprocessing.get_context("fork")
SEED_SIGNALS = 20  # written before timing, so strategies have signals to reference


class Identity:
    instance_id = "bench-instance"
    author_id = "bench-author"


class Status:
    def __init__(self):
        self.error_code = None
        self.recovery_advice = None
        self.running = True
        self.errors = []


def make_items(count: int, seed: int, strategy_share: float = 0.05) -> list[dict]:
    """Queue items as a search's workers build them: realistic graphs with the family
    entries of their own functions and features, about 15% passed, a few strategies."""
    rng = random.Random(seed)
    templates = store_builder.make_templates(500, seed)
    items = []
    for i in range(count):
        t = templates[rng.randrange(len(templates))]
        passed = rng.random() < 0.15
        item = {
            "graph": t["graph"],
            "stats": BacktestStats(
                sharpe=rng.gauss(0.5, 1.0), returns=rng.gauss(0.05, 0.1), turnover=rng.random(),
                drawdown=rng.random() * 0.3, delta_exposure=rng.random() * 0.1,
                max_weight=rng.random() * 0.05, quality_score=rng.random(),
                correlation=rng.random(), liquidity_metrics={"adv": rng.random() * 1e7}),
            "era_id": 1,
            "passed_thresholds": passed,
            "named_universe": rng.choice(store_builder.UNIVERSES),
            "metaparameters": {"pool_a": {"lookback": rng.choice(store_builder.LOOKBACKS)}},
            "function_families": {n: store_builder.FUNCTION_FAMILIES[n] for n in t["functions"]},
            "feature_families": {n: store_builder.FEATURE_FAMILIES[n] for n in t["features"]},
            "per_column_stats": {"ret": {"mean": rng.random(), "std": rng.random()}},
            "rejection_reason": None if passed else rng.choice(store_builder.REJECTIONS),
            "source": "search",
            "expression_elapsed_seconds": rng.random() * 2.0,
        }
        if rng.random() < strategy_share:
            item.update(type="strategy", strategy_pool_id="strat_pool",
                        strategy_signal_pool="pool_a",
                        referenced_signal_ids=[rng.randint(1, SEED_SIGNALS)],
                        metaparameters={"strat_pool": {"k": 1}})
        else:
            item.update(type="signal", signal_pool_id="pool_a")
        items.append(item)
    return items


def fresh_dir(root: str, name: str) -> str:
    path = os.path.join(root, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    SearchTracker(path).close()  # the schema, for both writers alike
    return path


def open_store(kind: str, data_dir: str):
    if kind == "ours":
        return SearchTracker(data_dir, Identity())
    return baseline_writer.BaselineStore(data_dir, Identity())


def new_writer(kind: str, store, q, status):
    cls = WriterThread if kind == "ours" else baseline_writer.BaselineWriterThread
    return cls(store, q, status, lambda: None)


def count_rows(data_dir: str, table: str = "signal_evaluations") -> int:
    import sqlite3
    conn = sqlite3.connect(os.path.join(data_dir, "tracking.db"))
    try:
        return conn.execute(f"SELECT COUNT(*) FROM {table}").fetchone()[0]
    finally:
        conn.close()


# ---- 1. end to end ------------------------------------------------------------------------

DISTINCT_ITEMS = 2000  # per worker; cycled, every put is pickled anew all the same


class Run(NamedTuple):
    rate: float  # evaluations per second
    consumer_us: float  # CPU per evaluation of this process: the writer, or the bare consumer
    producers_us: float  # CPU per evaluation of the workers' puts, building items excluded


def worker(q, count: int, seed: int, ready, go, spent) -> None:
    items = make_items(DISTINCT_ITEMS, seed)
    ready.release()
    go.wait()
    started = time.process_time()
    for i in range(count):
        q.put(items[i % DISTINCT_ITEMS])
    q.close()
    q.join_thread()  # the queue's feeder thread pickles and writes: its time counts too
    with spent.get_lock():
        spent.value += time.process_time() - started


def start_workers(q, total: int, workers: int):
    """Workers that put total // workers items each on q once `go` is set, returned when
    every one has built its items, with the CPU seconds their puts take in all."""
    ready, go, spent = MP.Semaphore(0), MP.Event(), MP.Value("d", 0.0)
    procs = [MP.Process(target=worker, args=(q, total // workers, 100 + w, ready, go, spent))
             for w in range(workers)]
    for p in procs:
        p.start()
    for _ in procs:
        ready.acquire()
    return procs, go, spent


def end_to_end(kind: str, root: str, total: int, workers: int, pipe_bytes: int = 0) -> Run:
    data_dir = fresh_dir(root, f"e2e-{kind}")
    store = open_store(kind, data_dir)
    status = Status()
    seed_writer = new_writer(kind, store, queue_module.Queue(), status)
    seed_writer._do_write([dict(it, type="signal", signal_pool_id="pool_a")
                           for it in make_items(SEED_SIGNALS, 1, 0.0)])
    q = MP.Queue()
    if pipe_bytes:
        # The queue's pipe is all a consumer ever sees of it; a larger one lets each
        # drain take more, so the writers' own speed shows instead of the poll interval.
        fcntl.fcntl(q._reader.fileno(), fcntl.F_SETPIPE_SZ, pipe_bytes)
    procs, go, spent = start_workers(q, total, workers)
    writer = new_writer(kind, store, q, status)
    writer.start()
    started, cpu_started = time.perf_counter(), cpu_seconds()
    go.set()
    for p in procs:
        p.join()  # a worker exits once its last item is in the pipe
    writer.stop()  # final drain and flush of what is still in the pipe
    writer._thread.join()  # the last flush may outlast stop()'s wait
    elapsed, cpu = time.perf_counter() - started, cpu_seconds() - cpu_started
    store.close()
    written = (count_rows(data_dir) + count_rows(data_dir, "strategy_evaluations")
               - SEED_SIGNALS)
    if status.errors or written != total:
        raise SystemExit(f"{kind}: wrote {written} of {total}, status {status.errors}")
    return Run(total / elapsed, 1e6 * cpu / total, 1e6 * spent.value / total)


def transport(total: int, workers: int) -> Run:
    """The ceiling of any writer on this queue: a consumer that blocks on get, unpickles
    (as get does) and discards, fed by the same workers."""
    q = MP.Queue()
    procs, go, spent = start_workers(q, total, workers)
    n = total // workers * workers
    started, cpu_started = time.perf_counter(), cpu_seconds()
    go.set()
    for _ in range(n):
        q.get()
    elapsed, cpu = time.perf_counter() - started, cpu_seconds() - cpu_started
    for p in procs:
        p.join()
    return Run(n / elapsed, 1e6 * cpu / n, 1e6 * spent.value / n)


# ---- 2. write path ------------------------------------------------------------------------

def cpu_seconds() -> float:
    """CPU time of this process, every thread's (the checkpointer's too)."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def write_path(kind: str, root: str, items: list[dict], batch_size: int) -> tuple[float, str]:
    """Evaluations per CPU second of `_do_write` on ready batches, and the store it wrote."""
    data_dir = fresh_dir(root, f"write-{kind}-{batch_size}")
    store = open_store(kind, data_dir)
    writer = new_writer(kind, store, queue_module.Queue(), Status())
    batches = [items[i:i + batch_size] for i in range(0, len(items), batch_size)]
    started = cpu_seconds()
    for batch in batches:
        writer._do_write(batch)
    used = cpu_seconds() - started
    store.close()
    return len(items) / used, data_dir


def ceiling(build_dir: str, source_dir: str, root: str, batch_size: int) -> float:
    """Evaluations per CPU second of the raw C-API loop storing the rows of `source_dir`
    again, its log checkpointed in the background as the tracker's is."""
    target = fresh_dir(root, f"ceiling-{batch_size}")
    out = subprocess.run(
        [os.path.join(build_dir, "raw_sqlite_ceiling"), os.path.join(source_dir, "tracking.db"),
         os.path.join(target, "tracking.db"), str(batch_size), "background-checkpoints"],
        check=True, capture_output=True, text=True).stdout
    result = json.loads(out)
    return result["evaluations"] / result["cpu_seconds"]


# ---- 3. host thread -----------------------------------------------------------------------

def count_for(seconds: float) -> int:
    result = []

    def spin():
        n, end = 0, time.perf_counter() + seconds
        while time.perf_counter() < end:
            n += 1
        result.append(n)

    t = threading.Thread(target=spin)
    t.start()
    t.join()
    return result[0]


class EndlessQueue:
    """Pickled items handed out without end while not paused, as a queue fed by fast
    workers would: every non-blocking get unpickles one, and every `chunk`-th finds the
    queue momentarily empty, so the writer keeps alternating between draining and writing."""

    def __init__(self, items: list[dict], chunk: int = 500):
        self.payloads = [pickle.dumps(item) for item in items]
        self.chunk = chunk
        self.calls = 0
        self.paused = True

    def get_nowait(self):
        self.calls += 1
        if self.paused or self.calls % (self.chunk + 1) == 0:
            raise queue_module.Empty
        return pickle.loads(self.payloads[self.calls % len(self.payloads)])

    def get(self, timeout=None):
        raise queue_module.Empty  # nothing more once the writer is told to stop


def host_thread_share(kind: str, root: str, items: list[dict], seconds: float,
                      rounds: int) -> tuple[int, int, float]:
    """Counts of a spinning host thread in alternating windows, the writer idle (its queue
    paused) and writing flat out; alternating keeps other load on the machine alike in both."""
    data_dir = fresh_dir(root, f"gil-{kind}")
    store = open_store(kind, data_dir)
    q = EndlessQueue(items)
    writer = new_writer(kind, store, q, Status())
    writer.start()
    idle = busy = written = 0
    for _ in range(rounds):
        q.paused = True
        time.sleep(0.3)  # its last batch is done
        idle += count_for(seconds)
        q.paused = False
        time.sleep(0.3)  # it is well into its work
        before = count_rows(data_dir)
        busy += count_for(seconds)
        written += count_rows(data_dir) - before
    q.paused = True
    writer.stop()
    writer._thread.join()  # its last batch may outlast stop()'s wait
    store.close()
    return idle, busy, written / (seconds * rounds)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="CMake build directory")
    parser.add_argument("--total", type=int, default=100_000, help="end-to-end evaluations")
    parser.add_argument("--rounds", type=int, default=3, help="alternating end-to-end rounds")
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--write-items", type=int, default=20_000)
    parser.add_argument("--write-rounds", type=int, default=5,
                        help="alternating write-path rounds per batch size")
    parser.add_argument("--count-seconds", type=float, default=1.0)
    parser.add_argument("--count-rounds", type=int, default=5)
    args = parser.parse_args()

    root = tempfile.mkdtemp(prefix="plintrove-bench-writer-")
    table = []  # (workload, baseline figure, ours)
    spreads = []
    try:
        # Alternating rounds, so load from elsewhere falls on every side alike.
        runs = {"transport": [], "baseline": [], "ours": []}
        for r in range(args.rounds):
            print(f"end to end, default 64 kB pipe, round {r + 1} ...", flush=True)
            runs["transport"].append(transport(args.total, args.workers))
            for kind in ("baseline", "ours"):
                runs[kind].append(end_to_end(kind, root, args.total, args.workers))
        rates = {kind: [run.rate for run in kind_runs] for kind, kind_runs in runs.items()}
        for kind, values in rates.items():
            spreads.append(f"end to end {kind}: median {statistics.median(values):,.0f}/s, "
                           f"range {min(values):,.0f}-{max(values):,.0f}")
        # What the machine's cores must carry per evaluation: with both sides' CPU known,
        # the rate a writer could reach at best follows.
        cpu = {kind: statistics.median(run.consumer_us for run in kind_runs)
               for kind, kind_runs in runs.items()}
        producers = statistics.median(run.producers_us for kind_runs in runs.values()
                                      for run in kind_runs)
        spreads.append(f"end to end CPU per evaluation (median us): workers' puts {producers:.1f}, "
                       f"transport consumer {cpu['transport']:.1f}, pure-Python writer "
                       f"{cpu['baseline']:.1f}, ours {cpu['ours']:.1f} (all its threads)")
        label = f"end to end, {args.workers} workers, {args.total:,} evals, default 64 kB pipe"
        table.append((f"{label} (evals/s; baseline = pure-Python writer)",
                      statistics.median(rates["baseline"]), statistics.median(rates["ours"])))
        table.append((f"{label} (evals/s; baseline = transport ceiling: blocking get + unpickle)",
                      statistics.median(rates["transport"]), statistics.median(rates["ours"])))
        rates = {}
        for kind in ("baseline", "ours"):
            print(f"end to end, pipe enlarged to 1 MB ({kind}) ...", flush=True)
            rates[kind] = end_to_end(kind, root, args.total, args.workers, 1 << 20).rate
        table.append((f"end to end, {args.workers} workers, {args.total:,} evals, pipe enlarged "
                      "to 1 MB (evals/s; baseline = pure-Python writer)",
                      rates["baseline"], rates["ours"]))

        signals = make_items(args.write_items, 7, strategy_share=0.0)
        for batch_size in (100, 1000):
            print(f"write path, batches of {batch_size} ...", flush=True)
            rates = {"baseline": [], "ours": [], "raw": []}
            for _ in range(args.write_rounds):
                rates["baseline"].append(write_path("baseline", root, signals, batch_size)[0])
                ours_rate, ours_dir = write_path("ours", root, signals, batch_size)
                rates["ours"].append(ours_rate)
                rates["raw"].append(ceiling(args.build, ours_dir, root, batch_size))
            for kind, values in rates.items():
                spreads.append(f"_do_write, batches of {batch_size}, {kind}: median "
                               f"{statistics.median(values):,.0f} evals per CPU second, range "
                               f"{min(values):,.0f}-{max(values):,.0f}")
            ours_rate = statistics.median(rates["ours"])
            table.append((f"_do_write, batches of {batch_size} (evals per CPU s; baseline = raw "
                          "C-API loop, same rows and settings)",
                          statistics.median(rates["raw"]), ours_rate))
            table.append((f"_do_write, batches of {batch_size} (evals per CPU s; baseline = "
                          "pure-Python writer)", statistics.median(rates["baseline"]), ours_rate))

        gil_items = make_items(5000, 11, strategy_share=0.0)
        for kind in ("ours", "baseline"):
            print(f"host thread ({kind}) ...", flush=True)
            idle, busy, rate = host_thread_share(kind, root, gil_items, args.count_seconds,
                                                 args.count_rounds)
            who = "our writer" if kind == "ours" else "the pure-Python writer"
            table.append((f"host thread count: idle vs {who} flat out "
                          f"({rate:,.0f} evals/s meanwhile)", idle, busy))
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print()
    for line in spreads:
        print(line)
    width = max(len(row[0]) for row in table)
    print(f"{'workload':<{width}} {'baseline':>14} {'ours':>14} {'ratio':>7}")
    for workload, base, ours in table:
        print(f"{workload:<{width}} {base:>14,.0f} {ours:>14,.0f} {ours / base:>7.2f}")


if __name__ == "__main__":
    main()
