"""Pruning benchmark: `delete_evaluations(keep_last=...)` and `delete_failed_evaluations()` on a
store of 1,000,000 evaluations with their usage rows, the library against a pure-Python
implementation issuing the same statements with the standard library's sqlite3.

Every run works on a fresh copy of one cached store and runs in its own child process;
memory is the peak resident set of that process during the call (VmHWM, restarted just
before it) above its size before the call. Each side's result and the store it
leaves behind are checked: same counts, and no usage row without its evaluation.

With --baseline-build the baseline is the library of another build (its python/ folder on
the child's path) instead of the pure-Python statements, to measure what a change costs.

    PYTHONPATH=build/python .venv/bin/python bench/bench_pruning.py [--store 1000000] [--repeat 2]
        [--baseline-build /tmp/base/build]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import store_builder  # noqa: E402

TRIPLES = {
    "signal": ("signal_evaluations", "signal_function_usage", "signal_feature_usage"),
    "strategy": ("strategy_evaluations", "strategy_function_usage", "strategy_feature_usage"),
}
CHUNK = 500  # ids per DELETE, as the library binds them
INDEXES = {
    "signal_evaluations": ["idx_signal_era", "idx_signal_timestamp", "idx_signal_passed",
                           "idx_signal_rejection", "idx_signal_settings", "idx_signal_source"],
    "strategy_evaluations": ["idx_strategy_era", "idx_strategy_timestamp",
                             "idx_strategy_passed", "idx_strategy_rejection",
                             "idx_strategy_settings", "idx_strategy_signal_pool",
                             "idx_strategy_source"],
    "signal_function_usage": ["idx_sig_fn_eval", "idx_sig_fn_name"],
    "signal_feature_usage": ["idx_sig_feat_eval", "idx_sig_feat_name"],
    "strategy_function_usage": ["idx_meta_fn_eval", "idx_meta_fn_name"],
    "strategy_feature_usage": ["idx_meta_feat_eval", "idx_meta_feat_name"],
}


# --- the pure-Python baseline --------------------------------------------------------------

def baseline_connect(db_path):
    conn = sqlite3.connect(db_path, timeout=5.0, check_same_thread=False)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA foreign_keys=ON")
    conn.execute("PRAGMA synchronous=NORMAL")
    return conn


def baseline_delete_eval_ids(conn, id_list, eval_table, fn_table, feat_table):
    for table in (fn_table, feat_table, eval_table):
        for start in range(0, len(id_list), CHUNK):
            chunk = id_list[start:start + CHUNK]
            conn.execute(f"DELETE FROM {table} WHERE eval_id IN ({','.join('?' * len(chunk))})",
                         chunk)


def baseline_prune(conn, select_ids, error_prefix):
    counts = {"signal": [0, 0], "strategy": [0, 0]}  # deleted, remaining
    try:
        if not conn.in_transaction:
            conn.execute("BEGIN IMMEDIATE")
        for eval_type, (table, _, _) in TRIPLES.items():
            counts[eval_type][1] = conn.execute(f"SELECT COUNT(*) FROM {table}").fetchone()[0]
        for eval_type, triple in TRIPLES.items():
            ids = select_ids(conn, triple[0], counts[eval_type][1])
            if not ids:
                continue
            baseline_delete_eval_ids(conn, ids, *triple)
            for table in triple:
                for index in INDEXES.get(table, ()):
                    conn.execute(f"REINDEX {index}")
            counts[eval_type] = [len(ids), conn.execute(
                f"SELECT COUNT(*) FROM {triple[0]}").fetchone()[0]]
        conn.commit()
    except sqlite3.Error as e:
        conn.rollback()
        raise OSError(error_prefix + str(e)) from e
    return (counts["signal"][0], counts["strategy"][0], counts["signal"][1],
            counts["strategy"][1])


def baseline_delete_evaluations(conn, keep_last):
    def oldest(conn, table, total):
        if total - keep_last <= 0:
            return []
        return [r[0] for r in conn.execute(
            f"SELECT eval_id FROM {table} ORDER BY eval_id ASC LIMIT ?",
            (total - keep_last,)).fetchall()]
    return baseline_prune(conn, oldest, "Failed to delete evaluations: ")


def baseline_delete_failed_evaluations(conn):
    def failed(conn, table, _total):
        return [r[0] for r in conn.execute(
            f"SELECT eval_id FROM {table} WHERE passed_thresholds = 0").fetchall()]
    return baseline_prune(conn, failed, "Failed to delete failed evaluations: ")


# --- one measured run, in a child process -------------------------------------------------

def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_peak_rss():
    """Restart the process's peak resident set at its current size. getrusage's maximum
    cannot serve: it carries the parent's size from before the fork and exec."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def child(side, operation, data_dir, keep_last):
    db_path = os.path.join(data_dir, "tracking.db")
    if side in ("ours", "library"):
        from plintrove.search_tracking import SearchTracker
        handle = SearchTracker(data_dir)
        run = (lambda: handle.delete_evaluations(keep_last=keep_last)) \
            if operation == "keep_last" else handle.delete_failed_evaluations
    else:
        handle = baseline_connect(db_path)
        run = (lambda: baseline_delete_evaluations(handle, keep_last)) \
            if operation == "keep_last" else (lambda: baseline_delete_failed_evaluations(handle))
    reset_peak_rss()
    rss_before = status_kb("VmRSS")
    started, cpu = time.perf_counter(), time.process_time()
    result = run()
    seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
    peak = status_kb("VmHWM")
    if side in ("ours", "library"):
        result = (result.signal_rows_deleted, result.strategy_rows_deleted,
                  result.signal_rows_remaining, result.strategy_rows_remaining)
    handle.close()
    print(json.dumps({"seconds": seconds, "cpu": cpu, "peak_kb": peak, "before_kb": rss_before,
                      "result": list(result)}))


