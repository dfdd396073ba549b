import json
import math
import time

import pytest

from conftest import Recorder
from plintrove.search_tracking import BacktestStats, DatabaseError
from query_store import Store


@pytest.fixture
def store(tracker, data_dir):
    return Store(str(data_dir))


def stamps(records):
    return [(r.eval_type, r.timestamp) for r in records]


def test_history_merges_tables_newest_first_and_pages(tracker, store):
    for ts in (10.0, 8.0, 7.0):
        store.signal(timestamp=ts)
    for ts in (9.0, 7.0):
        store.strategy(timestamp=ts)
    seen = Recorder(tracker).statements
    page = tracker.get_evaluation_history(limit=2, offset=1)
    assert stamps(page) == [("strategy", 9.0), ("signal", 8.0)]
    # Each table is asked for limit + offset rows.
    history = [p for s, p in seen if "ORDER BY timestamp DESC" in s]
    assert [p[-1] for p in history] == [3, 3]
    # Equal timestamps put the signal first.
    assert stamps(tracker.get_evaluation_history(limit=None)) == [
        ("signal", 10.0), ("strategy", 9.0), ("signal", 8.0), ("signal", 7.0), ("strategy", 7.0)]
    assert tracker.get_evaluation_history(offset=5) == []
    assert stamps(tracker.get_evaluation_history(eval_type="strategy", limit=1, offset=1)) == [
        ("strategy", 7.0)]


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
    # Both tables number from 1: each record sees only its own type's usage rows.
    assert sid == tid
    store.functions("strategy", tid, "strat_fn")

    strategy, signal = tracker.get_evaluation_history()

    def fields(record, expected):
        return {name: getattr(record, name) for name in expected}

    expected = dict(
        eval_id=sid, eval_type="signal", graph=graph, tree_depth=1, rotation_families_used=["rot"],
        passed_thresholds=True, submitted=True, sharpe=1.5, correlation=0.25,
        agent_is_correlation=0.25, per_column_stats={"c": [1.0, None]}, named_universe="EU",
        metaparameters={"pool_a": {"lookback": 5}}, liquidity_metrics={"adv": 1e6},
        source="simulate", expression_elapsed_seconds=0.5, is_correlation=0.1, is_pnl_mi=2.0,
        agent_is_pnl_mi=None, failure_reason="timeout", failure_detail={"a": [1, 2], "b": 1},
        signal_pool_id="pool_a", strategy_pool_id=None, strategy_signal_pool=None,
        referenced_signal_ids=None, functions=["rank", "rank"], features=["close"],
        function_metadata=[
            {"function_name": "rank", "rotation_family": "rot", "function_family": "fam",
             "function_subfamily": "sub"},
            {"function_name": "rank", "rotation_family": None, "function_family": None,
             "function_subfamily": None}],
        feature_metadata=[
            {"feature_name": "close", "feature_family": "price", "feature_subfamily": None}])
    assert fields(signal, expected) == expected
    assert list(signal.function_metadata[0]) == [
        "function_name", "rotation_family", "function_family", "function_subfamily"]

    expected = dict(
        eval_id=tid, eval_type="strategy", graph=None, rotation_families_used=[],
        per_column_stats=None, liquidity_metrics=None, passed_thresholds=False,
        rejection_reason="low_sharpe", failure_detail="not json {", referenced_signal_ids=[sid],
        strategy_pool_id="strat_a", strategy_signal_pool="pool_a", signal_pool_id=None,
        functions=["strat_fn"], features=[], feature_metadata=[])
    assert fields(strategy, expected) == expected


def test_usage_lookups_split_into_chunks_with_identical_lists(tracker, store):
    ids = store.evaluations("signal", 1003)
    expected = {}
    for n, eid in enumerate(ids):
        uses = [("fn_%d" % ((n + k) % 7), "r%d" % k) for k in range(n % 3)]
        store.functions("signal", eid, *uses)
        expected[eid] = (uses, ["feat_%d" % n] if n % 2 else [])
        store.features("signal", eid, *[(f, "fam") for f in expected[eid][1]])
    seen = Recorder(tracker).statements
    history = tracker.get_evaluation_history(eval_type="signal", limit=None)
    lookups = [p for s, p in seen if " IN (" in s]
    # Function then feature lookups, three chunks each, covering every id once.
    assert [len(p) for p in lookups] == [500, 500, 3] * 2
    assert sorted(i for p in lookups[:3] for i in p) == sorted(ids)
    assert sorted(i for p in lookups[3:] for i in p) == sorted(ids)
    assert {r.eval_id: ([(m["function_name"], m["rotation_family"]) for m in r.function_metadata],
                        r.features) for r in history} == expected
    assert all(r.functions == [n for n, _ in expected[r.eval_id][0]] for r in history)


