import itertools
import json
import math
import queue
import sqlite3
import sys
import time

import pytest

from conftest import Recorder, db_rows
from plintrove.search_tracking import (BacktestStats, CrossPoolReferenceError, DatabaseError,
                                       WriterThread)

META = {"pool_a": {"lookback": 20}}
GRAPH = {
    "type": "rotation",
    "node": "rank",
    "children": [{"type": "feature", "node": "close"}, {"type": "feature", "node": "close"}],
}
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


def record_signal(tracker, **kw):
    args = dict(graph=GRAPH, stats=BacktestStats(sharpe=1.5), era_id=1, passed_thresholds=True,
                named_universe="US_TOP_500", metaparameters=META, signal_pool_id="pool_a")
    args.update(kw)
    return tracker.record_signal_evaluation(**args)


def record_strategy(tracker, **kw):
    args = dict(graph=GRAPH, stats=BacktestStats(), era_id=1, passed_thresholds=True,
                referenced_signal_ids=[], named_universe="US_TOP_500",
                metaparameters={"strat_a": {"k": 1}}, strategy_pool_id="strat_a",
                strategy_signal_pool="pool_a")
    args.update(kw)
    return tracker.record_strategy_evaluation(**args)


def evaluation_counts(tracker):
    return [db_rows(tracker, f"SELECT COUNT(*) FROM {t}")[0][0] for t in (
        "signal_evaluations", "signal_function_usage", "signal_feature_usage",
        "strategy_evaluations", "strategy_function_usage", "strategy_feature_usage")]


def row_dict(tracker, table, columns, eval_id):
    names = [c.strip() for c in columns.split(",")]
    row = db_rows(tracker, f"SELECT {columns} FROM {table} WHERE eval_id=?", (eval_id,))[0]
    return dict(zip(names, row))


def test_signal_row_and_usage_rows(tracker, identity):
    stats = BacktestStats(sharpe=1.5, returns=0.1, turnover=0.2, drawdown=0.3,
                          delta_exposure=0.4, max_weight=0.5, quality_score=0.6,
                          correlation=0.7, liquidity_metrics={"adv": 1e6, "name": "é"})
    seen = Recorder(tracker).statements
    before = time.time()
    eval_id = record_signal(
        tracker, stats=stats, passed_thresholds=False, rejection_reason="low_sharpe",
        function_families={"rank": ("X", "Y")}, per_column_stats={"c": [1.0, None]},
        source="simulate", expression_elapsed_seconds=0.25, is_correlation=0.1, is_pnl_mi=2,
        agent_is_pnl_mi=None, failure_reason="timeout", failure_detail={"b": 1, "a": [1, 2]})
    after = time.time()

    # Exactly the statement texts, so the connection's statement cache sees one text each.
    assert seen[0][0] == (f"INSERT INTO signal_evaluations ({SIGNAL_COLUMNS}) VALUES ("
                          + ", ".join(["?"] * 30) + ")")
    assert seen[1][0] == ("INSERT INTO signal_function_usage (eval_id, function_name, "
                          "rotation_family, function_family, function_subfamily) "
                          "VALUES (?, ?, ?, ?, ?)")
    assert seen[2][0] == seen[3][0] == ("INSERT INTO signal_feature_usage (eval_id, feature_name, "
                                        "feature_family, feature_subfamily) VALUES (?, ?, ?, ?)")
    # The trial ledger of the evaluation's scope is updated before the one commit.
    assert seen[4][0].startswith("INSERT INTO signal_trial_ledger (")
    assert seen[4][1][:4] == [1, "pool_a", "US_TOP_500", "simulate"]
    assert len(seen) == 5

    row = row_dict(tracker, "signal_evaluations", SIGNAL_COLUMNS, eval_id)
    assert before <= row.pop("timestamp") <= after
    assert row == {
        "era_id": 1, "graph_json": json.dumps(GRAPH), "tree_depth": 2,
        "rotation_families_json": '["X"]', "passed_thresholds": 0, "sharpe": 1.5,
        "returns": 0.1, "turnover": 0.2, "drawdown": 0.3, "delta_exposure": 0.4,
        "max_weight": 0.5, "quality_score": 0.6, "agent_is_correlation": 0.7,
        "per_column_stats_json": '{"c": [1.0, null]}', "rejection_reason": "low_sharpe",
        "named_universe": "US_TOP_500", "metaparameters": '{"pool_a": {"lookback": 20}}',
        "submitted": 0, "liquidity_metrics_json": '{"adv": 1000000.0, "name": "\\u00e9"}',
        "signal_pool_id": "pool_a", "source": "simulate", "expression_elapsed_seconds": 0.25,
        "is_correlation": 0.1, "is_pnl_mi": 2.0, "agent_is_pnl_mi": None,
        "failure_reason": "timeout", "failure_detail": '{"a":[1,2],"b":1}',
        "instance_id": identity.instance_id, "author_id": identity.author_id,
    }
    assert db_rows(tracker, "SELECT eval_id, function_name, rotation_family, function_family, "
                   "function_subfamily FROM signal_function_usage") == [
        (eval_id, "rank", "X", "X", "Y")]
    assert db_rows(tracker, "SELECT eval_id, feature_name, feature_family, feature_subfamily "
                   "FROM signal_feature_usage ORDER BY rowid") == [
        (eval_id, "close", None, None), (eval_id, "close", None, None)]
    assert not tracker._conn.in_transaction


