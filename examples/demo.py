"""A small search, end to end, on a new data directory: worker processes put evaluations on
a shared queue, the background writer stores them, the host records a strategy directly,
queries the history and statistics, submits a passed candidate, polls it to a verdict, and
finally shows what the database holds.

Run with `make demo` (the module is imported from build/python), which keeps the store in
build/demo-data and then shows it with `plintrove-tracking summary` and `report`. Given no
directory, the demo works in a temporary one. With PLINTROVE_DB_URL set to
a postgresql:// URL the same search runs on that PostgreSQL database; the README shows how to
start a server.
"""

import json
import multiprocessing
import os
import random
import sqlite3
import sys
import tempfile
from dataclasses import dataclass, field

from plintrove.search_tracking import BacktestStats, SearchTracker, WriterThread

FUNCTIONS = {"rank": ["cross_sectional", "rank"], "zscore": ["cross_sectional", "scale"],
             "ts_mean": ["time_series", "smooth"], "ts_delta": ["time_series", "change"]}
FEATURES = {"close": ["price", "raw"], "volume": ["liquidity", "raw"],
            "vwap": ["price", "derived"]}
META = {"pool_a": {"lookback": 20, "stage": "screen"}}


@dataclass
class LibraryIdentity:
    """Any object with `instance_id` and `author_id` can be attached as the identity."""

    instance_id: str
    author_id: str


@dataclass
class SearchStatus:
    error_code: str = None
    recovery_advice: str = None
    running: bool = True
    errors: list = field(default_factory=list)


def candidate(rng):
    leaf = lambda: {"type": "feature", "node": rng.choice(list(FEATURES))}  # noqa: E731
    inner = {"type": "function", "node": rng.choice(["ts_mean", "ts_delta"]),
             "children": [leaf()]}
    return {"type": "rotation", "node": rng.choice(["rank", "zscore"]),
            "children": [inner, leaf()]}


def worker(queue, seed, count):
    """A search worker: backtests candidates and hands every result to the writer."""
    rng = random.Random(seed)
    for _ in range(count):
        sharpe = rng.gauss(0.8, 0.6)
        passed = sharpe > 1.0
        queue.put({
            "type": "signal", "graph": candidate(rng),
            "stats": BacktestStats(sharpe=sharpe, returns=sharpe / 10, turnover=rng.random(),
                                   liquidity_metrics={"adv_usd": 2.5e6},
                                   custom_stats={"n_obs": 1260, "periods_per_year": 252}),
            "era_id": 1, "passed_thresholds": passed, "named_universe": "US_TOP_500",
            "metaparameters": META, "function_families": FUNCTIONS,
            "feature_families": FEATURES, "signal_pool_id": "pool_a",
            "rejection_reason": None if passed else "sharpe_below_threshold",
        })


def show_tables(db_path):
    conn = sqlite3.connect(db_path)
    try:
        journal_mode = conn.execute("PRAGMA journal_mode").fetchone()[0]
        user_version = conn.execute("PRAGMA user_version").fetchone()[0]
        print(f"\n{os.path.basename(db_path)}: journal_mode={journal_mode}, "
              f"user_version={user_version}")
        tables = [name for (name,) in conn.execute(
            "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' "
            "ORDER BY name")]
        width = max(len(name) for name in tables)
        for name in tables:
            count = conn.execute(f'SELECT COUNT(*) FROM "{name}"').fetchone()[0]
            columns = [row[1] for row in conn.execute(f'PRAGMA table_info("{name}")')]
            print(f"  {name:<{width}}  {count:>4} rows  {', '.join(columns)}")
    finally:
        conn.close()


def main(data_dir=None):
    if data_dir is None:
        with tempfile.TemporaryDirectory(prefix="plintrove-demo-") as temporary:
            search(temporary)
    else:
        os.makedirs(data_dir, exist_ok=True)
        search(data_dir)


def search(data_dir):
    tracker = SearchTracker(data_dir, LibraryIdentity("demo-instance", "demo-author"))
    try:
        print(f"tracker on {data_dir}, identity {tracker.current_identity()}")

        # Workers evaluate; the writer drains their queue in batches.
        queue = multiprocessing.Queue()
        status = SearchStatus()
        writer = WriterThread(tracker, queue, status, lambda: print("stop workers!"))
        writer.start()
        tracker.set_search_active(True)
        workers = [multiprocessing.Process(target=worker, args=(queue, seed, 40))
                   for seed in range(2)]
        for p in workers:
            p.start()
        for p in workers:
            p.join()
        writer.stop()
        tracker.set_search_active(False)
        print(f"writer stored {tracker.get_evaluation_count(eval_type='signal')} signal "
              f"evaluations (status running={status.running}, errors={status.errors})")

        # A strategy built from the best signals, recorded directly.
        best = [r.eval_id for r in tracker.get_evaluation_history(
            eval_type="signal", passed_only=True, limit=2)]
        strategy_id = tracker.record_strategy_evaluation(
            {"type": "reduction", "node": "mean",
             "children": [{"type": "feature", "node": f"signal_{i}"} for i in best]},
            BacktestStats(sharpe=1.6, returns=0.12), 1, True, best, "US_TOP_500",
            {"strat_pool": {"weighting": "equal"}}, "strat_pool", "pool_a")
        print(f"strategy {strategy_id} recorded over signals {best}")

        print("\nfunction yield:")
        for s in tracker.get_function_stats(era_id=1):
            print(f"  {s.function_name:<9} family={s.rotation_family!s:<16} "
                  f"total={s.total_evaluations:<3} passed={s.passed_evaluations:<3} "
                  f"yield={s.yield_rate:.2f}")
        print("top co-occurring functions:",
              [(p.function_a, p.function_b, p.total_cooccurrences)
               for p in tracker.get_function_cooccurrence()[:3]])
        print("rejections:", [(r.rejection_reason, r.count, round(r.percentage, 2))
                              for r in tracker.get_rejection_summary()])

        # Submission of the strategy: queue, attempt, record, poll to a verdict.
        payload = json.dumps({"strategy_pool_id": "strat_pool",
                              "strategy_signal_pool": "pool_a"})
        tracker.enqueue_submission(strategy_id, "strategy", payload, 1)
        item = tracker.dequeue_submission()
        tracker.record_submission_attempt_started(item.eval_id, item.eval_type,
                                                  f"demo-key-{strategy_id}", 1,
                                                  item.payload_json)
        # Ids unique per strategy: a PostgreSQL database keeps earlier runs' rows.
        submission_id = f"sub-{strategy_id:03d}"
        tracker.record_submission_once_and_mark_submitted(
            item.eval_id, item.eval_type, submission_id, 1)
        tracker.update_submission_status(submission_id, "strategy_is_validating")
        tracker.update_submission_status(submission_id, "strategy_useful", useful_flag=True,
                                         payment_usdc=12.5)
        print("submission:", tracker.get_submission_for_sim(f"search-strategy-{strategy_id}"))
        print("counts:", tracker.get_submission_counts())

        info = tracker.get_db_info()
        print(f"\ndatabase: {info.file_size_bytes} bytes, reasons described: "
              f"{json.dumps(info.reason_descriptions['rejection_reasons'])}")
        if tracker._db_path:
            show_tables(tracker._db_path)
        else:  # PostgreSQL: no file to show, but the same tables
            print(f"\nPostgreSQL database: {tracker._db_url}")
            width = max(len(name) for name in info.row_counts)
            for name, count in info.row_counts.items():
                print(f"  {name:<{width}}  {count:>4} rows")
    finally:
        tracker.close()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
