import time

import pytest

from conftest import Recorder
from query_store import Store


@pytest.fixture
def store(tracker, data_dir):
    return Store(str(data_dir))


def stamps(records):
    return [(r.eval_type, r.timestamp) for r in records]


def test_history_merges_tables_newest_first_and_pages(tracker, store):
    for ts in (10.0, 8.0, 6.0):
        store.signal(timestamp=ts)
    for ts in (9.0, 7.0):
        store.strategy(timestamp=ts)
    seen = Recorder(tracker).statements
    page = tracker.get_evaluation_history(limit=2, offset=1)
    assert stamps(page) == [("strategy", 9.0), ("signal", 8.0)]
    # Each table is asked for limit + offset rows.
    history = [p for s, p in seen if "ORDER BY timestamp DESC" in s]
    assert [p[-1] for p in history] == [3, 3]

    assert [r.timestamp for r in tracker.get_evaluation_history(limit=None)] == [
        10.0, 9.0, 8.0, 7.0, 6.0]
    assert tracker.get_evaluation_history(offset=5) == []
    assert stamps(tracker.get_evaluation_history(eval_type="strategy", limit=1, offset=1)) == [
        ("strategy", 7.0)]


def test_history_equal_timestamps_put_signal_first(tracker, store):
    store.strategy(timestamp=5.0)
    store.signal(timestamp=5.0)
    store.signal(timestamp=4.0)
    assert stamps(tracker.get_evaluation_history()) == [
        ("signal", 5.0), ("strategy", 5.0), ("signal", 4.0)]


def test_history_argument_checks_in_order(tracker):
    with pytest.raises(ValueError, match=r"^eval_type must be 'signal', 'strategy', or None$"):
        tracker.get_evaluation_history(eval_type="x", source="x", limit=0, offset=-1)
    with pytest.raises(ValueError, match=r"^source must be 'search', 'simulate', or None$"):
        tracker.get_evaluation_history(source="x", limit=0, offset=-1)
    for op in (tracker.get_evaluation_history, tracker.get_per_column_stats_batch):
        with pytest.raises(ValueError, match=r"^limit must be >= 1$"):
            op(limit=0, offset=-1)
        with pytest.raises(ValueError, match=r"^offset must be >= 0$"):
            op(offset=-1)


def test_history_record_fields(tracker, store):
    graph = {"type": "rotation", "node": "rank", "children": []}
    sid = store.signal(
        graph_json=graph, tree_depth=1, rotation_families_json=["rot"], passed_thresholds=1,
        sharpe=1.5, agent_is_correlation=0.25, per_column_stats_json={"c": [1.0, None]},
        named_universe="EU", metaparameters={"pool_a": {"lookback": 5}}, submitted=1,
        liquidity_metrics_json={"adv": 1e6}, source="simulate", expression_elapsed_seconds=0.5,
        is_correlation=0.1, is_pnl_mi=2.0, failure_reason="timeout",
        failure_detail='{"a":[1,2],"b":1}', signal_pool_id="pool_a")
    store.functions("signal", sid, ("rank", "rot", "fam", "sub"), ("rank", None))
    store.features("signal", sid, ("close", "price", None))
    tid = store.strategy(graph_json="", rotation_families_json="", per_column_stats_json="",
                         referenced_signal_ids_json=[sid], failure_detail="not json {",
                         rejection_reason="low_sharpe", liquidity_metrics_json=None)

    strategy, signal = tracker.get_evaluation_history()
    assert signal.eval_id == sid and signal.eval_type == "signal"
    assert signal.graph == graph and signal.tree_depth == 1
    assert signal.rotation_families_used == ["rot"]
    assert signal.passed_thresholds is True and signal.submitted is True
    assert signal.sharpe == 1.5
    assert signal.correlation == signal.agent_is_correlation == 0.25
    assert signal.per_column_stats == {"c": [1.0, None]}
    assert signal.named_universe == "EU" and signal.metaparameters == {"pool_a": {"lookback": 5}}
    assert signal.liquidity_metrics == {"adv": 1e6} and signal.source == "simulate"
    assert (signal.expression_elapsed_seconds, signal.is_correlation, signal.is_pnl_mi,
            signal.agent_is_pnl_mi) == (0.5, 0.1, 2.0, None)
    assert signal.failure_reason == "timeout" and signal.failure_detail == {"a": [1, 2], "b": 1}
    assert signal.signal_pool_id == "pool_a"
    assert (signal.strategy_pool_id, signal.strategy_signal_pool,
            signal.referenced_signal_ids) == (None, None, None)
    assert signal.functions == ["rank", "rank"]
    assert signal.function_metadata == [
        {"function_name": "rank", "rotation_family": "rot", "function_family": "fam",
         "function_subfamily": "sub"},
        {"function_name": "rank", "rotation_family": None, "function_family": None,
         "function_subfamily": None}]
    assert list(signal.function_metadata[0]) == [
        "function_name", "rotation_family", "function_family", "function_subfamily"]
    assert signal.features == ["close"]
    assert signal.feature_metadata == [
        {"feature_name": "close", "feature_family": "price", "feature_subfamily": None}]

    assert strategy.eval_id == tid and strategy.eval_type == "strategy"
    assert strategy.graph is None and strategy.rotation_families_used == []
    assert strategy.per_column_stats is None and strategy.liquidity_metrics is None
    assert strategy.passed_thresholds is False and strategy.rejection_reason == "low_sharpe"
    assert strategy.failure_detail == "not json {"
    assert strategy.referenced_signal_ids == [sid]
    assert (strategy.strategy_pool_id, strategy.strategy_signal_pool,
            strategy.signal_pool_id) == ("strat_a", "pool_a", None)
    for field in ("functions", "features", "function_metadata", "feature_metadata"):
        assert getattr(strategy, field) == []