def test_defaults_store_null_and_empty_lists(tracker):
    first = record_signal(tracker, stats=BacktestStats(liquidity_metrics=None))
    second = record_signal(tracker, stats=BacktestStats(liquidity_metrics={}))
    # A failed candidate needs no reason; a detail that is no JSON is stored as its str().
    failed = record_signal(tracker, stats=BacktestStats(liquidity_metrics=None),
                           passed_thresholds=False, failure_detail={"x": math.nan})
    assert db_rows(tracker, "SELECT eval_id, rotation_families_json, liquidity_metrics_json, "
                   "per_column_stats_json, source, passed_thresholds, rejection_reason, "
                   "failure_detail FROM signal_evaluations ORDER BY eval_id") == [
        (first, "[]", None, None, "search", 1, None, None),
        (second, "[]", "{}", None, "search", 1, None, None),
        (failed, "[]", None, None, "search", 0, None, "{'x': nan}")]
    assert db_rows(tracker, "SELECT DISTINCT rotation_family, function_family, "
                   "function_subfamily FROM signal_function_usage") == [(None, None, None)]


def test_strategy_row_and_cross_pool_check(tracker):
    good = record_signal(tracker)
    other = record_signal(tracker, signal_pool_id="pool_x",
                          metaparameters={"pool_x": {"lookback": 5}})
    seen = Recorder(tracker).statements
    eval_id = record_strategy(tracker, referenced_signal_ids=[good, str(good)])
    # Each reference is looked up before anything is written; "5" finds signal 5 as SQLite does.
    assert [s for s, _ in seen[:2]] == [
        "SELECT signal_pool_id FROM signal_evaluations WHERE eval_id=?"] * 2
    assert seen[2][0] == (f"INSERT INTO strategy_evaluations ({STRATEGY_COLUMNS}) VALUES ("
                          + ", ".join(["?"] * 32) + ")")
    row = row_dict(tracker, "strategy_evaluations",
                   "referenced_signal_ids_json, strategy_pool_id, strategy_signal_pool", eval_id)
    assert row == {"referenced_signal_ids_json": f'[{good}, "{good}"]',
                   "strategy_pool_id": "strat_a", "strategy_signal_pool": "pool_a"}
    assert len(db_rows(tracker, "SELECT * FROM strategy_function_usage")) == 1

    before = evaluation_counts(tracker)
    with pytest.raises(CrossPoolReferenceError) as err:
        record_strategy(tracker, referenced_signal_ids=[good, other])
    assert isinstance(err.value, ValueError)
    assert str(err.value) == (
        f"strategy_pool_id='strat_a' strategy_id=<pending> referenced_signal_id={other} "
        "expected_strategy_signal_pool='pool_a' actual_signal_pool_id='pool_x'")
    with pytest.raises(ValueError, match=r" referenced_signal_id='999' .* "
                       r"actual_signal_pool_id=None$"):
        record_strategy(tracker, referenced_signal_ids=["999"])
    assert evaluation_counts(tracker) == before


def node(children):
    return {"type": "rotation", "node": "r", "children": children}


