"""A plain pure-Python writer thread on the standard library's sqlite3 and json: the
baseline the writer benchmarks compare against.

It drains the same queue, batches and flushes by the same rules, and issues the same
statements in the same order, as the library's WriterThread; it is not used by the library.
"""

from __future__ import annotations

import json
import logging
import os
import shutil
import sqlite3
import threading
import time

logger = logging.getLogger("plintrove.search_tracking")

DISK_THRESHOLD = 524288000
FUNCTION_NODE_TYPES = ("rotation", "filtration", "reduction")
BASE_COLUMNS = (
    "timestamp, era_id, graph_json, tree_depth, rotation_families_json, passed_thresholds, "
    "sharpe, returns, turnover, drawdown, delta_exposure, max_weight, quality_score, "
    "agent_is_correlation, per_column_stats_json, rejection_reason, named_universe, "
    "metaparameters, submitted, liquidity_metrics_json, source, expression_elapsed_seconds"
)


class CrossPoolReferenceError(ValueError):
    pass


def compute_tree_depth(graph):
    if not graph:
        return 0
    children = graph.get("children", [])
    if not children:
        return 1
    return 1 + max(compute_tree_depth(c) for c in children)


def extract_names(graph, node_type):
    if not graph:
        return []
    names = []
    gtype = graph.get("type")
    if node_type == "function" and gtype in FUNCTION_NODE_TYPES:
        if graph.get("node"):
            names.append(graph["node"])
    elif gtype == node_type and graph.get("node"):
        names.append(graph["node"])
    for child in graph.get("children", []):
        names.extend(extract_names(child, node_type))
    return names


def collect_rotation_families(functions, function_families):
    if not function_families:
        return []
    seen = []
    for name in functions:
        if name in function_families:
            family = function_families[name][0]
            if family not in seen:
                seen.append(family)
    return seen


def insert_usage_rows(conn, eval_id, functions, features, fn_table, feat_table,
                      function_families, feature_families):
    for name in functions:
        family = subfamily = None
        if function_families and name in function_families:
            family, subfamily = function_families[name][0], function_families[name][1]
        conn.execute(
            "INSERT INTO " + fn_table + " (eval_id, function_name, rotation_family, "
            "function_family, function_subfamily) VALUES (?, ?, ?, ?, ?)",
            (eval_id, name, family, family, subfamily))
    for name in features:
        family = subfamily = None
        if feature_families and name in feature_families:
            family, subfamily = feature_families[name][0], feature_families[name][1]
        conn.execute(
            "INSERT INTO " + feat_table + " (eval_id, feature_name, feature_family, "
            "feature_subfamily) VALUES (?, ?, ?, ?)",
            (eval_id, name, family, subfamily))


def validate_pool_id_required(value, field_name):
    if not isinstance(value, str) or not value:
        raise ValueError(f"{field_name} must be a non-empty string")
    return value


def check_strategy_signal_pool_references(conn, strategy_pool_id, strategy_signal_pool,
                                          referenced_signal_ids):
    for signal_id in referenced_signal_ids:
        row = conn.execute("SELECT signal_pool_id FROM signal_evaluations WHERE eval_id=?",
                           (signal_id,)).fetchone()
        actual = row[0] if row else None
        if actual != strategy_signal_pool:
            raise CrossPoolReferenceError(
                f"strategy_pool_id={strategy_pool_id!r} strategy_id=<pending> "
                f"referenced_signal_id={signal_id!r} "
                f"expected_strategy_signal_pool={strategy_signal_pool!r} "
                f"actual_signal_pool_id={actual!r}")


class BaselineStore:
    """The parts of a tracker the writer uses: connection, database path and identity."""

    def __init__(self, data_dir, identity):
        self._db_path = os.path.join(data_dir, "tracking.db")
        self._conn = sqlite3.connect(self._db_path, check_same_thread=False)
        self._conn.execute("PRAGMA journal_mode=WAL")
        self._conn.execute("PRAGMA foreign_keys=ON")
        self._conn.execute("PRAGMA synchronous=NORMAL")
        self._identity = identity

    def _identity_columns(self):
        if self._identity is None:
            raise ValueError("SearchTracker writes require an attached LibraryIdentity; call "
                             "set_identity() before recording evaluations or submissions.")
        return (("instance_id", "author_id"),
                (self._identity.instance_id, self._identity.author_id))

    def close(self):
        self._conn.close()