def test_history_and_count_filters_on_both_types(tracker, store):
    assert tracker.get_evaluation_count() == 0
    store.signal(era_id=1, passed_thresholds=1, timestamp=1.0)
    store.signal(era_id=2, passed_thresholds=0, timestamp=2.0, named_universe="EU",
                 metaparameters={"pool_a": {"lookback": 60, "w": "x"}})
    store.strategy(era_id=2, passed_thresholds=1, timestamp=3.0,
                   metaparameters={"strat_a": {"k": 2}})
    store.strategy(era_id=1, passed_thresholds=0, timestamp=4.0, source="simulate",
                   strategy_pool_id="strat_b")
    for kw, expected in (
            (dict(passed_only=True), [3.0, 1.0]), (dict(passed_only=False), [4.0, 3.0, 2.0, 1.0]),
            (dict(), [4.0, 3.0, 2.0, 1.0]), (dict(eval_type="signal"), [2.0, 1.0]),
            (dict(era_id=2), [3.0, 2.0]), (dict(named_universe="EU"), [2.0]),
            (dict(metaparameters={"strat_a": {"k": 2}}), [3.0]),
            (dict(metaparameters={"pool_a": {"lookback": 60}}), [2.0]),
            (dict(metaparameters={"pool_a": {"lookback": 60, "w": "y"}}), []),
            (dict(source="simulate"), [4.0]), (dict(signal_pool_id="pool_a"), [2.0, 1.0]),
            (dict(strategy_pool_id="strat_a"), [3.0]),
            (dict(strategy_pool_id="strat_b", strategy_signal_pool="pool_a"), [4.0]),
            (dict(strategy_signal_pool="pool_a"), [4.0, 3.0]),
            (dict(strategy_signal_pool="pool_b"), [])):
        assert [r.timestamp for r in tracker.get_evaluation_history(**kw)] == expected, kw
        if "passed_only" not in kw:
            assert tracker.get_evaluation_count(**kw) == len(expected), kw
    with pytest.raises(ValueError, match=r"^strategy_signal_pool must be a non-empty string$"):
        tracker.get_evaluation_history(strategy_signal_pool=3)
    with pytest.raises(ValueError, match=r"^eval_type must be 'signal', 'strategy', or None$"):
        tracker.get_evaluation_count(eval_type="both")


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
    for kw, expected in ((dict(passed_only=True), [(s1, "signal")]),
                         (dict(passed_only=False), [(t1, "strategy"), (s2, "signal")]),
                         (dict(offset=1, limit=1), [(t1, "strategy")]),
                         (dict(offset=2), [(s2, "signal")]), (dict(offset=3), []),
                         (dict(eval_type="strategy"), [(t1, "strategy")])):
        assert [r[:2] for r in rows(**kw)] == expected, kw


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
    assert [(r["passed_thresholds"], r["failure_detail"]) for r in rows] == [
        (False, "[1, 2]"), (False, {"x": 1}), (True, None)]
    assert [r["eval_id"] for r in tracker.get_signal_stats(limit=2)] == ids[:0:-1]
    assert [r["eval_id"] for r in tracker.get_signal_stats(eval_id=ids[1])] == [ids[1]]
    assert tracker.get_signal_stats(eval_id=999) == []
    (strategy,) = tracker.get_strategy_stats()
    assert list(strategy.items())[-2:] == [("strategy_pool_id", "strat_a"),
                                           ("strategy_signal_pool", "pool_a")]
    assert strategy["eval_id"] == tid and strategy["sharpe"] == 2.0
    with pytest.raises(ValueError, match=r"^limit must be >= 1$"):
        tracker.get_strategy_stats(limit=0)


