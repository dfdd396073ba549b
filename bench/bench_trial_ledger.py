"""The multiple-testing ledger: what it costs the write paths and how fast it is read.

1. Overhead: direct recording and writer batches of 100 with this build against a build of
   the library without the ledger (--baseline-build), each in its own process, alternated
   and best of --repeat. Rates are per second of the process's CPU time (the work itself,
   SQLite's included, as it runs on the calling thread) and of wall-clock time; on a shared
   machine only the first is steady. Make the baseline from the commit before the ledger:
       git archive <commit> | tar -x -C /tmp/base && cd /tmp/base &&
       cmake -S . -B build -G Ninja -DPLINTROVE_BUILD_TESTS=OFF && cmake --build build
2. Reads on a private copy of the cached store of --store evaluations: the first open of a
   store whose ledger predates the pruning counts (when the cache is one), the first open
   without a ledger (which rebuilds it from the rows present), get_trial_ledger for each method,
   get_deflated_sharpe and get_multiple_testing_summary.

    PYTHONPATH=build/python .venv/bin/python bench/bench_trial_ledger.py \
        [--baseline-build /tmp/base/build] [--store 1000000]
"""

from __future__ import annotations

import argparse
import json
import os
import queue as queue_module
import random
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import store_builder  # noqa: E402


class Identity:
    instance_id = "bench-instance"
    author_id = "bench-author"


class Status:
    error_code = recovery_advice = None
    running = True
    errors: list = []


# ---- 1. overhead, measured in a child process per build ----------------------------------

def child(workload: str, count: int) -> None:
    from plintrove.search_tracking import BacktestStats, SearchTracker, WriterThread

    rng = random.Random(5)
    templates = store_builder.make_templates(500, seed=11)
    with tempfile.TemporaryDirectory() as data_dir:
        tracker = SearchTracker(data_dir, Identity())
        if workload == "direct":
            calls = []
            for i in range(count):
                t = templates[i % len(templates)]
                passed = rng.random() < 0.2
                calls.append(dict(
                    graph=t["graph"], stats=BacktestStats(sharpe=rng.gauss(0.5, 1.0)),
                    era_id=1 + i % 3, passed_thresholds=passed,
                    named_universe=rng.choice(store_builder.UNIVERSES),
                    metaparameters={"pool_a": {"lookback": 20}}, signal_pool_id="pool_a",
                    function_families=store_builder.FUNCTION_FAMILIES,
                    feature_families=store_builder.FEATURE_FAMILIES,
                    rejection_reason=None if passed else "low_sharpe"))
            started, cpu = time.perf_counter(), time.process_time()
            for kw in calls:
                tracker.record_signal_evaluation(**kw)
        else:
            items = []
            for i in range(count):
                t = templates[i % len(templates)]
                items.append({
                    "type": "signal", "graph": t["graph"],
                    "stats": BacktestStats(sharpe=rng.gauss(0.5, 1.0)), "era_id": 1 + i % 3,
                    "passed_thresholds": False, "named_universe": rng.choice(store_builder.UNIVERSES),
                    "metaparameters": {"pool_a": {"lookback": 20}}, "signal_pool_id": "pool_a",
                    "function_families": {n: store_builder.FUNCTION_FAMILIES[n] for n in t["functions"]},
                    "feature_families": {n: store_builder.FEATURE_FAMILIES[n] for n in t["features"]},
                    "rejection_reason": "low_sharpe", "source": "search"})
            writer = WriterThread(tracker, queue_module.Queue(), Status(), lambda: None)
            batches = [items[i:i + 100] for i in range(0, len(items), 100)]
            started, cpu = time.perf_counter(), time.process_time()
            for batch in batches:
                writer._do_write(batch)
        elapsed, cpu = time.perf_counter() - started, time.process_time() - cpu
        tracker.close()
    print(json.dumps({"cpu": count / cpu, "wall": count / elapsed}))


