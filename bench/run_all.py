"""Runs every benchmark under bench/ in turn; each prints its own table of ratios.

    PYTHONPATH=build/python .venv/bin/python bench/run_all.py
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BENCHMARKS = [
    "bench_recording_queries.py", "bench_writer.py", "bench_pruning.py", "bench_postgres.py",
]


def main() -> int:
    failed = 0
    for name in BENCHMARKS:
        print(f"\n=== {name}", flush=True)
        failed |= subprocess.call([sys.executable, os.path.join(HERE, name)]) != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
