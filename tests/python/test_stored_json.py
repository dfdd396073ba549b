"""Fields stored only as JSON text (metaparameters, per_column_stats, the statistics'
liquidity_metrics): the text is json.dumps's byte for byte, through the writer and through
direct recording alike, for the values whose conversion has awkward corners; unconvertible
values fail where they did; the writer hands an item back as it read it."""

import json
import math
import queue as queue_module

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as hs

from conftest import db_rows
from plintrove.search_tracking import BacktestStats, WriterThread

GRAPH = {"type": "rotation", "node": "rank", "children": [{"type": "feature", "node": "close"}]}
COLUMNS = "metaparameters, per_column_stats_json, liquidity_metrics_json"


class Text(str):
    pass


class HashedKey(str):
    """Spells like a plain key but hashes apart from it, so a dict holds both."""
    def __hash__(self):
        return 7


class Int(int):
    def __repr__(self):
        return "Int()"


class Float(float):
    def __repr__(self):
        return "Float()"


class Dict(dict):
    pass


class List(list):
    pass


def nested(depth):
    value = "leaf"
    for _ in range(depth - 1):
        value = [value]
    return value


AWKWARD = {
    "non-text keys": {1: "int", 2.5: "float", None: "none", False: "bool", 2**70: "big",
                      float("nan"): "nan", float("-inf"): "-inf", "1": "text one"},
    "floats": [float("nan"), float("inf"), float("-inf"), -0.0, 1e16, 1e-5, 5e-324, 0.1, 2**64],
    "lone surrogates": {"\ud800": "x\udfff", "pair": "\ud83d\ude00", "é\U0001f600": "\x00\x1f"},
    "subclasses": Dict({Text("k"): List([Int(5), Float(1.5), Text("v"), (1, (2, "t"))])}),
    "str subclass keys that spell alike": {HashedKey("a"): 1, "a": 2},
    "deep": nested(950),
}


class Status:
    def __init__(self):
        self.error_code, self.recovery_advice, self.running, self.errors = None, None, True, []


def new_writer(tracker, q=None):
    return WriterThread(tracker, q or queue_module.Queue(), Status(), lambda: None)


def writer_item(value, **overrides):
    item = {"type": "signal", "graph": GRAPH, "signal_pool_id": "p",
            "metaparameters": {"p": {"s": [value]}}, "per_column_stats": value,
            "stats": BacktestStats(liquidity_metrics=value)}
    item.update(overrides)
    return item


def written(tracker, value):
    new_writer(tracker)._do_write([writer_item(value)])
    return db_rows(tracker, f"SELECT {COLUMNS} FROM signal_evaluations "
                            "ORDER BY eval_id DESC LIMIT 1")[0]


def recorded(tracker, value):
    eval_id = tracker.record_signal_evaluation(
        GRAPH, BacktestStats(liquidity_metrics=value), 1, True, "U", {"p": {"s": [value]}},
        signal_pool_id="p", per_column_stats=value)
    return db_rows(tracker, f"SELECT {COLUMNS} FROM signal_evaluations WHERE eval_id=?",
                   (eval_id,))[0]


def expected(value):
    text = None if value is None else json.dumps(value)
    return json.dumps({"p": {"s": [value]}}), text, text


# PostgreSQL keeps metaparameters as jsonb, in its own spelling.
@pytest.mark.sqlite_only
@pytest.mark.parametrize("path", [written, recorded], ids=["writer", "recording"])
def test_awkward_values_are_stored_as_json_dumps_writes_them(tracker, path):
    for name, value in AWKWARD.items():
        assert path(tracker, value) == expected(value), name


UNSET = object()


@pytest.mark.parametrize("meta, per_column, liquidity, error, message", [
    # The first field read that cannot be converted is the one reported.
    ({"p": {"s": {1, 2}}}, object(), object(), TypeError,
     "Object of type set is not JSON serializable"),
    ({"p": {"s": 1}}, {"c": object()}, {1, 2}, TypeError,
     "Object of type object is not JSON serializable"),
    ({"p": {"s": 1}}, {"c": 1}, {(1, 2): 3}, TypeError,
     "keys must be str, int, float, bool or None, not tuple"),
    ({"p": {"s": 1}}, nested(1002), UNSET, RecursionError,
     "maximum recursion depth exceeded while converting a Python object"),
], ids=["metaparameters-first", "per-column-before-stats", "liquidity-key", "too-deep"])
def test_unconvertible_fields_fail_the_batch_with_their_error(tracker, meta, per_column,
                                                              liquidity, error, message):
    stats = BacktestStats() if liquidity is UNSET else BacktestStats(liquidity_metrics=liquidity)
    bad = writer_item(1, metaparameters=meta, per_column_stats=per_column, stats=stats)
    with pytest.raises(error) as raised:
        new_writer(tracker)._do_write([writer_item(1), bad])
    assert str(raised.value) == message
    assert db_rows(tracker, "SELECT COUNT(*) FROM signal_evaluations") == [(0,)]


