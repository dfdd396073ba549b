"""Direct inserts into a tracker's database, past the tracker, so query tests control
timestamps, ids and stored column texts exactly."""

import itertools
import json

from conftest import insert_many, read, table_columns

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
        self.data_dir = data_dir
        self._clock = itertools.count(1000)

    def _insert(self, table, rows):
        """Inserts rows (dicts of one shape) in one transaction; returns their keys."""
        if not rows:
            return []
        sql = f"INSERT INTO {table} ({', '.join(rows[0])}) VALUES ({', '.join('?' * len(rows[0]))})"
        return insert_many(self.data_dir, [(sql, tuple(row.values())) for row in rows])

    def evaluations(self, eval_type, count, **cols):
        """Insert `count` evaluations; JSON-able values of *_json / metaparameters columns
        given as Python objects are encoded. Returns their eval_ids in order."""
        table, _, _, defaults = TABLES[eval_type]
        for key, value in cols.items():
            if (key.endswith("_json") or key == "metaparameters") and not isinstance(
                    value, (str, type(None))):
                cols[key] = json.dumps(value)
        return self._insert(table, [{**defaults, "timestamp": float(next(self._clock)), **cols}
                                    for _ in range(count)])

    def evaluation(self, eval_type, **cols):
        return self.evaluations(eval_type, 1, **cols)[0]

    def signal(self, **cols):
        return self.evaluation("signal", **cols)

    def strategy(self, **cols):
        return self.evaluation("strategy", **cols)

    def _usage(self, table, columns, eval_id, uses):
        """uses: names, or tuples of the name and then the further columns in order."""
        uses = [(u,) if isinstance(u, str) else tuple(u) for u in uses]
        self._insert(table, [dict(zip(columns, (eval_id,) + u + (None,) * len(columns)))
                             for u in uses])

    def functions(self, eval_type, eval_id, *uses):
        """uses: names, or (name, rotation_family[, function_family, function_subfamily])."""
        self._usage(TABLES[eval_type][1], ("eval_id", "function_name", "rotation_family",
                                           "function_family", "function_subfamily"), eval_id, uses)

    def features(self, eval_type, eval_id, *uses):
        self._usage(TABLES[eval_type][2], ("eval_id", "feature_name", "feature_family",
                                           "feature_subfamily"), eval_id, uses)

    def columns(self, table):
        return table_columns(self.data_dir, table)

    def rows(self, sql, params=()):
        return read(self.data_dir, sql, params)