@pytest.mark.parametrize("record, kw, error, message", [
    # Pool ids come first, even when other arguments are wrong as well.
    (record_signal, dict(signal_pool_id=None, era_id=0), ValueError,
     "signal_pool_id must be a non-empty string"),
    (record_signal, dict(signal_pool_id=7), ValueError, "signal_pool_id must be a non-empty string"),
    (record_signal, dict(era_id=0, graph={}), ValueError, "era_id must be > 0"),
    (record_signal, dict(graph=None), ValueError, "graph must not be empty"),
    (record_signal, dict(named_universe=""), ValueError, "named_universe must not be empty"),
    (record_signal, dict(metaparameters={"pool_b": {"k": 1}}), ValueError,
     "metaparameters must include selected pool 'pool_a'"),
    (record_signal, dict(passed_thresholds=True, rejection_reason="x", source="nope"), ValueError,
     "rejection_reason must be None when passed_thresholds is True"),
    (record_signal, dict(passed_thresholds=False, rejection_reason=""), ValueError,
     "rejection_reason must not be empty string"),
    (record_signal, dict(source=None), ValueError,
     "source must be 'search' or 'simulate', got 'None'."),
    (record_strategy, dict(strategy_pool_id="", era_id=0), ValueError,
     "strategy_pool_id must be a non-empty string"),
    (record_strategy, dict(strategy_signal_pool=None), ValueError,
     "strategy_signal_pool must be a non-empty string"),
    (record_strategy, dict(referenced_signal_ids=None, era_id=0), ValueError, "era_id must be > 0"),
    (record_strategy, dict(referenced_signal_ids=[]), ValueError,
     "referenced_signal_ids must not be empty"),
    (record_strategy, dict(referenced_signal_ids=None, metaparameters={"pool_a": {"k": 1}}),
     ValueError, "metaparameters must include selected pool 'strat_a'"),
    # Malformed graphs.
    (record_signal, dict(graph="rank"), TypeError, "expression graph nodes must be dicts, got str"),
    (record_signal, dict(graph=node(["close"])), TypeError,
     "expression graph nodes must be dicts, got str"),
    (record_signal, dict(graph=node(3)), TypeError,
     "expression graph children must be a list, got int"),
    (record_signal, dict(graph=node([{"type": "feature", "node": ["a"]}])), TypeError,
     "expression graph node names must be text or numbers, got ['a']"),
    (record_signal, dict(graph=node([]), function_families={"r": ["only-family"]}), ValueError,
     "function_families['r'] must be a (family, subfamily) sequence"),
])
def test_refused_arguments_write_nothing(tracker, record, kw, error, message):
    with pytest.raises(error) as err:
        record(tracker, **kw)
    assert type(err.value) is error and str(err.value) == message
    assert evaluation_counts(tracker) == [0] * 6


@pytest.mark.parametrize("children, message", [
    # A false number is a leaf to the depth but not iterable to the names: the depth's own
    # refusal further on comes first, else the names' refusal.
    ([node(0), node("ab")], "expression graph children must be a list, got str"),
    ([node(0), 5], "expression graph nodes must be dicts, got int"),
    ([node(False), node(0.0), node([])], "expression graph children must be a list, got bool"),
    ([node(0.0), node(False)], "expression graph children must be a list, got float"),
    ([node({"k": 1}), node(0)], "expression graph children must be a list, got dict"),
], ids=["depth-after-names", "node-after-names", "names-first", "names-only", "both-at-once"])
def test_graph_refusals_come_with_the_depths_first(tracker, children, message):
    # Read in place, and converted first (a key that is not text).
    for extra in ({}, {1: None}):
        with pytest.raises(TypeError) as err:
            record_signal(tracker, graph={**node(children), **extra})
        assert str(err.value) == message
    assert evaluation_counts(tracker) == [0] * 6


def test_missing_identity_comes_after_graph_analysis(tracker):
    tracker.set_identity(None)
    with pytest.raises(TypeError):
        record_signal(tracker, graph={"type": "rotation", "node": "r", "children": "ab"})
    with pytest.raises(ValueError, match="^SearchTracker writes require an attached "
                                         "LibraryIdentity; call set_identity()"):
        record_signal(tracker)
    assert evaluation_counts(tracker) == [0] * 6


