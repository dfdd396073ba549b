"""A plain pure-Python implementation of the tracker's recording and read statements, on the
standard library's sqlite3 and json: the baseline the benchmarks compare against.

It issues the same statements, in the same order, with the same validation work, as the
library does for these operations; it is not used by the library itself.
"""

from __future__ import annotations

import json
import sqlite3
import time

from baseline_writer import (collect_rotation_families, compute_tree_depth, extract_names,
                             insert_usage_rows)


def _validate_metaparameters(metaparameters, required_pool_id):
    if not metaparameters or not isinstance(metaparameters, dict):
        raise ValueError("metaparameters must be a non-empty per-pool dict")
    if required_pool_id is not None and required_pool_id not in metaparameters:
        raise ValueError(f"metaparameters must include selected pool {required_pool_id!r}")
    for pool_id, stages in metaparameters.items():
        if not isinstance(pool_id, str) or not pool_id:
            raise ValueError("metaparameters must be keyed by non-empty pool ids")
        if not stages or not isinstance(stages, dict):
            raise ValueError("metaparameters values must be non-empty dicts keyed by stage")
        for key, value in stages.items():
            if not key or not value:
                raise ValueError("metaparameters values must contain non-empty keys and values")


def _json_path_key(key):
    return "." + json.dumps(str(key))