def test_shared_eval_id_sees_only_its_own_usage(tracker, store):
    sid = store.signal(timestamp=2.0)
    tid = store.strategy(timestamp=1.0)
    assert sid == tid
    store.functions("signal", sid, "sig_fn")
    store.features("signal", sid, "sig_feat")
    store.functions("strategy", tid, "strat_fn", "strat_fn2")
    signal, strategy = tracker.get_evaluation_history()
    assert (signal.functions, signal.features) == (["sig_fn"], ["sig_feat"])
    assert (strategy.functions, strategy.features) == (["strat_fn", "strat_fn2"], [])


def test_usage_lookups_split_into_chunks_with_identical_lists(tracker, store):
    ids = store.evaluations("signal", 1003)
    for n, eid in enumerate(ids):
        store.functions("signal", eid, *[("fn_%d" % ((n + k) % 7), "r%d" % k)
                                         for k in range(n % 3)])
        if n % 2:
            store.features("signal", eid, ("feat_%d" % n, "fam"))
    seen = Recorder(tracker).statements
    history = tracker.get_evaluation_history(eval_type="signal", limit=None)
    assert len(history) == 1003
    lookups = [p for s, p in seen if " IN (" in s]
    # Function then feature lookups, three chunks each, covering every id once.
    assert [len(p) for p in lookups] == [500, 500, 3] * 2
    assert sorted(i for p in lookups[:3] for i in p) == sorted(ids)
    assert sorted(i for p in lookups[3:] for i in p) == sorted(ids)

    expected_fn, expected_feat = {}, {}
    for eid, name, rot in store.rows(
            "SELECT eval_id, function_name, rotation_family FROM signal_function_usage "
            "ORDER BY rowid"):
        expected_fn.setdefault(eid, []).append((name, rot))
    for eid, name in store.rows(
            "SELECT eval_id, feature_name FROM signal_feature_usage ORDER BY rowid"):
        expected_feat.setdefault(eid, []).append(name)
    for record in history:
        assert [(m["function_name"], m["rotation_family"])
                for m in record.function_metadata] == expected_fn.get(record.eval_id, [])
        assert record.functions == [n for n, _ in expected_fn.get(record.eval_id, [])]
        assert record.features == expected_feat.get(record.eval_id, [])


def test_history_filters_on_both_types(tracker, store):
    store.signal(era_id=1, passed_thresholds=1, timestamp=1.0)
    store.signal(era_id=2, passed_thresholds=0, timestamp=2.0, named_universe="EU")
    store.strategy(era_id=2, passed_thresholds=1, timestamp=3.0,
                   metaparameters={"strat_a": {"k": 2}})
    store.strategy(era_id=1, passed_thresholds=0, timestamp=4.0, source="simulate",
                   strategy_pool_id="strat_b")

    def ts(**kw):
        return [r.timestamp for r in tracker.get_evaluation_history(**kw)]

    assert ts(passed_only=True) == [3.0, 1.0]
    assert ts(passed_only=False) == [4.0, 3.0, 2.0, 1.0]
    assert ts(era_id=2) == [3.0, 2.0]
    assert ts(named_universe="EU") == [2.0]
    assert ts(metaparameters={"strat_a": {"k": 2}}) == [3.0]
    assert ts(source="simulate") == [4.0]
    assert ts(signal_pool_id="pool_a") == [2.0, 1.0]
    assert ts(strategy_pool_id="strat_a") == [3.0]
    assert ts(strategy_pool_id="strat_b", strategy_signal_pool="pool_a") == [4.0]
    assert ts(strategy_signal_pool="pool_a") == [4.0, 3.0]
    with pytest.raises(ValueError, match=r"^strategy_signal_pool must be a non-empty string$"):
        ts(strategy_signal_pool=3)