def test_failed_usage_insert_leaves_nothing_on_disk(tracker):
    kept = record_signal(tracker)
    real = tracker._conn.execute
    failure = sqlite3.OperationalError("disk I/O error (injected)")
    for caller_transaction in (False, True):
        usage = itertools.count()
        Recorder(tracker, fail_on=lambda sql: "_usage" in sql and next(usage) == 1, fail=failure)
        if caller_transaction:
            tracker._conn.execute("BEGIN")
        with pytest.raises(sqlite3.OperationalError, match="injected"):
            record_signal(tracker)
        # Inside a transaction the caller opened, the caller decides what to undo.
        assert tracker._conn.in_transaction is caller_transaction
        tracker._conn.rollback()
        tracker._conn.execute = real
        assert evaluation_counts(tracker) == [1, 1, 2, 0, 0, 0]
    assert db_rows(tracker, "SELECT eval_id FROM signal_evaluations") == [(kept,)]


def test_unusual_values_are_stored_verbatim(tracker, storage):
    nul = "\xff\xfe\x00tail"
    if storage == "postgres":
        # PostgreSQL text cannot hold a NUL: refused naming the column, nothing of it written.
        for kw, column in ((dict(named_universe=nul), "named_universe"),
                           (dict(graph={"type": "feature", "node": nul}), "feature_name")):
            with pytest.raises(DatabaseError, match=rf"\({column}\): text with a NUL character"):
                record_signal(tracker, **kw)
            assert evaluation_counts(tracker) == [0] * 6
            assert not tracker._conn.in_transaction
        nul = nul.replace("\x00", "")
    names = ["x'); DROP TABLE signal_evaluations; --", nul, "名前 🚀", 'q"uo\\te']
    graph = {"type": "reduction", "node": names[0], "extra": [1, {"k": None}],
             "children": [{"type": "feature", "node": n} for n in names[1:]]
             + [{"type": "feature", "node": 5}]}
    stats = BacktestStats(sharpe=math.nan, returns=math.inf, drawdown=-math.inf)
    # Entries for names the graph does not use are never looked at, whatever they hold.
    families = {5: ["int-keyed", "sub"], "unused": {1, 2}, ("tuple", "key"): None}
    eval_id = record_signal(tracker, graph=graph, stats=stats, named_universe=names[1],
                            feature_families=families)
    row = row_dict(tracker, "signal_evaluations",
                   "graph_json, named_universe, sharpe, returns, drawdown", eval_id)
    # NaN becomes NULL as the standard library's sqlite3 binds it, on both storages;
    # infinities stay.
    assert row == {"graph_json": json.dumps(graph), "named_universe": names[1], "sharpe": None,
                   "returns": math.inf, "drawdown": -math.inf}
    assert db_rows(tracker, "SELECT function_name FROM signal_function_usage") == [(names[0],)]
    feats = db_rows(tracker, "SELECT feature_name, feature_family FROM signal_feature_usage "
                    "ORDER BY rowid")
    assert feats[:3] == [(n, None) for n in names[1:]]
    assert str(feats[3][0]) == "5" and feats[3][1] == "int-keyed"


class HashedKey(str):
    """A key of a str subclass that hashes its own way: still found by its text."""
    def __hash__(self):
        return 7


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_graph_forms_are_analysed_as_their_plain_equivalents(tracker):
    def graph(children_key=lambda k: k, seq=list, name=lambda v: v, extra=None):
        leaf = {"type": "feature", "node": name("é"), **(extra or {})}
        inner = {"type": "filtration", "node": name(7), children_key("children"): seq([leaf])}
        return {"type": "rotation", "node": "rank",
                children_key("children"): seq([{"type": "feature", "node": "close"}, inner])}

    def stored(g):
        eval_id = record_signal(tracker, graph=g)
        row = db_rows(tracker, "SELECT graph_json, tree_depth FROM signal_evaluations "
                               "WHERE eval_id=?", (eval_id,))
        usage = [db_rows(tracker, f"SELECT {kind}_name FROM signal_{kind}_usage WHERE eval_id=? "
                                  f"ORDER BY {kind}_name", (eval_id,))
                 for kind in ("function", "feature")]
        return row, usage

    plain_row, plain_usage = stored(graph())
    assert plain_row == [(json.dumps(graph()), 3)]
    assert plain_usage == [[("7",), ("rank",)], [("close",), ("é",)]]
    for form, same_json_as in ((graph(seq=tuple), graph()),
                               (graph(children_key=HashedKey), graph()),
                               (graph(name=lambda v: Index(v) if isinstance(v, int) else v),
                                graph()),
                               # a key that is not text, stored as json.dumps writes it
                               (graph(extra={1: None, 2.5: True}), graph(extra={1: None, 2.5: True}))):
        assert stored(form) == ([(json.dumps(same_json_as), 3)], plain_usage)