class BaselineTracker:
    def __init__(self, db_path: str, instance_id: str = "bench-instance",
                 author_id: str = "bench-author"):
        self.conn = sqlite3.connect(db_path, check_same_thread=False)
        self.conn.execute("PRAGMA journal_mode=WAL")
        self.conn.execute("PRAGMA foreign_keys=ON")
        self.conn.execute("PRAGMA synchronous=NORMAL")
        self.identity = (instance_id, author_id)

    def close(self):
        self.conn.close()

    # -- recording ---------------------------------------------------------------------------
    def record_signal_evaluation(self, graph, stats, era_id, passed_thresholds, named_universe,
                                 metaparameters, signal_pool_id=None, function_families=None,
                                 feature_families=None, per_column_stats=None,
                                 rejection_reason=None, source="search",
                                 expression_elapsed_seconds=None):
        if not isinstance(signal_pool_id, str) or not signal_pool_id:
            raise ValueError("signal_pool_id must be a non-empty string")
        if era_id <= 0:
            raise ValueError("era_id must be > 0")
        if not graph:
            raise ValueError("graph must not be empty")
        if not named_universe:
            raise ValueError("named_universe must not be empty")
        _validate_metaparameters(metaparameters, signal_pool_id)
        if passed_thresholds and rejection_reason is not None:
            raise ValueError("rejection_reason must be None when passed_thresholds is True")
        if source not in ("search", "simulate"):
            raise ValueError(f"source must be 'search' or 'simulate', got '{source}'.")

        tree_depth = compute_tree_depth(graph)
        functions = extract_names(graph, "function")
        features = extract_names(graph, "feature")
        families = collect_rotation_families(functions, function_families)
        columns = [
            "timestamp", "era_id", "graph_json", "tree_depth", "rotation_families_json",
            "passed_thresholds", "sharpe", "returns", "turnover", "drawdown", "delta_exposure",
            "max_weight", "quality_score", "agent_is_correlation", "per_column_stats_json",
            "rejection_reason", "named_universe", "metaparameters", "submitted",
            "liquidity_metrics_json", "signal_pool_id", "source", "expression_elapsed_seconds",
            "is_correlation", "is_pnl_mi", "agent_is_pnl_mi", "failure_reason", "failure_detail",
            "instance_id", "author_id",
        ]
        values = [
            time.time(), era_id, json.dumps(graph), tree_depth, json.dumps(families),
            1 if passed_thresholds else 0, stats.sharpe, stats.returns, stats.turnover,
            stats.drawdown, stats.delta_exposure, stats.max_weight, stats.quality_score,
            stats.correlation,
            json.dumps(per_column_stats) if per_column_stats is not None else None,
            rejection_reason, named_universe, json.dumps(metaparameters), 0,
            json.dumps(stats.liquidity_metrics) if stats.liquidity_metrics is not None else None,
            signal_pool_id, source, expression_elapsed_seconds, None, None, None, None, None,
            *self.identity,
        ]
        sql = (f"INSERT INTO signal_evaluations ({', '.join(columns)}) "
               f"VALUES ({', '.join('?' for _ in columns)})")
        eval_id = self.conn.execute(sql, values).lastrowid
        insert_usage_rows(self.conn, eval_id, functions, features, "signal_function_usage",
                          "signal_feature_usage", function_families, feature_families)
        self.conn.commit()
        return eval_id

    # -- filters -------------------------------------------------------------------------------
    @staticmethod
    def _settings_filter(alias, era_id=None, metaparameters=None):
        prefix = f"{alias}." if alias else ""
        clauses, params = [], []
        if era_id is not None:
            clauses.append(f"{prefix}era_id = ?")
            params.append(era_id)
        if metaparameters is not None:
            _validate_metaparameters(metaparameters, None)
            for pool_id, stages in metaparameters.items():
                for key, value in stages.items():
                    clauses.append(f"json_extract({prefix}metaparameters, ?) = ?")
                    params.extend(["$" + _json_path_key(pool_id) + _json_path_key(key), value])
        return clauses, params

    @staticmethod
    def _join(clauses, prefix="WHERE"):
        return f"{prefix} {' AND '.join(clauses)}" if clauses else ""

    # -- usage statistics ----------------------------------------------------------------------
    def _usage_stats_query(self, pairs, select_cols, group_cols, outer_cols, era_id):
        inner, params = [], []
        for usage_table, eval_table in pairs:
            clauses, p = self._settings_filter("e", era_id)
            inner.append(
                f"SELECT {select_cols}, COUNT(*) as total, SUM(e.passed_thresholds) as passed "
                f"FROM {usage_table} fu JOIN {eval_table} e ON fu.eval_id = e.eval_id "
                f"WHERE 1=1 {self._join(clauses, 'AND')} GROUP BY {group_cols}")
            params.extend(p)
        sql = inner[0] if len(inner) == 1 else (
            f"SELECT {outer_cols}, SUM(total) as total, SUM(passed) as passed FROM "
            f"({' UNION ALL '.join(inner)}) AS usage_union GROUP BY {outer_cols}")
        return self.conn.execute(sql, params).fetchall()

    FN_PAIRS = [("signal_function_usage", "signal_evaluations"),
                ("strategy_function_usage", "strategy_evaluations")]
    FEAT_PAIRS = [("signal_feature_usage", "signal_evaluations"),
                  ("strategy_feature_usage", "strategy_evaluations")]

    def get_function_stats(self, era_id=None):
        rows = self._usage_stats_query(self.FN_PAIRS, "fu.function_name, fu.rotation_family",
                                       "fu.function_name, fu.rotation_family",
                                       "function_name, rotation_family", era_id)
        stats = [dict(function_name=n, rotation_family=f, total_evaluations=t,
                      passed_evaluations=p, yield_rate=p / t) for n, f, t, p in rows]
        stats.sort(key=lambda s: (-s["yield_rate"], -s["total_evaluations"]))
        return stats

    def get_feature_stats(self, era_id=None):
        rows = self._usage_stats_query(self.FEAT_PAIRS, "fu.feature_name", "fu.feature_name",
                                       "feature_name", era_id)
        stats = [dict(feature_name=n, total_evaluations=t, passed_evaluations=p,
                      yield_rate=p / t) for n, t, p in rows]
        stats.sort(key=lambda s: (-s["yield_rate"], -s["total_evaluations"]))
        return stats

    def get_function_cooccurrence(self, era_id=None, passed_only=False):
        counter: dict[tuple[str, str], list[int]] = {}
        for usage_table, eval_table in self.FN_PAIRS:
            clauses, params = self._settings_filter("e", era_id)
            if passed_only:
                clauses.append("e.passed_thresholds = 1")
            sql = (f"SELECT f1.function_name, f2.function_name, e.passed_thresholds FROM "
                   f"{usage_table} f1 JOIN {usage_table} f2 ON f1.eval_id = f2.eval_id AND "
                   f"f1.function_name < f2.function_name JOIN {eval_table} e ON "
                   f"f1.eval_id = e.eval_id WHERE 1=1 {self._join(clauses, 'AND')}")
            for a, b, passed in self.conn.execute(sql, params):
                entry = counter.setdefault((a, b), [0, 0])
                entry[0] += 1
                entry[1] += passed
        pairs = [dict(function_a=a, function_b=b, total_cooccurrences=t,
                      passed_cooccurrences=p) for (a, b), (t, p) in counter.items()]
        pairs.sort(key=lambda x: (-x["total_cooccurrences"], x["function_a"], x["function_b"]))
        return pairs

    # -- counts and history --------------------------------------------------------------------
    def get_evaluation_count(self, era_id=None, metaparameters=None):
        total = 0
        for table in ("signal_evaluations", "strategy_evaluations"):
            clauses, params = self._settings_filter("", era_id, metaparameters)
            total += self.conn.execute(
                f"SELECT COUNT(*) FROM {table} {self._join(clauses)}", params).fetchone()[0]
        return total

    HISTORY_COLUMNS = (
        "eval_id, timestamp, era_id, graph_json, tree_depth, rotation_families_json, "
        "passed_thresholds, sharpe, returns, turnover, drawdown, delta_exposure, max_weight, "
        "quality_score, agent_is_correlation, per_column_stats_json, rejection_reason, "
        "named_universe, metaparameters, submitted, liquidity_metrics_json, source, "
        "expression_elapsed_seconds, is_correlation, is_pnl_mi, agent_is_pnl_mi, "
        "failure_reason, failure_detail")

    def get_evaluation_history(self, limit=1000, offset=0):
        results = []
        for table, label, fn_table, feat_table, extra in (
            ("signal_evaluations", "signal", "signal_function_usage", "signal_feature_usage",
             ", signal_pool_id"),
            ("strategy_evaluations", "strategy", "strategy_function_usage",
             "strategy_feature_usage",
             ", referenced_signal_ids_json, strategy_pool_id, strategy_signal_pool"),
        ):
            sql = (f"SELECT {self.HISTORY_COLUMNS}{extra} FROM {table}  "
                   "ORDER BY timestamp DESC LIMIT ?")
            rows = self.conn.execute(sql, [limit + offset]).fetchall()
            if not rows:
                continue
            ids = [r[0] for r in rows]
            marks = ",".join("?" for _ in ids)
            fn_names, fn_meta, feat_names, feat_meta = {}, {}, {}, {}
            for eid, name, rot, fam, sub in self.conn.execute(
                    f"SELECT eval_id, function_name, rotation_family, function_family, "
                    f"function_subfamily FROM {fn_table} WHERE eval_id IN ({marks})", ids):
                fn_names.setdefault(eid, []).append(name)
                fn_meta.setdefault(eid, []).append(
                    {"function_name": name, "rotation_family": rot, "function_family": fam,
                     "function_subfamily": sub})
            for eid, name, fam, sub in self.conn.execute(
                    f"SELECT eval_id, feature_name, feature_family, feature_subfamily FROM "
                    f"{feat_table} WHERE eval_id IN ({marks})", ids):
                feat_names.setdefault(eid, []).append(name)
                feat_meta.setdefault(eid, []).append(
                    {"feature_name": name, "feature_family": fam, "feature_subfamily": sub})
            for r in rows:
                results.append({
                    "eval_id": r[0], "eval_type": label, "timestamp": r[1], "era_id": r[2],
                    "graph": json.loads(r[3]) if r[3] else None, "tree_depth": r[4],
                    "rotation_families_used": json.loads(r[5]) if r[5] else [],
                    "passed_thresholds": bool(r[6]), "sharpe": r[7], "returns": r[8],
                    "turnover": r[9], "drawdown": r[10], "delta_exposure": r[11],
                    "max_weight": r[12], "quality_score": r[13], "correlation": r[14],
                    "agent_is_correlation": r[14],
                    "per_column_stats": json.loads(r[15]) if r[15] else None,
                    "rejection_reason": r[16], "named_universe": r[17],
                    "metaparameters": json.loads(r[18]) if r[18] else None,
                    "submitted": bool(r[19]),
                    "liquidity_metrics": json.loads(r[20]) if r[20] else None,
                    "source": r[21], "expression_elapsed_seconds": r[22],
                    "is_correlation": r[23], "is_pnl_mi": r[24], "agent_is_pnl_mi": r[25],
                    "failure_reason": r[26], "failure_detail": r[27],
                    "functions": fn_names.get(r[0], []), "features": feat_names.get(r[0], []),
                    "function_metadata": fn_meta.get(r[0], []),
                    "feature_metadata": feat_meta.get(r[0], []),
                })
        results.sort(key=lambda rec: -rec["timestamp"])
        return results[offset:offset + limit]
