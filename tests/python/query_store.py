"""Direct inserts into a tracker's tracking.db with Python's sqlite3, so query tests control
timestamps, ids and stored column texts exactly."""

import itertools
import json
import os
import sqlite3

COMMON = dict(
    era_id=1, graph_json='{"type": "feature", "node": "close"}', tree_depth=1,
    rotation_families_json="[]", passed_thresholds=0, sharpe=0.0, returns=0.0, turnover=0.0,
    drawdown=0.0, delta_exposure=0.0, max_weight=0.0, quality_score=0.0,
    agent_is_correlation=0.0, per_column_stats_json=None, rejection_reason=None,
    named_universe="US_TOP_500", metaparameters='{"pool_a": {"lookback": 20}}', submitted=0,
    liquidity_metrics_json=None, source="search", expression_elapsed_seconds=None,
    is_correlation=None, is_pnl_mi=None, agent_is_pnl_mi=None, failure_reason=None,
    failure_detail=None, instance_id="inst", author_id="author")
SIGNAL = dict(COMMON, signal_pool_id="pool_a")
STRATEGY = dict(COMMON, metaparameters='{"strat_a": {"k": 1}}', referenced_signal_ids_json="[1]",
                strategy_pool_id="strat_a", strategy_signal_pool="pool_a")
TABLES = {
    "signal": ("signal_evaluations", "signal_function_usage", "signal_feature_usage", SIGNAL),
    "strategy": ("strategy_evaluations", "strategy_function_usage", "strategy_feature_usage",
                 STRATEGY),
}


class Store:
    def __init__(self, data_dir):
        self.path = os.path.join(data_dir, "tracking.db")
        self._clock = itertools.count(1000)

    def _write(self, sql, rows):
        if not rows:
            return None
        conn = sqlite3.connect(self.path)
        try:
            cur = conn.executemany(sql, rows) if len(rows) > 1 else conn.execute(sql, rows[0])
            conn.commit()
            return cur.lastrowid
        finally:
            conn.close()

    def evaluation(self, eval_type, **cols):
        """Insert one evaluation; JSON-able values of *_json / metaparameters columns given as
        Python objects are encoded. Returns its eval_id."""
        table, _, _, defaults = TABLES[eval_type]
        row = dict(defaults, timestamp=float(next(self._clock)))
        for key, value in cols.items():
            if (key.endswith("_json") or key == "metaparameters") and not isinstance(
                    value, (str, type(None))):
                value = json.dumps(value)
            row[key] = value
        names = ", ".join(row)
        marks = ", ".join("?" for _ in row)
        return self._write(f"INSERT INTO {table} ({names}) VALUES ({marks})",
                           [tuple(row.values())])

    def evaluations(self, eval_type, count, **cols):
        """Insert `count` evaluations in one transaction; returns their eval_ids in order."""
        table, _, _, defaults = TABLES[eval_type]
        rows = [dict(defaults, timestamp=float(next(self._clock)), **cols) for _ in range(count)]
        names = ", ".join(rows[0])
        marks = ", ".join("?" for _ in rows[0])
        conn = sqlite3.connect(self.path)
        try:
            ids = []
            for row in rows:
                ids.append(conn.execute(f"INSERT INTO {table} ({names}) VALUES ({marks})",
                                        tuple(row.values())).lastrowid)
            conn.commit()
            return ids
        finally:
            conn.close()

    def signal(self, **cols):
        return self.evaluation("signal", **cols)

    def strategy(self, **cols):
        return self.evaluation("strategy", **cols)

    def functions(self, eval_type, eval_id, *uses):
        """uses: names, or (name, rotation_family[, function_family, function_subfamily])."""
        table = TABLES[eval_type][1]
        rows = []
        for use in uses:
            use = (use,) if isinstance(use, str) else tuple(use)
            rows.append((eval_id,) + use + (None,) * (4 - len(use)))
        self._write(f"INSERT INTO {table} (eval_id, function_name, rotation_family, "
                    "function_family, function_subfamily) VALUES (?, ?, ?, ?, ?)", rows)

    def features(self, eval_type, eval_id, *uses):
        table = TABLES[eval_type][2]
        rows = []
        for use in uses:
            use = (use,) if isinstance(use, str) else tuple(use)
            rows.append((eval_id,) + use + (None,) * (3 - len(use)))
        self._write(f"INSERT INTO {table} (eval_id, feature_name, feature_family, "
                    "feature_subfamily) VALUES (?, ?, ?, ?)", rows)

    def rows(self, sql, params=()):
        conn = sqlite3.connect(self.path)
        try:
            return conn.execute(sql, params).fetchall()
        finally:
            conn.close()