def test_graphs_read_in_place_give_the_names_and_depth_of_their_values(tracker):
    # A graph read in place takes its members from where its text was written; one with a
    # key that is not text is converted to a value first. Both must read alike.
    leaf = {"type": "feature", "node": "close"}
    shapes = [
        # members after the children, and a dict that is no node of the graph written
        # between two that are
        {"children": [{"params": {"type": "feature", "node": "decoy"}, "children": [leaf],
                       "node": "ema", "type": "function"}], "node": "rank", "type": "rotation"},
        # one dict object met several times, at several depths
        {"type": "rotation", "node": "rank",
         "children": [leaf, {"type": "reduction", "node": "sum", "children": [leaf, leaf]}, leaf]},
        # keys the text writer does not copy as they are: escaped, not ASCII
        {"type": "rotation", "node": "rank", 'a"b': 1,
         "children": [{"type": "filtration", "é": [leaf], "node": "gate", "children": [leaf]}]},
    ]

    def usage(eval_id):
        return [db_rows(tracker, f"SELECT {kind}_name FROM signal_{kind}_usage WHERE eval_id=? "
                                 f"ORDER BY rowid", (eval_id,))
                for kind in ("function", "feature")]

    for graph in shapes:
        in_place = record_signal(tracker, graph=graph)
        as_value = record_signal(tracker, graph={**graph, 1: None})
        assert usage(in_place) == usage(as_value)
        assert usage(in_place)[0]
        assert (db_rows(tracker, "SELECT tree_depth FROM signal_evaluations WHERE eval_id=?",
                        (in_place,))
                == db_rows(tracker, "SELECT tree_depth FROM signal_evaluations WHERE eval_id=?",
                           (as_value,)))


def test_function_and_feature_names_keep_their_own_walk_order(tracker):
    # Functions and features interleave in the walk; each list keeps its own order and each
    # name finds its own family entry, whether the graph is read in place or, with a key
    # that is not text, converted first.
    def leaf(name):
        return {"type": "feature", "node": name}

    functions = {"sum": ["S", "s"], "zs": ["Z", "z"], "top": ["S", "t"], "abs": ["A", "a"]}
    features = {"a": ["FA", "x"], "b": ["FB", "y"], "c": ["FC", "z"]}
    for extra in ({}, {"extra": {1: None}}):
        graph = {"type": "reduction", "node": "sum", **extra, "children": [
            leaf("b"),
            {"type": "rotation", "node": "zs",
             "children": [leaf("a"), {"type": "filtration", "node": "top"}]},
            {"type": "function", "node": "abs", "children": [leaf("c"), leaf("b")]}]}
        eval_id = record_signal(tracker, graph=graph, function_families=functions,
                                feature_families=features)
        usage = [db_rows(tracker, f"SELECT {kind}_name, {kind}_family FROM signal_{kind}_usage "
                                  "WHERE eval_id=? ORDER BY rowid", (eval_id,))
                 for kind in ("function", "feature")]
        assert usage == [[(n, functions[n][0]) for n in ("sum", "zs", "top", "abs")],
                         [(n, features[n][0]) for n in ("b", "a", "c", "b")]]
        assert row_dict(tracker, "signal_evaluations", "rotation_families_json", eval_id) == {
            "rotation_families_json": '["S", "Z", "A"]'}


def nested_graph(depth):
    graph = {"type": "feature", "node": "leaf"}
    for _ in range(depth - 1):
        graph = {"type": "rotation", "node": "r", "children": [graph]}
    return graph


@pytest.mark.parametrize("host_limit", [None, 1_000_000])
def test_deep_graphs(tracker, host_limit):
    eval_id = record_signal(tracker, graph=nested_graph(300))
    assert row_dict(tracker, "signal_evaluations", "tree_depth", eval_id) == {"tree_depth": 300}
    assert evaluation_counts(tracker)[:3] == [1, 299, 1]
    # Far beyond what can be stored, whatever recursion limit the host set: refused as the
    # host's own code would refuse it, with nothing written and the tracker still usable.
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(host_limit or saved)
    try:
        for depth in (20_000, 200_000):
            with pytest.raises(RecursionError):
                record_signal(tracker, graph=nested_graph(depth))
    finally:
        sys.setrecursionlimit(saved)
    assert evaluation_counts(tracker)[:3] == [1, 299, 1]
    assert record_signal(tracker) == eval_id + 1