def test_distinct_eras_and_universes(tracker, store):
    store.signal(era_id=3, named_universe="US")
    store.signal(era_id=1, named_universe="EU")
    store.strategy(era_id=3, named_universe="ASIA")
    store.strategy(era_id=None, named_universe=None)
    # NULL sorts first, on both storages.
    assert tracker.get_available_eras() == [None, 1, 3]
    assert tracker.get_available_named_universes() == [None, "ASIA", "EU", "US"]
    assert tracker.get_available_universes() == tracker.get_available_named_universes()


@pytest.mark.sqlite_only  # values of other types in typed columns: SQLite's dynamic typing
@pytest.mark.parametrize("eval_type", ["signal", "strategy"])
def test_readers_return_columns_as_stored(tracker, store, db_rows, eval_type):
    # NULL from a non-finite turnover, text in real columns, a real era, a number as text.
    odd = dict(turnover=None, is_pnl_mi="x", sharpe="high", era_id=1.5, tree_depth=None,
               named_universe=7, source=4, rejection_reason=3, expression_elapsed_seconds="s",
               failure_reason=2.5)
    eid = store.evaluation(eval_type, **odd)
    table = eval_type + "_evaluations"
    stored = dict(zip(odd, db_rows(tracker, f"SELECT {', '.join(odd)} FROM {table}")[0]))
    (record,) = tracker.get_evaluation_history()
    (stats,) = getattr(tracker, f"get_{eval_type}_stats")()
    (batch,) = tracker.get_per_column_stats_batch()
    as_read = {name: getattr(record, name) for name in odd}
    assert [(v, type(v)) for v in as_read.values()] == [(v, type(v)) for v in stored.values()]
    assert {n: stats[n] for n in odd if n in stats} == {n: stored[n] for n in odd if n in stats}
    assert (batch.eval_id, batch.source, batch.rejection_reason) == (
        eid, stored["source"], stored["rejection_reason"])


def plain_history(store, eval_type, table, fn_table, feat_table, pool_columns):
    """The page as a plain sqlite3 and json reading builds it, newest first."""
    def decoded(text, empty=None):
        return json.loads(text) if text else empty

    records = []
    for row in store.rows(f"SELECT * FROM {table} ORDER BY timestamp DESC"):
        r = dict(zip(store.columns(table), row))
        fns = store.rows(f"SELECT function_name, rotation_family, function_family, "
                         f"function_subfamily FROM {fn_table} WHERE eval_id=? ORDER BY rowid",
                         (r["eval_id"],))
        feats = store.rows(f"SELECT feature_name, feature_family, feature_subfamily FROM "
                           f"{feat_table} WHERE eval_id=? ORDER BY rowid", (r["eval_id"],))
        records.append(dict(
            eval_id=r["eval_id"], eval_type=eval_type, timestamp=r["timestamp"],
            graph=decoded(r["graph_json"]),
            rotation_families_used=decoded(r["rotation_families_json"], []),
            per_column_stats=decoded(r["per_column_stats_json"]),
            metaparameters=decoded(r["metaparameters"]), named_universe=r["named_universe"],
            liquidity_metrics=decoded(r["liquidity_metrics_json"]),
            passed_thresholds=bool(r["passed_thresholds"]), sharpe=r["sharpe"],
            functions=[f[0] for f in fns], features=[f[0] for f in feats],
            function_metadata=[dict(zip(("function_name", "rotation_family", "function_family",
                                         "function_subfamily"), f)) for f in fns],
            feature_metadata=[dict(zip(("feature_name", "feature_family", "feature_subfamily"),
                                       f)) for f in feats],
            **{c: r[c] for c in pool_columns}))
    return records