def orphan_usage_rows(db_path):
    conn = sqlite3.connect(db_path)
    try:
        return sum(conn.execute(
            f"SELECT COUNT(*) FROM {usage} u WHERE NOT EXISTS "
            f"(SELECT 1 FROM {table} e WHERE e.eval_id = u.eval_id)").fetchone()[0]
            for table, fn_table, feat_table in TRIPLES.values() for usage in (fn_table, feat_table))
    finally:
        conn.close()


def measure(side, operation, store_dir, work_root, keep_last, baseline_build=None):
    work = os.path.join(work_root, f"{side}-{operation}")
    shutil.rmtree(work, ignore_errors=True)
    store_builder.copy_store(store_dir, work)
    env = dict(os.environ)
    if side == "baseline" and baseline_build:
        side, env["PYTHONPATH"] = "library", os.path.join(baseline_build, "python")
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", side, operation,
                          work, "--keep-last", str(keep_last)],
                         check=True, capture_output=True, text=True, env=env)
    figures = json.loads(out.stdout.strip().splitlines()[-1])
    figures["orphans"] = orphan_usage_rows(os.path.join(work, "tracking.db"))
    shutil.rmtree(work, ignore_errors=True)
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--store", type=int, default=1_000_000)
    parser.add_argument("--keep-last", type=int, default=50_000)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--work", default="/tmp/plintrove-bench/pruning-work")
    parser.add_argument("--baseline-build")
    parser.add_argument("--child", nargs=3, metavar=("SIDE", "OPERATION", "DATA_DIR"))
    args = parser.parse_args()
    if args.child:
        child(*args.child, args.keep_last)
        return

    signals = args.store * 4 // 5
    store_dir = store_builder.cached_store(signals, args.store - signals)
    rows = []
    for operation, label in (("keep_last", f"delete_evaluations(keep_last={args.keep_last:,})"),
                             ("failed", "delete_failed_evaluations()")):
        # Alternating order (baseline first, then ours first, ...) so that neither side
        # always runs on the warmer machine; each side's fastest run counts.
        runs = {"baseline": [], "ours": []}
        for i in range(args.repeat):
            for side in (("baseline", "ours") if i % 2 == 0 else ("ours", "baseline")):
                runs[side].append(measure(side, operation, store_dir, args.work, args.keep_last,
                                          args.baseline_build))
        for run in runs["baseline"] + runs["ours"]:
            assert run["result"] == runs["baseline"][0]["result"], (label, run["result"])
            assert run["orphans"] == 0, (label, run["orphans"])
        base, ours = (min(runs[side], key=lambda r: r["seconds"]) for side in ("baseline", "ours"))
        base["cpu"], ours["cpu"] = (min(r["cpu"] for r in runs[side]) for side in ("baseline", "ours"))
        rows.append((label, base, ours))

    if args.baseline_build:
        print(f"baseline: the library built at {args.baseline_build}")
    print(f"\nstore: {signals:,} signal + {args.store - signals:,} strategy evaluations "
          f"with their usage rows; each run on a fresh copy in its own process; "
          f"fastest of {args.repeat} runs per side")
    print(f"{'operation':38} {'deleted (sig, strat)':>22} {'baseline s':>11} {'ours s':>8} "
          f"{'time ratio':>10} {'CPU ratio':>9} {'baseline MiB':>13} {'ours MiB':>9} "
          f"{'mem ratio':>9}")
    for label, base, ours in rows:
        deleted = f"{base['result'][0]:,}, {base['result'][1]:,}"
        base_mib = (base["peak_kb"] - base["before_kb"]) / 1024
        ours_mib = (ours["peak_kb"] - ours["before_kb"]) / 1024
        print(f"{label:38} {deleted:>22} {base['seconds']:>11.2f} {ours['seconds']:>8.2f} "
              f"{base['seconds'] / ours['seconds']:>9.2f}x {base['cpu'] / ours['cpu']:>8.2f}x "
              f"{base_mib:>13.1f} {ours_mib:>9.1f} {base_mib / ours_mib:>8.2f}x")
    print("time ratio = baseline / ours (above 1: ours faster), wall clock; CPU ratio the same "
          "for the process's CPU seconds (on a shared machine the steadier of the two); "
          "memory = peak resident set during the call above the process's size before it; "
          "mem ratio = baseline / ours")
    for label, base, ours in rows:
        print(f"{label}: CPU seconds baseline {base['cpu']:.2f}, ours {ours['cpu']:.2f}")
    for label, base, ours in rows:
        print(f"{label}: peak RSS of the whole process baseline {base['peak_kb'] / 1024:.1f} "
              f"MiB, ours {ours['peak_kb'] / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