class FiguresOnly:
    """Statistics as a host may hand them: the stored figures, no custom_stats."""

    liquidity_metrics = None
    sharpe, returns, turnover, drawdown = 1.0, 2.0, 3.0, 4.0
    delta_exposure, max_weight, quality_score, correlation = 5.0, 6.0, 7.0, 8.0


def test_statistics_are_read_where_recording_reads_them(tracker):
    eval_id = record_signal(tracker, stats=FiguresOnly())
    assert db_rows(tracker, "SELECT sharpe, agent_is_correlation FROM signal_evaluations "
                            "WHERE eval_id=?", (eval_id,)) == [(1.0, 8.0)]
    # An unreadable stats object is met after the checks that come first, in their order:
    # argument checks, the cross-pool check, the graph analysis; then its own first
    # attribute, before the identity is looked at.
    unreadable = object()
    for record, kw, error, message in (
            (record_signal, dict(era_id=0), ValueError, "era_id must be > 0"),
            (record_strategy, dict(referenced_signal_ids=[404]), CrossPoolReferenceError, None),
            (record_signal, dict(graph=node(3)), TypeError, None),
            (record_signal, dict(), AttributeError, "liquidity_metrics")):
        tracker.set_identity(None)
        with pytest.raises(error) as err:
            record(tracker, stats=unreadable, **kw)
        assert type(err.value) is error and (message is None or message in str(err.value))
    tracker.close()
    with pytest.raises(OSError, match="^SearchTracker is closed$"):
        record_signal(tracker, stats=unreadable, era_id=0)


class DoubledSharpe(BacktestStats):
    def __getattribute__(self, name):
        value = super().__getattribute__(name)
        return value * 2 if name == "sharpe" else value


class Status:
    def __init__(self):
        self.error_code, self.recovery_advice, self.running, self.errors = None, None, True, []


def test_statistics_records_give_what_their_attributes_give(tracker):
    """Whatever a statistics record's class or its subclass makes of an attribute is what
    both recording and the writer store, however the figures are read."""
    writer = WriterThread(tracker, queue.Queue(), Status(), lambda: None)

    def stored_sharpes(stats):
        # No default statistics are made on the way, while the class is changed.
        tracker.record_signal_evaluation(graph=GRAPH, stats=stats, era_id=1,
                                         passed_thresholds=True, named_universe="US_TOP_500",
                                         metaparameters=META, signal_pool_id="pool_a")
        writer._do_write([{"type": "signal", "graph": GRAPH, "stats": stats,
                           "signal_pool_id": "pool_a"}])
        rows = db_rows(tracker, "SELECT sharpe FROM signal_evaluations ORDER BY eval_id DESC "
                                "LIMIT 2")
        return [sharpe for (sharpe,) in rows]

    assert stored_sharpes(BacktestStats(sharpe=1.5)) == [1.5, 1.5]
    assert stored_sharpes(DoubledSharpe(sharpe=1.5)) == [3.0, 3.0]
    stats = BacktestStats(sharpe=1.5)
    slot = BacktestStats.__dict__["sharpe"]
    try:
        BacktestStats.sharpe = property(lambda self: 9.5)
        assert stored_sharpes(stats) == [9.5, 9.5]
    finally:
        BacktestStats.sharpe = slot
    assert stored_sharpes(stats) == [1.5, 1.5]
    del stats.sharpe
    with pytest.raises(AttributeError, match="sharpe"):
        record_signal(tracker, stats=stats)


def test_children_none_is_a_leaf(tracker):
    graph = {"type": "rotation", "node": "rank",
             "children": [{"type": "feature", "node": "close", "children": None}]}
    eval_id = record_signal(tracker, graph=graph)
    assert db_rows(tracker, "SELECT tree_depth FROM signal_evaluations") == [(2,)]
    assert db_rows(tracker, "SELECT feature_name FROM signal_feature_usage WHERE eval_id=?",
                   (eval_id,)) == [("close",)]
