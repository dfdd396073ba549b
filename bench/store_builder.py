"""Builds tracking.db stores of realistic evaluations for the benchmarks.

The schema comes from the library itself (a SearchTracker is built on the directory first);
rows are then bulk-inserted with the standard library's sqlite3, with the same columns the
recording path writes. Graphs hold 5-15 function and feature nodes drawn from a fixed
vocabulary, so usage statistics and co-occurrence have realistic group counts.
"""

from __future__ import annotations

import json
import os
import random
import shutil
import sqlite3
import time

FUNCTIONS = [f"fn_{i:02d}" for i in range(60)]
ROTATION_FAMILIES = [f"family_{i}" for i in range(8)]
FUNCTION_FAMILIES = {
    name: [ROTATION_FAMILIES[i % len(ROTATION_FAMILIES)], f"sub_{i % 5}"]
    for i, name in enumerate(FUNCTIONS)
}
FEATURES = [f"feat_{i:03d}" for i in range(120)]
FEATURE_FAMILIES = {name: [f"ffam_{i % 6}", f"fsub_{i % 4}"] for i, name in enumerate(FEATURES)}
FUNCTION_KINDS = ["rotation", "filtration", "reduction", "function"]
UNIVERSES = ["US_TOP_500", "US_TOP_1000", "EU_TOP_300"]
LOOKBACKS = [5, 10, 20, 60]

SIGNAL_COLUMNS = (
    "timestamp, era_id, graph_json, tree_depth, rotation_families_json, passed_thresholds, "
    "sharpe, returns, turnover, drawdown, delta_exposure, max_weight, quality_score, "
    "agent_is_correlation, per_column_stats_json, rejection_reason, named_universe, "
    "metaparameters, submitted, liquidity_metrics_json, signal_pool_id, source, "
    "expression_elapsed_seconds, is_correlation, is_pnl_mi, agent_is_pnl_mi, failure_reason, "
    "failure_detail, instance_id, author_id"
)
STRATEGY_COLUMNS = SIGNAL_COLUMNS.replace(
    "signal_pool_id,", "referenced_signal_ids_json, strategy_pool_id, strategy_signal_pool,"
)
REJECTIONS = ["low_sharpe", "high_turnover", "high_correlation", "drawdown_limit"]


def random_graph(rng: random.Random) -> dict:
    """A graph with 5-15 nodes: function nodes inside, feature nodes at the leaves."""
    target = rng.randint(5, 15)

    def node(budget: int) -> tuple[dict, int]:
        if budget <= 1:
            return {"type": "feature", "node": rng.choice(FEATURES)}, 1
        kind = rng.choice(FUNCTION_KINDS)
        arity = rng.randint(1, min(3, budget - 1))
        children, used, remaining = [], 1, budget - 1
        for i in range(arity):
            share = remaining // (arity - i)
            child, n = node(max(1, share))
            children.append(child)
            used += n
            remaining -= n
        return {"type": kind, "node": rng.choice(FUNCTIONS), "children": children}, used

    return node(target)[0]


def analyse(graph: dict) -> tuple[int, list[str], list[str]]:
    functions: list[str] = []
    features: list[str] = []

    def walk(g: dict) -> int:
        if g["type"] == "feature":
            features.append(g["node"])
        else:
            functions.append(g["node"])
        return 1 + max((walk(c) for c in g.get("children", [])), default=0)

    return walk(graph), functions, features


def rotation_families(functions: list[str]) -> list[str]:
    seen: list[str] = []
    for name in functions:
        family = FUNCTION_FAMILIES[name][0]
        if family not in seen:
            seen.append(family)
    return seen


def make_templates(count: int, seed: int) -> list[dict]:
    """Pre-computed graphs with their JSON text and usage rows, reused across rows."""
    rng = random.Random(seed)
    templates = []
    for _ in range(count):
        graph = random_graph(rng)
        depth, functions, features = analyse(graph)
        templates.append(
            {
                "graph": graph,
                "graph_json": json.dumps(graph),
                "depth": depth,
                "functions": functions,
                "features": features,
                "families_json": json.dumps(rotation_families(functions)),
            }
        )
    return templates


def ensure_schema(data_dir: str) -> str:
    from plintrove.search_tracking import SearchTracker

    tracker = SearchTracker(data_dir)
    tracker.close()
    return os.path.join(data_dir, "tracking.db")