def test_per_column_batch_orders_by_id_and_filters_outcome(tracker, store):
    s1 = store.signal(passed_thresholds=1, per_column_stats_json={"c": 1})
    s2 = store.signal(passed_thresholds=0, rejection_reason="low", source="simulate")
    t1 = store.strategy(passed_thresholds=0, per_column_stats_json="")
    assert s1 == t1

    def rows(**kw):
        return [(r.eval_id, r.eval_type, r.passed_thresholds, r.per_column_stats,
                 r.rejection_reason, r.source)
                for r in tracker.get_per_column_stats_batch(**kw)]

    assert rows() == [(s1, "signal", True, {"c": 1}, None, "search"),
                      (t1, "strategy", False, None, None, "search"),
                      (s2, "signal", False, None, "low", "simulate")]
    assert [r[:2] for r in rows(passed_only=True)] == [(s1, "signal")]
    assert [r[:2] for r in rows(passed_only=False)] == [(t1, "strategy"), (s2, "signal")]
    assert [r[:2] for r in rows(offset=1, limit=1)] == [(t1, "strategy")]
    assert [r[:2] for r in rows(offset=2)] == [(s2, "signal")]
    assert rows(offset=3) == []
    assert [r[:2] for r in rows(eval_type="strategy")] == [(t1, "strategy")]


def test_evaluation_count_with_filters(tracker, store):
    assert tracker.get_evaluation_count() == 0
    store.signal(era_id=1)
    store.signal(era_id=2, metaparameters={"pool_a": {"lookback": 60, "w": "x"}})
    store.strategy(era_id=2)
    assert tracker.get_evaluation_count() == 3
    assert tracker.get_evaluation_count(eval_type="signal") == 2
    assert tracker.get_evaluation_count(era_id=2) == 2
    assert tracker.get_evaluation_count(metaparameters={"pool_a": {"lookback": 60}}) == 1
    assert tracker.get_evaluation_count(metaparameters={"pool_a": {"lookback": 60, "w": "y"}}) == 0
    assert tracker.get_evaluation_count(strategy_pool_id="strat_a") == 1
    with pytest.raises(ValueError, match=r"^eval_type must be 'signal', 'strategy', or None$"):
        tracker.get_evaluation_count(eval_type="both")


def test_velocity_counts_the_recent_window(tracker, store):
    with pytest.raises(ValueError, match=r"^window_minutes must be >= 1$"):
        tracker.get_evaluation_velocity(window_minutes=0)
    empty = tracker.get_evaluation_velocity(window_minutes=30)
    assert (empty.total_evaluations, empty.passed_evaluations, empty.evaluations_per_hour,
            empty.passes_per_hour, empty.window_minutes) == (0, 0, 0.0, 0.0, 30)
    now = time.time()
    for i in range(20):
        store.signal(timestamp=now - 60 * i, passed_thresholds=1 if i < 6 else 0)
    for i in range(10):
        store.strategy(timestamp=now - 30 * i, passed_thresholds=1 if i < 4 else 0)
    store.signal(timestamp=now - 3600, passed_thresholds=1)
    v = tracker.get_evaluation_velocity(window_minutes=30)
    assert (v.total_evaluations, v.passed_evaluations) == (30, 10)
    assert (v.evaluations_per_hour, v.passes_per_hour) == (60.0, 20.0)
    assert tracker.get_evaluation_velocity(30, "strategy").total_evaluations == 10


def test_stats_rows_newest_first_with_pool_columns(tracker, store):
    ids = [store.signal(passed_thresholds=p, failure_detail=d)
           for p, d in ((1, None), (0, '{"x": 1}'), (0, "[1, 2]"))]
    tid = store.strategy(sharpe=2.0)
    rows = tracker.get_signal_stats(limit=None)
    assert [r["eval_id"] for r in rows] == ids[::-1]
    assert list(rows[0]) == [
        "eval_id", "era_id", "passed_thresholds", "sharpe", "returns", "turnover", "drawdown",
        "delta_exposure", "max_weight", "quality_score", "agent_is_correlation",
        "rejection_reason", "source", "expression_elapsed_seconds", "is_correlation",
        "is_pnl_mi", "agent_is_pnl_mi", "failure_reason", "failure_detail", "signal_pool_id"]
    assert [r["passed_thresholds"] for r in rows] == [False, False, True]
    assert [r["failure_detail"] for r in rows] == ["[1, 2]", {"x": 1}, None]
    assert [r["eval_id"] for r in tracker.get_signal_stats(limit=2)] == ids[:0:-1]
    assert [r["eval_id"] for r in tracker.get_signal_stats(eval_id=ids[1])] == [ids[1]]
    assert tracker.get_signal_stats(eval_id=999) == []
    (strategy,) = tracker.get_strategy_stats()
    assert strategy["eval_id"] == tid and strategy["sharpe"] == 2.0
    assert list(strategy)[-2:] == ["strategy_pool_id", "strategy_signal_pool"]
    assert (strategy["strategy_pool_id"], strategy["strategy_signal_pool"]) == (
        "strat_a", "pool_a")
    with pytest.raises(ValueError, match=r"^limit must be >= 1$"):
        tracker.get_strategy_stats(limit=0)


def test_distinct_eras_and_universes(tracker, store):
    store.signal(era_id=3, named_universe="US")
    store.signal(era_id=1, named_universe="EU")
    store.strategy(era_id=3, named_universe="ASIA")
    assert tracker.get_available_eras() == [1, 3]
    assert tracker.get_available_named_universes() == ["ASIA", "EU", "US"]
    assert tracker.get_available_universes() == tracker.get_available_named_universes()