@pytest.mark.parametrize("universe, per_column, liquidity, error, message", [
    ("U", {"c": object()}, {1, 2}, TypeError,
     "argument per_column_stats: Object of type object is not JSON serializable"),
    ("U", {"c": 1}, {"a": {1, 2}}, TypeError, "Object of type set is not JSON serializable"),
    # Unreadable statistics are raised after the checks.
    ("", {"c": 1}, {"a": {1, 2}}, ValueError, "named_universe must not be empty"),
    ("U", nested(1002), {}, RecursionError,
     "maximum recursion depth exceeded while converting a Python object"),
], ids=["per-column-argument", "liquidity", "check-before-liquidity", "too-deep"])
def test_unconvertible_recording_arguments_raise_as_before(tracker, universe, per_column,
                                                           liquidity, error, message):
    with pytest.raises(error) as raised:
        tracker.record_signal_evaluation(
            GRAPH, BacktestStats(liquidity_metrics=liquidity), 1, True, universe,
            {"p": {"s": 1}}, signal_pool_id="p", per_column_stats=per_column)
    assert str(raised.value) == message
    assert db_rows(tracker, "SELECT COUNT(*) FROM signal_evaluations") == [(0,)]


def test_drained_items_come_back_as_they_were_read(tracker):
    q = queue_module.Queue()
    writer = new_writer(tracker, q)
    # repr tells int keys from text ones, and two lone surrogates from one character.
    read_as = [({1: "int key", None: [1.5, (2, "t")]}, "{1: 'int key', None: [1.5, [2, 't']]}"),
               ("\ud83d\ude00", repr("\ud83d\ude00")),
               ({HashedKey("a"): 1, "a": 2}, "{'a': 2}"),
               ({"plain": [1, {"x": math.inf}]}, "{'plain': [1, {'x': inf}]}")]
    for value, _ in read_as:
        q.put(writer_item(value))
    drained = writer._drain_queue()
    assert len(drained) == len(read_as)
    for (_, text), item in zip(read_as, drained):
        assert list(item) == ["type", "graph", "metaparameters", "per_column_stats",
                              "signal_pool_id", "stats"]
        assert item["graph"] == GRAPH
        for got in (item["metaparameters"]["p"]["s"][0], item["per_column_stats"],
                    item["stats"].liquidity_metrics):
            assert repr(got) == text


# ASCII text (with its escapes) and text of a str subclass are read apart from other text;
# ints apart at the edges of 64 bits.
texts = (hs.text(max_size=6) | hs.text(hs.characters(max_codepoint=0x7F), max_size=6)
         | hs.builds(Text, hs.text(max_size=6)))
ints = hs.integers(-2**70, 2**70) | hs.sampled_from([2**63 - 1, 2**63, -2**63, -2**63 - 1])
json_keys = hs.text(max_size=4) | ints | hs.floats() | hs.booleans() | hs.none()
json_values = hs.recursive(
    hs.none() | hs.booleans() | ints | hs.floats() | texts,
    lambda kids: hs.lists(kids, max_size=4) | hs.tuples(kids, kids)
    | hs.dictionaries(json_keys, kids, max_size=4),
    max_leaves=16)


@pytest.mark.sqlite_only
@settings(max_examples=200, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(value=json_values)
def test_random_values_are_stored_as_json_dumps_writes_them(tracker, value):
    assert written(tracker, value) == recorded(tracker, value) == expected(value)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("path", ["writer", "recording"])
def test_family_entries_are_found_for_every_form_of_name(tracker, path):
    names = ["rank", Text("ts_mean"), Index(7), "zscore", "rank", "absent"]
    graph = {"type": "rotation", "node": names[0],
             "children": [{"type": "function", "node": n} for n in names[1:]]}
    # A key that hashes its own way is not found by its text, as a plain dict lookup goes.
    families = {"rank": ("fam_r", "sub_r"), "ts_mean": [Text("fam_t"), None],
                7: ["fam_7", "sub_7", "extra"], HashedKey("zscore"): ["fam_z", "sub_z"],
                "unused": {1, 2}}
    if path == "writer":
        new_writer(tracker)._do_write([writer_item(1, graph=graph, function_families=families)])
    else:
        tracker.record_signal_evaluation(graph, BacktestStats(), 1, True, "U", {"p": {"s": 1}},
                                         signal_pool_id="p", function_families=families)
    assert db_rows(tracker, "SELECT rotation_families_json FROM signal_evaluations") == [
        ('["fam_r", "fam_t", "fam_7"]',)]
    usage = db_rows(tracker, "SELECT function_name, rotation_family, function_subfamily "
                             "FROM signal_function_usage ORDER BY rowid")
    assert [(str(n), f, s) for n, f, s in usage] == [
        ("rank", "fam_r", "sub_r"), ("ts_mean", "fam_t", None), ("7", "fam_7", "sub_7"),
        ("zscore", None, None), ("rank", "fam_r", "sub_r"), ("absent", None, None)]


def test_family_pairs_are_stored_as_given_however_many_distinct_ones_come(tracker):
    # More distinct pairs than conversion keeps for sharing, lists and tuples, two pairs
    # whose texts run together alike, and a second item repeating the first one's pairs.
    names = [f"fn_{i}" for i in range(4200)]
    families = {n: (f"fam_{i}", f"sub_{i}") if i % 2 else [f"fam_{i}", f"sub_{i}"]
                for i, n in enumerate(names)}
    families.update(x=["ab", "c"], y=("a", "bc"))
    names += ["x", "y", "fn_1"]
    graph = {"type": "rotation", "node": names[0],
             "children": [{"type": "function", "node": n} for n in names[1:]]}
    new_writer(tracker)._do_write([writer_item(None, graph=graph, function_families=families)] * 2)
    usage = db_rows(tracker, "SELECT function_name, rotation_family, function_subfamily "
                             "FROM signal_function_usage ORDER BY rowid")
    assert usage == [(n, *families[n]) for n in names] * 2