def fill(db_path: str, n_signals: int, n_strategies: int = 0, seed: int = 7,
         templates: int = 4000) -> None:
    """Append evaluations with their usage rows to an existing tracker database."""
    rng = random.Random(seed)
    graphs = make_templates(templates, seed)
    conn = sqlite3.connect(db_path)
    conn.execute("PRAGMA synchronous=OFF")
    now = time.time() - 86400.0
    for table, count, columns, fn_table, feat_table in (
        ("signal_evaluations", n_signals, SIGNAL_COLUMNS, "signal_function_usage",
         "signal_feature_usage"),
        ("strategy_evaluations", n_strategies, STRATEGY_COLUMNS, "strategy_function_usage",
         "strategy_feature_usage"),
    ):
        if count == 0:
            continue
        start = conn.execute(f"SELECT COALESCE(MAX(eval_id), 0) FROM {table}").fetchone()[0]
        placeholders = ", ".join("?" for _ in columns.split(", "))
        insert = f"INSERT INTO {table} (eval_id, {columns}) VALUES (?, {placeholders})"
        fn_insert = (f"INSERT INTO {fn_table} (eval_id, function_name, rotation_family, "
                     "function_family, function_subfamily) VALUES (?, ?, ?, ?, ?)")
        feat_insert = (f"INSERT INTO {feat_table} (eval_id, feature_name, feature_family, "
                       "feature_subfamily) VALUES (?, ?, ?, ?)")
        chunk = 50_000
        for base in range(0, count, chunk):
            rows, fn_rows, feat_rows = [], [], []
            for i in range(base, min(count, base + chunk)):
                eval_id = start + i + 1
                t = graphs[rng.randrange(len(graphs))]
                passed = rng.random() < 0.15
                meta = json.dumps({"pool_a": {"lookback": rng.choice(LOOKBACKS), "stage": 1}})
                pool = ["pool_a"] if table == "signal_evaluations" else [
                    json.dumps([rng.randint(1, max(1, n_signals))]), "strat_pool", "pool_a"]
                rows.append(
                    (eval_id, now + i * 0.01, rng.randint(1, 3), t["graph_json"], t["depth"],
                     t["families_json"], 1 if passed else 0, rng.gauss(0.5, 1.0),
                     rng.gauss(0.05, 0.1), rng.random(), rng.random() * 0.3, rng.random() * 0.1,
                     rng.random() * 0.05, rng.random(), rng.random(), None,
                     None if passed else rng.choice(REJECTIONS), rng.choice(UNIVERSES), meta, 0,
                     "{}", *pool, "search", rng.random() * 2.0, None, None, None, None, None,
                     "bench-instance", "bench-author")
                )
                for name in t["functions"]:
                    family, sub = FUNCTION_FAMILIES[name]
                    fn_rows.append((eval_id, name, family, family, sub))
                for name in t["features"]:
                    family, sub = FEATURE_FAMILIES[name]
                    feat_rows.append((eval_id, name, family, sub))
            conn.executemany(insert, rows)
            conn.executemany(fn_insert, fn_rows)
            conn.executemany(feat_insert, feat_rows)
            conn.commit()
    conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    conn.close()


def cached_store(n_signals: int, n_strategies: int, cache_root: str = "/tmp/plintrove-bench") -> str:
    """Path of a data directory holding a store of this size, built once and then reused."""
    data_dir = os.path.join(cache_root, f"store-{n_signals}-{n_strategies}")
    marker = os.path.join(data_dir, ".complete")
    if not os.path.exists(marker):
        shutil.rmtree(data_dir, ignore_errors=True)
        os.makedirs(data_dir)
        started = time.perf_counter()
        db_path = ensure_schema(data_dir)
        fill(db_path, n_signals, n_strategies)
        open(marker, "w").close()
        print(f"built {data_dir} in {time.perf_counter() - started:.0f}s", flush=True)
    return data_dir


def copy_store(src_dir: str, dst_dir: str) -> str:
    """A private copy of a cached store, for benchmarks that modify it."""
    os.makedirs(dst_dir, exist_ok=True)
    for name in ("tracking.db", "tracking.db-wal", "tracking.db-shm"):
        src = os.path.join(src_dir, name)
        if os.path.exists(src):
            shutil.copyfile(src, os.path.join(dst_dir, name))
    return dst_dir
