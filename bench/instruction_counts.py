"""Instructions per evaluation, counted by callgrind: `_do_write` on batches of 100 (item
conversion included) and direct `record_signal_evaluation`, each against the raw C-API loop
of raw_sqlite_ceiling.cpp storing the same rows with the same settings.

Counts do not move with the machine's load the way timings do, so a change of one percent
shows between two builds. They do not see what an instruction costs (cache misses, waits
for the disk), so the timed benchmarks stay the measure of the targets.

Each figure is a difference of two runs that differ only in the work measured: the same
items made and the same store opened and closed, with and without storing them. The
checkpointer's thread is counted in both kinds alike.

    PYTHONPATH=build/python .venv/bin/python bench/instruction_counts.py [--build build]
        [--items 2000]

Needs valgrind (`make bench-instructions` installs it).
"""

from __future__ import annotations

import argparse
import os
import queue as queue_module
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench_writer  # noqa: E402
from plintrove.search_tracking import SearchTracker, WriterThread  # noqa: E402

SEED = 7
WARM_UP = 10  # items stored before the measured ones, so statements are prepared in both runs
BATCH = 100
RECORDING_ARGS = ("graph", "stats", "era_id", "passed_thresholds", "named_universe",
                  "metaparameters", "signal_pool_id", "function_families", "feature_families",
                  "per_column_stats", "rejection_reason", "source", "expression_elapsed_seconds")


def items_for(count: int) -> list[dict]:
    return bench_writer.make_items(WARM_UP + count, SEED, strategy_share=0.0)


def write_items(tracker, items) -> None:
    writer = WriterThread(tracker, queue_module.Queue(), bench_writer.Status(), lambda: None)
    for first in range(0, len(items), BATCH):
        writer._do_write(items[first:first + BATCH])


def recording_calls(items) -> list[tuple]:
    return [tuple(item[k] for k in RECORDING_ARGS) for item in items]


def record_items(tracker, calls) -> None:
    # Keywords as a host passes them, from arguments read out beforehand in both runs: a dict
    # of arguments built and unpacked per call would cost ours thousands of instructions the
    # raw loop never pays.
    record = tracker.record_signal_evaluation
    for (graph, stats, era_id, passed, universe, metaparameters, pool_id, function_families,
         feature_families, per_column_stats, rejection_reason, source, elapsed) in calls:
        record(graph=graph, stats=stats, era_id=era_id, passed_thresholds=passed,
               named_universe=universe, metaparameters=metaparameters, signal_pool_id=pool_id,
               function_families=function_families, feature_families=feature_families,
               per_column_stats=per_column_stats, rejection_reason=rejection_reason,
               source=source, expression_elapsed_seconds=elapsed)


def child(kind: str, measured: bool, count: int, data_dir: str) -> None:
    """One run under callgrind: the warm-up, then the items only when measured."""
    items = items_for(count)
    if kind == "recording":
        items = recording_calls(items)
    tracker = SearchTracker(data_dir, bench_writer.Identity())
    store = write_items if kind == "writer" else record_items
    store(tracker, items[:WARM_UP])
    if measured:
        store(tracker, items[WARM_UP:])
    tracker.close()


def callgrind(command: list[str]) -> int:
    """Instructions the command executed, every thread's."""
    with tempfile.TemporaryDirectory() as out_dir:
        done = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_dir}/callgrind.out",
             *command], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed under callgrind:\n{done.stderr[-2000:]}")
    collected = re.search(r"Collected : (\d+)", done.stderr)
    if collected is None:
        raise SystemExit(f"no instruction count from callgrind:\n{done.stderr[-2000:]}")
    return int(collected.group(1))


def ours_per_item(kind: str, count: int, root: str) -> float:
    runs = []
    for measured in (False, True):
        data_dir = tempfile.mkdtemp(dir=root)
        runs.append(callgrind([sys.executable, os.path.abspath(__file__), "--child", kind,
                               "--items", str(count), "--dir", data_dir,
                               *(["--measured"] if measured else [])]))
    return (runs[1] - runs[0]) / count


def raw_per_item(build_dir: str, batch_size: int, source_dir: str, count: int,
                 root: str) -> float:
    """The raw loop storing the rows of `source_dir` (its warm-up rows are not among them)."""
    runs = []
    for batch in (0, batch_size):
        target = tempfile.mkdtemp(dir=root)
        SearchTracker(target).close()  # the schema and page size, as for ours
        runs.append(callgrind([os.path.join(build_dir, "raw_sqlite_ceiling"),
                               os.path.join(source_dir, "tracking.db"),
                               os.path.join(target, "tracking.db"), str(batch),
                               "background-checkpoints"]))
    return (runs[1] - runs[0]) / count


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--items", type=int, default=2000)
    parser.add_argument("--child", choices=("writer", "recording"), help=argparse.SUPPRESS)
    parser.add_argument("--measured", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--dir", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.measured, args.items, args.dir)
        return 0
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind not found: `make bench-instructions` installs it")

    root = tempfile.mkdtemp(prefix="plintrove-instructions-")
    try:
        # The rows the raw loop stores: the measured items, written by the writer itself.
        source = tempfile.mkdtemp(dir=root)
        tracker = SearchTracker(source, bench_writer.Identity())
        write_items(tracker, items_for(args.items)[WARM_UP:])
        tracker.close()
        rows = [
            ("_do_write, batches of 100", ours_per_item("writer", args.items, root),
             raw_per_item(args.build, BATCH, source, args.items, root)),
            ("record_signal_evaluation (raw: batches of 1)",
             ours_per_item("recording", args.items, root),
             raw_per_item(args.build, 1, source, args.items, root)),
        ]
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"instructions per evaluation, {args.items:,} evaluations")
    print(f"{'workload':<48}{'raw C-API loop':>16}{'ours':>12}{'ratio':>8}")
    for name, ours, raw in rows:
        print(f"{name:<48}{raw:>16,.0f}{ours:>12,.0f}{raw / ours:>8.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