class BaselineWriterThread:
    """Writer thread for batched DB writes."""

    def __init__(self, tracker, queue, search_status, stop_workers_callback):
        self._tracker = tracker
        self._queue = queue
        self._status = search_status
        self._stop_workers = stop_workers_callback
        self._stop_event = threading.Event()
        self._thread = None

    def start(self):
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def stop(self):
        self._stop_event.set()
        if self._thread is not None:
            self._thread.join(timeout=5.0)

    def _drain_queue(self, final=False):
        items = []
        if not final:
            while True:
                try:
                    items.append(self._queue.get_nowait())
                except Exception:
                    return items
        idle_deadline = time.monotonic() + 0.05
        hard_deadline = time.monotonic() + 1.0
        while time.monotonic() < hard_deadline:
            try:
                items.append(self._queue.get(timeout=0.02))
                idle_deadline = time.monotonic() + 0.05
            except Exception:
                if time.monotonic() >= idle_deadline:
                    break
        return items

    def _run(self):
        batch = []
        last_flush = time.time()
        while not self._stop_event.is_set():
            batch.extend(self._drain_queue())
            now = time.time()
            if len(batch) >= 100 or (batch and now - last_flush >= 2.0):
                self._flush(batch)
                batch = []
                last_flush = time.time()
            self._stop_event.wait(0.1)
        batch.extend(self._drain_queue(final=True))
        if batch:
            self._flush(batch)

    def _flush(self, batch):
        db_path = self._tracker._db_path
        if db_path:
            try:
                free = shutil.disk_usage(os.path.dirname(db_path)).free
                if free < DISK_THRESHOLD:
                    self._status.error_code = "DISK_FULL"
                    self._status.recovery_advice = (
                        "Free disk space or run delete_evaluations() to remove old data.")
                    self._status.running = False
                    self._stop_workers()
                    self._stop_event.set()
                    return
            except Exception as e:
                logger.warning("Disk space check failed: %s", e)
        try:
            self._do_write(batch)
        except Exception:
            time.sleep(0.5)
            try:
                self._do_write(batch)
            except Exception as e:
                self._status.error_code = "DATABASE_WRITE_FAILED"
                self._status.recovery_advice = "Check database file permissions and disk space."
                self._status.running = False
                self._status.errors.append(f"Database write failed: {e}")
                self._stop_workers()
                self._stop_event.set()

    def _do_write(self, batch):
        conn = self._tracker._conn
        conn.execute("BEGIN")
        try:
            for item in batch:
                self._write_evaluation(conn, item)
            conn.execute("COMMIT")
        except Exception:
            try:
                conn.execute("ROLLBACK")
            except Exception as rollback_error:
                logger.warning("ROLLBACK failed during evaluation batch write: %s",
                               rollback_error)
            raise

    def _write_evaluation(self, conn, item):
        eval_type = item.get("type", "signal")
        graph = item.get("graph")
        stats = item.get("stats")
        era_id = item.get("era_id", 1)
        passed_thresholds = item.get("passed_thresholds", True)
        named_universe = item.get("named_universe", "")
        metaparameters = item.get("metaparameters")
        function_families = item.get("function_families")
        feature_families = item.get("feature_families")
        per_column_stats = item.get("per_column_stats")
        rejection_reason = item.get("rejection_reason")
        source = item.get("source", "search")
        expression_elapsed_seconds = item.get("expression_elapsed_seconds")
        is_strategy = eval_type == "strategy"

        tree_depth = compute_tree_depth(graph)
        functions = extract_names(graph, "function")
        features = extract_names(graph, "feature")
        rotation_families = collect_rotation_families(functions, function_families)

        meta_json = json.dumps(metaparameters) if metaparameters else "{}"
        per_column_json = json.dumps(per_column_stats) if per_column_stats is not None else None
        liquidity_json = (json.dumps(stats.liquidity_metrics)
                          if stats is not None and stats.liquidity_metrics is not None else None)

        columns = BASE_COLUMNS
        values = [
            time.time(), era_id, json.dumps(graph), tree_depth, json.dumps(rotation_families),
            1 if passed_thresholds else 0, stats.sharpe, stats.returns, stats.turnover,
            stats.drawdown, stats.delta_exposure, stats.max_weight, stats.quality_score,
            stats.correlation, per_column_json, rejection_reason, named_universe, meta_json, 0,
            liquidity_json, source, expression_elapsed_seconds,
        ]
        if is_strategy:
            referenced_signal_ids = item.get("referenced_signal_ids", [])
            strategy_pool_id = validate_pool_id_required(item.get("strategy_pool_id"),
                                                         "strategy_pool_id")
            strategy_signal_pool = validate_pool_id_required(item.get("strategy_signal_pool"),
                                                             "strategy_signal_pool")
            check_strategy_signal_pool_references(conn, strategy_pool_id, strategy_signal_pool,
                                                  referenced_signal_ids)
            table = "strategy_evaluations"
            columns += ", referenced_signal_ids_json, strategy_pool_id, strategy_signal_pool"
            values += [json.dumps(referenced_signal_ids), strategy_pool_id, strategy_signal_pool]
            fn_table, feat_table = "strategy_function_usage", "strategy_feature_usage"
        else:
            signal_pool_id = validate_pool_id_required(item.get("signal_pool_id"),
                                                       "signal_pool_id")
            table = "signal_evaluations"
            columns += ", signal_pool_id"
            values.append(signal_pool_id)
            fn_table, feat_table = "signal_function_usage", "signal_feature_usage"

        id_columns, id_values = self._tracker._identity_columns()
        if id_columns:
            columns += ", " + ", ".join(id_columns)
            values.extend(id_values)
        cursor = conn.execute(
            "INSERT INTO " + table + " (" + columns + ") VALUES ("
            + ", ".join("?" for _ in values) + ")", values)
        insert_usage_rows(conn, cursor.lastrowid, functions, features, fn_table, feat_table,
                          function_families, feature_families)