def test_history_pages_equal_a_plain_reading_and_share_no_containers(tracker, store):
    names = ["rank", "zscore", "délai", "ランク"]
    stats = BacktestStats(sharpe=0.5, liquidity_metrics={"adv": 1.0})
    families = {"rank": ["fam", "sub"], "délai": ["fâm", None], "close": ["price", "raw"]}
    for i in range(60):
        fn = names[i % 4]
        graph = {"type": "rotation", "node": fn, "children": [
            {"type": "feature", "node": "close"}, {"type": "reduction", "node": fn,
                                                   "children": [{"type": "feature",
                                                                 "node": "vol_é"}]}]}
        common = dict(function_families=families, feature_families=families,
                      per_column_stats={"c": [i, None]} if i % 3 else None)
        if i % 5 == 4:
            tracker.record_strategy_evaluation(graph, stats, 1, True, [1], "EU",
                                               {"strat": {"k": i + 1}}, "strat", "pool_a", **common)
        else:
            tracker.record_signal_evaluation(graph, stats, 1 + i % 2, i % 2 == 0, "US",
                                             {"pool_a": {"k": i + 1}}, signal_pool_id="pool_a",
                                             rejection_reason=None if i % 2 == 0 else "low",
                                             **common)
    expected = plain_history(store, "signal", "signal_evaluations", "signal_function_usage",
                             "signal_feature_usage", ["signal_pool_id"])
    expected += plain_history(store, "strategy", "strategy_evaluations",
                              "strategy_function_usage", "strategy_feature_usage",
                              ["strategy_pool_id", "strategy_signal_pool"])
    expected.sort(key=lambda r: -r["timestamp"])  # stable: signals first at equal times
    records = tracker.get_evaluation_history(limit=None)
    assert [{k: getattr(rec, k) for k in want} for rec, want in zip(records, expected)] == expected
    assert len(records) == 60
    # Texts may be shared between records; the lists and mappings a caller may change are not.
    records[0].functions.append("mine")
    records[0].function_metadata[0]["function_name"] = "mine"
    records[0].graph["node"] = "mine"
    again = tracker.get_evaluation_history(limit=None)
    assert [{k: getattr(rec, k) for k in want} for rec, want in zip(again, expected)] == expected
    assert all("mine" not in r.functions and r.graph["node"] != "mine" for r in records[1:])


def test_non_finite_metaparameters_do_not_break_metaparameter_filters(tracker, storage):
    """NaN and Infinity are stored as json.dumps writes them; filters over the rows holding
    them (which older SQLite json_extract calls malformed) keep working."""
    graph = {"type": "feature", "node": "close"}
    if storage == "postgres":
        # jsonb cannot hold them: refused naming the field, before anything is written.
        with pytest.raises(DatabaseError, match=r"\(metaparameters\): JSON holding NaN"):
            tracker.record_signal_evaluation(graph, BacktestStats(), 1, False, "US",
                                             {"pool_a": {"w": math.nan}}, signal_pool_id="pool_a")
        assert tracker.get_evaluation_count() == 0
        # So no stored row holds them, and filters on them match nothing (as NaN's on SQLite).
        tracker.record_signal_evaluation(graph, BacktestStats(), 1, False, "US",
                                         {"pool_a": {"w": 1.0}}, signal_pool_id="pool_a")
        for value in (math.nan, math.inf, -math.inf):
            meta = {"pool_a": {"w": value}}
            assert tracker.get_evaluation_history(metaparameters=meta) == []
            assert tracker.get_evaluation_count(metaparameters=meta) == 0
        return
    ids = [tracker.record_signal_evaluation(graph, BacktestStats(), 1, False, "US", meta,
                                            signal_pool_id="pool_a")
           for meta in ({"pool_a": {"w": math.nan, "k": 1}}, {"pool_a": {"w": math.inf, "k": 2}},
                        {"pool_a": {"k": 1, "nested": {"a": [1, 2]}}})]
    for meta, expected in (({"pool_a": {"k": 1}}, [ids[2], ids[0]]),
                           ({"pool_a": {"w": math.inf}}, [ids[1]]),
                           ({"pool_a": {"w": math.nan}}, []),
                           ({"pool_a": {"nested": '{"a":[1,2]}'}}, [ids[2]])):
        assert [r.eval_id for r in tracker.get_evaluation_history(metaparameters=meta)] == \
            expected, meta
        assert tracker.get_evaluation_count(metaparameters=meta) == len(expected)
    assert [s.total_evaluations for s in tracker.get_feature_stats(
        metaparameters={"pool_a": {"k": 1}})] == [2]
    # A path that changes from row to row is read for each row, not kept from the first.
    rows = tracker._conn.execute(
        "SELECT e.eval_id, p.path, json_extract(e.metaparameters, p.path) "
        "FROM signal_evaluations e, (SELECT '$.pool_a.k' AS path UNION ALL "
        "SELECT '$.pool_a.nested.a[1]') p ORDER BY e.eval_id, p.path").fetchall()
    assert [r[2] for r in rows] == [1, None, 2, None, 1, 2]
