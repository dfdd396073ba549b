"""PostgreSQL storage: the library against the pure-Python baseline of baseline_postgres.py
(the same statements through psycopg2), every ratio measured in one run on one server that
this script starts from Debian's binaries and removes at the end.

    PYTHONPATH=build/python .venv/bin/python bench/bench_postgres.py [--store N]

Workloads: direct recording (record_signal_evaluation, one commit each), the writer's
`_do_write` on batches of 100, a history page of 1,000 and function statistics on a store of
N evaluations. Each side runs on a database of its own, copied from the same template.
"""

from __future__ import annotations

import argparse
import os
import queue as queue_module
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import store_builder  # noqa: E402
from baseline_postgres import PostgresBaselineStore, PostgresBaselineTracker  # noqa: E402
from baseline_writer import BaselineWriterThread  # noqa: E402
from bench_recording_queries import Identity, best_of, recording_rate  # noqa: E402
from bench_writer import Status, make_items  # noqa: E402
from pg_server import PostgresServer  # noqa: E402
from plintrove.search_tracking import SearchTracker, WriterThread  # noqa: E402


def tracker_on(server, dbname, data_dir):
    os.environ["PLINTROVE_DB_URL"] = server.url(dbname)
    try:
        return SearchTracker(data_dir, Identity())
    finally:
        del os.environ["PLINTROVE_DB_URL"]


def fresh_database(server, data_dir):
    """A database with the tracker's tables, for either side."""
    name = server.create_database("bench")
    tracker_on(server, name, data_dir).close()
    return name


def recording(server, data_dir, calls):
    graphs = store_builder.make_templates(500, seed=11)
    tracker = tracker_on(server, fresh_database(server, data_dir), data_dir)
    # Wall clock: the server's work is not in this process's CPU time.
    ours, _ = recording_rate(tracker.record_signal_evaluation, calls, graphs)
    tracker.close()
    baseline = PostgresBaselineTracker(server.url(fresh_database(server, data_dir)))
    base, _ = recording_rate(baseline.record_signal_evaluation, calls, graphs)
    baseline.conn.close()
    return base, ours


def write_path(server, data_dir, items, batch_size):
    rates = {}
    for kind in ("baseline", "ours"):
        name = fresh_database(server, data_dir)
        if kind == "ours":
            store = tracker_on(server, name, data_dir)
            writer = WriterThread(store, queue_module.Queue(), Status(), lambda: None)
        else:
            store = PostgresBaselineStore(server.url(name), Identity())
            writer = BaselineWriterThread(store, queue_module.Queue(), Status(), lambda: None)
        started = time.perf_counter()
        for i in range(0, len(items), batch_size):
            writer._do_write(items[i:i + batch_size])
        rates[kind] = len(items) / (time.perf_counter() - started)
        store.close()
    return rates["baseline"], rates["ours"]


def build_store(server, data_dir, evaluations):
    """A database of `evaluations` signal evaluations with their usage rows, written by the
    library's writer in large batches."""
    name = fresh_database(server, data_dir)
    tracker = tracker_on(server, name, data_dir)
    writer = WriterThread(tracker, queue_module.Queue(), Status(), lambda: None)
    items = make_items(evaluations, 5, strategy_share=0.0)
    for i in range(0, evaluations, 2000):
        writer._do_write([dict(it, type="signal", signal_pool_id="pool_a")
                          for it in items[i:i + 2000]])
    tracker.close()
    conn = server.connect(name)  # planner statistics, as autovacuum would gather them
    conn.cursor().execute("ANALYZE")
    conn.close()
    return name


def same_answers(name, base, ours):
    assert len(base) == len(ours), (name, len(base), len(ours))
    for b, o in zip(base, ours):
        for key in ("eval_id", "total_evaluations", "passed_evaluations", "yield_rate"):
            if key in b:
                assert abs(float(b[key]) - float(getattr(o, key))) < 1e-9, (name, key, b, o)


def queries(server, data_dir, evaluations, repeat):
    name = build_store(server, data_dir, evaluations)
    tracker = tracker_on(server, name, data_dir)
    baseline = PostgresBaselineTracker(server.url(name))
    rows = []
    for label, base_fn, ours_fn in (
        ("history page of 1,000 with usage lists",
         lambda: baseline.get_evaluation_history(limit=1000),
         lambda: tracker.get_evaluation_history(limit=1000)),
        ("get_function_stats", baseline.get_function_stats, tracker.get_function_stats),
    ):
        same_answers(label, base_fn(), ours_fn())
        base_best, _ = best_of(base_fn, repeat)
        ours_best, _ = best_of(ours_fn, repeat)
        rows.append((label, f"{base_best * 1000:.1f} ms", f"{ours_best * 1000:.1f} ms",
                     base_best / ours_best))
    tracker.close()
    baseline.conn.close()
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=3000, help="direct recordings per side")
    parser.add_argument("--write-items", type=int, default=5000)
    parser.add_argument("--store", type=int, default=50_000, help="evaluations for the queries")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    os.environ.pop("PLINTROVE_DB_URL", None)
    server = PostgresServer()
    try:
        with tempfile.TemporaryDirectory() as data_dir:
            table = []
            print("direct recording ...", flush=True)
            base, ours = recording(server, data_dir, args.calls)
            table.append(("record_signal_evaluation (calls/s)", f"{base:,.0f}/s",
                          f"{ours:,.0f}/s", ours / base))
            print("write path ...", flush=True)
            items = [dict(it, type="signal", signal_pool_id="pool_a")
                     for it in make_items(args.write_items, 7, strategy_share=0.0)]
            base, ours = write_path(server, data_dir, items, 100)
            table.append(("_do_write, batches of 100 (evals/s)", f"{base:,.0f}/s",
                          f"{ours:,.0f}/s", ours / base))
            print(f"store of {args.store:,} evaluations and queries ...", flush=True)
            table += queries(server, data_dir, args.store, args.repeat)
    finally:
        server.stop()

    print(f"\nPostgreSQL 15, one server, Unix socket; recording: {args.calls:,} calls; "
          f"write path: {args.write_items:,} items; store: {args.store:,} evaluations")
    print(f"{'workload':48} {'baseline':>14} {'ours':>14} {'ratio':>7}")
    for name, base, ours, ratio in table:
        print(f"{name:48} {base:>14} {ours:>14} {ratio:>6.1f}x")


if __name__ == "__main__":
    main()
