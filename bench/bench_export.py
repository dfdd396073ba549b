"""Export benchmark: `plintrove-tracking export` of a store of 1,000,000 evaluations (the
cached store of the query benchmarks) to each format, as a user runs it.

Each export runs in its own child process; the figures are its wall time and its peak
resident set (the child's ru_maxrss), and the check is that the file holds exactly as many
rows as the store holds evaluations.

    PYTHONPATH=build/python .venv/bin/python bench/bench_export.py [--formats csv parquet]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import store_builder  # noqa: E402
from plintrove.search_tracking import SearchTracker  # noqa: E402

MEMORY_CEILING_MB = 200


def rows_in(path: str, fmt: str) -> int:
    if fmt == "parquet":
        import pyarrow.parquet as pq
        return pq.ParquetFile(path).metadata.num_rows
    with open(path, "rb") as f:
        lines = sum(1 for _ in f)
    return lines - 1 if fmt == "csv" else lines


def export_once(store: str, fmt: str, out: str) -> tuple[float, float, float]:
    """(wall seconds, CPU seconds, peak MiB) of one export in a fresh child process; CPU
    time is given because other work on a shared machine stretches the wall time."""
    script = ("import resource, sys; from plintrove.cli import main; code = main(sys.argv[1:]); "
              "u = resource.getrusage(resource.RUSAGE_SELF); "
              "print(u.ru_utime + u.ru_stime, u.ru_maxrss, file=sys.stderr); sys.exit(code)")
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", script, "export", store, "--format", fmt,
                           "--out", out], capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit(f"export failed: {done.stderr}")
    cpu, peak_kib = done.stderr.strip().splitlines()[-1].split()
    return seconds, float(cpu), int(peak_kib) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--signals", type=int, default=800_000)
    parser.add_argument("--strategies", type=int, default=200_000)
    parser.add_argument("--formats", nargs="+", default=["csv", "jsonl", "parquet"])
    args = parser.parse_args()

    store = store_builder.cached_store(args.signals, args.strategies)
    with SearchTracker(store, read_only=True) as tracker:
        expected = tracker.get_evaluation_count()
    results = []
    with tempfile.TemporaryDirectory(prefix="plintrove-export-") as scratch:
        for fmt in args.formats:
            out = os.path.join(scratch, f"history.{fmt}")
            seconds, cpu, peak = export_once(store, fmt, out)
            size = os.path.getsize(out)
            rows = rows_in(out, fmt)
            os.remove(out)
            results.append({"format": fmt, "rows": rows, "store_rows": expected,
                            "seconds": round(seconds, 1), "cpu_seconds": round(cpu, 1),
                            "rows_per_s": round(rows / seconds),
                            "peak_mib": round(peak, 1), "file_mib": round(size / 2**20, 1)})
            print(json.dumps(results[-1]), flush=True)
    print("\n| format | rows (store) | wall s | CPU s | rows/s | peak RSS MiB | file MiB |")
    print("|---|---|---|---|---|---|---|")
    for r in results:
        print(f"| {r['format']} | {r['rows']:,} ({r['store_rows']:,}) | {r['seconds']} | "
              f"{r['cpu_seconds']} | {r['rows_per_s']:,} | {r['peak_mib']} | {r['file_mib']} |")
    failed = [r for r in results
              if r["rows"] != r["store_rows"] or r["peak_mib"] >= MEMORY_CEILING_MB]
    if failed:
        raise SystemExit(f"row count or memory ceiling ({MEMORY_CEILING_MB} MiB) missed: {failed}")


if __name__ == "__main__":
    main()