def rates(build: str, workload: str, count: int) -> dict:
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    out = subprocess.run([sys.executable, __file__, "--child", workload, "--count", str(count)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def overhead(ours: str, base: str, repeat: int) -> None:
    print(f"{'write path':28} {'clock':>5} {'without ledger':>16} {'with ledger':>14} "
          f"{'overhead':>9}")
    for workload, count in (("direct", 5000), ("batch", 30000)):
        best = {(b, c): 0.0 for b in ("base", "ours") for c in ("cpu", "wall")}
        for _ in range(repeat):
            for build, path in (("base", base), ("ours", ours)):
                for clock, value in rates(path, workload, count).items():
                    best[build, clock] = max(best[build, clock], value)
        name = "record_signal_evaluation" if workload == "direct" else "writer batches of 100"
        for clock in ("cpu", "wall"):
            b, o = best["base", clock], best["ours", clock]
            print(f"{name:28} {clock:>5} {b:>14,.0f}/s {o:>12,.0f}/s {(b / o - 1) * 100:>8.1f}%")


# ---- 2. reads on the large store ---------------------------------------------------------

def timed(fn):
    """Wall-clock seconds (with the process's CPU seconds in brackets) and the result."""
    started, cpu = time.perf_counter(), time.process_time()
    result = fn()
    return Seconds(time.perf_counter() - started, time.process_time() - cpu), result


class Seconds:
    def __init__(self, wall, cpu):
        self.wall, self.cpu = wall, cpu

    def __format__(self, spec):
        return f"{format(self.wall, spec)} s ({self.cpu:.2f} s CPU)"


def reads(store: int) -> None:
    from plintrove.search_tracking import SearchTracker

    signals = store * 4 // 5
    src = store_builder.cached_store(signals, store - signals)
    with tempfile.TemporaryDirectory(dir="/tmp") as copy:
        store_builder.copy_store(src, copy)
        db = os.path.join(copy, "tracking.db")
        print(f"\nstore: {store:,} evaluations")
        conn = sqlite3.connect(db)
        tables = {name for (name,) in conn.execute("SELECT name FROM sqlite_master")}
        conn.close()
        if "signal_trial_ledger" in tables and "signal_trial_pruning" not in tables:
            seconds, tracker = timed(lambda: SearchTracker(copy, Identity()))
            tracker.close()
            print(f"{'first open, rows pruned learned from an older ledger':52} {seconds:>8.2f}")
        conn = sqlite3.connect(db)
        for kind in ("signal", "strategy"):
            conn.execute(f"DROP TABLE IF EXISTS {kind}_trial_ledger")
            conn.execute(f"DROP TABLE IF EXISTS {kind}_trial_pruning")
        conn.commit()
        conn.close()
        seconds, tracker = timed(lambda: SearchTracker(copy, Identity()))
        print(f"{'first open, ledger rebuilt from the rows':52} {seconds:>8.2f}")
        for method in ("raw", "graph_hash", "graph_jaccard"):
            seconds, entries = timed(lambda: tracker.get_trial_ledger(n_effective=method))
            trials = sum(e.trials for e in entries)
            effective = sum(e.effective_trials for e in entries)
            print(f"{'get_trial_ledger ' + method:52} {seconds:>8.2f}   "
                  f"{len(entries)} scopes, {trials:,} trials, {effective:,.0f} effective")
        seconds, _ = timed(lambda: tracker.get_trial_ledger(n_effective="raw", era_id=1,
                                                             eval_type="signal",
                                                             named_universe="US_TOP_500"))
        print(f"{'get_trial_ledger raw, one scope':52} {seconds:>8.2f}")
        best = tracker.get_trial_ledger(eval_type="signal")[0].best_eval_id
        seconds, _ = timed(lambda: tracker.get_deflated_sharpe(best, "signal", observations=1260))
        print(f"{'get_deflated_sharpe raw':52} {seconds:>8.2f}")
        seconds, _ = timed(lambda: tracker.get_multiple_testing_summary(observations=1260))
        print(f"{'get_multiple_testing_summary top 20':52} {seconds:>8.2f}")
        tracker.close()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--child")
    parser.add_argument("--count", type=int)
    parser.add_argument("--baseline-build")
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--store", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.count)
        return
    if args.baseline_build:
        overhead(os.path.abspath(args.build), os.path.abspath(args.baseline_build), args.repeat)
    reads(args.store)


if __name__ == "__main__":
    main()
