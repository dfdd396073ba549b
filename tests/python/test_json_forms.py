"""The library's JSON text against Python's json module, on generated values.

The default form is checked on what recording stores in graph_json and on what the history
decodes back; the compact sorted form through the failure-detail encoder, whose fallback on
an encoding error is str(value), so Python's repr rules are checked there too.
"""

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as hs

from conftest import write
from plintrove import search_tracking as st
from plintrove.search_tracking import BacktestStats

SPECIAL_TEXT = ["", "\x00", "\x1f", "\x7f", "\x85", "\xa0", "\xad", "\u2028", "\u200b", "\ufeff",
                "\uffff", "\U0001f600", "\U000e0001", "\u0378", "é", "'", '"', "\\", "it's",
                'a\'b"c', "\b\f\n\r\t", "/"]
SPECIAL_FLOATS = [-0.0, 0.0, 1e16, 1e15, 1e-5, 1e-4, 1.5e300, 5e-324, 1.7976931348623157e308,
                  9999999999999998.0, 0.1, float("nan"), float("inf"), float("-inf")]

# Lone surrogates are left out: a Python str holding one cannot cross into UTF-8 text.
texts = hs.text(hs.characters(blacklist_categories=("Cs",)), max_size=10) | hs.sampled_from(SPECIAL_TEXT)
floats = hs.floats() | hs.sampled_from(SPECIAL_FLOATS)
integers = (hs.integers() | hs.integers(min_value=2**63 - 3, max_value=2**63 + 3)
            | hs.integers(min_value=-2**63 - 3, max_value=-2**63 + 3)
            | hs.integers(min_value=-10**40, max_value=10**40))
scalars = hs.none() | hs.booleans() | integers | floats | texts


def values(keys):
    return hs.recursive(
        scalars,
        lambda kids: hs.lists(kids, max_size=4) | hs.dictionaries(keys, kids, max_size=5),
        max_leaves=12,
    )


def python_failure_detail(value):
    if value is None or isinstance(value, str):
        return value
    try:
        return json.dumps(value, sort_keys=True, separators=(",", ":"), allow_nan=False)
    except (TypeError, ValueError):
        return str(value)


@settings(max_examples=1000, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(value=values(texts | integers))
def test_recorded_graph_json_is_json_dumps_and_decodes_back(tracker, db_rows, value):
    graph = {"type": "feature", "node": "x", "payload": value}
    eval_id = tracker.record_signal_evaluation(graph, BacktestStats(), 1, True, "U",
                                               {"p": {"s": 1}}, signal_pool_id="p")
    stored = db_rows(tracker, "SELECT graph_json FROM signal_evaluations WHERE eval_id=?", (eval_id,))
    assert stored == [(json.dumps(graph),)]

    record = tracker.get_evaluation_history(limit=1)[0]
    assert record.eval_id == eval_id
    # Compared as text: NaN != NaN, and integer keys come back as text as they do in Python.
    assert json.dumps(record.graph) == json.dumps(json.loads(json.dumps(graph)))


@settings(max_examples=1000, deadline=None)
@given(value=values(texts | integers | floats | hs.booleans() | hs.none()))
def test_failure_detail_uses_compact_sorted_json_or_str(value):
    assert st._failure_detail_for_storage(value) == python_failure_detail(value)


class Index:
    def __index__(self):
        return 7


class Real:
    def __float__(self):
        return 2.5


class Opaque:
    def __str__(self):
        return "opaque detail"


@pytest.mark.parametrize("value, expected", [
    ({"b": 1, "a": [1.0, None]}, '{"a":[1.0,null],"b":1}'),
    ({"b": (1, True), "a": [Index(), Real()]}, '{"a":[7,2.5],"b":[1,true]}'),
    (True, "true"),
    (Opaque(), "opaque detail"),
    ({(1, 2): "tuple key"}, "{(1, 2): 'tuple key'}"),
    ({2: "x", 10: "y", -1.5: "z"}, '{"-1.5":"z","2":"x","10":"y"}'),
    ({"a": 1, 2: 3}, "{'a': 1, 2: 3}"),
    ({"a": float("nan")}, "{'a': nan}"),
    ([{"k": "it's\u2028"}, 1e16, -2**70], '[{"k":"it\'s\\u2028"},1e+16,-1180591620717411303424]'),
    ([{"k": "it's\u2028"}, 1e-5, float("-inf")], "[{'k': \"it's\\u2028\"}, 1e-05, -inf]"),
    ("text \x00 stays", "text \x00 stays"),
    (None, None),
])
def test_failure_detail_examples(value, expected):
    assert st._failure_detail_for_storage(value) == expected


@pytest.mark.parametrize("stored", [
    '{"type": "feature" "node": "x"}',
    '{"type": "\\ufeature"}',
    '{"node": "\u00e9\U0001f600"} x',
    '[1,\n 2,\n  ]',
])
def test_malformed_stored_json_fails_with_pythons_message(tracker, data_dir, stored):
    def record(node):
        return tracker.record_signal_evaluation({"type": "feature", "node": node},
                                                BacktestStats(), 1, True, "U", {"p": {"s": 1}},
                                                signal_pool_id="p")

    record("older")
    eval_id = record("x")
    write(data_dir, ("UPDATE signal_evaluations SET graph_json=? WHERE eval_id=?",
                     (stored, eval_id)))
    with pytest.raises(json.JSONDecodeError) as expected:
        json.loads(stored)
    # The second page of one reads the malformed row too, before slicing it away.
    for read in (tracker.get_evaluation_history,
                 lambda: tracker.get_evaluation_history(limit=1, offset=1)):
        with pytest.raises(ValueError) as actual:
            read()
        assert str(actual.value) == str(expected.value)


DEEP = 500
ODD_STORED = [
    "[1e400, -1e400, 1e-400, -0.0, -0, 0.5e1, 2E+2, 123456789012345678901234567890, "
    "-9223372036854775809, -9223372036854775808, 9223372036854775807]",
    '{"a": NaN, "b": Infinity, "c": -Infinity, "d": [NaN]}',
    '{"k": 1, "j": {"x": 1, "x": [2]}, "k": 3}',
    '["\\ud800", "\\udc00\\ud83d", "\\ud83d\\ude00", "\\ud800\\u0041", "\\u00e9\\n\\/", "\\ud83d"]',
    '{"\\u00e9": {"": []}, "x\\ty": "\\"\\\\", "\u00e9\U0001f600": "raw"}',
    ' \t\n[ 1 ,\n{} ] \r\n', '"text"', "3", "null", "true",
    "[" * DEEP + "]" * DEEP,
    '{"d": %s}' % ('{"a": ' * DEEP + "1" + "}" * DEEP),
    # Refused alike.
    "[" * 1001 + "]" * 1001,
    '{"a": [%s]}' % ("7" * 5000),
    '{"a": 1,}',
    '"\\ud80"',
]


def refusal(e):
    return RecursionError if isinstance(e, RecursionError) else ValueError, str(e)


def loads(text):
    try:
        return repr(json.loads(text))
    except (ValueError, RecursionError) as e:
        return refusal(e)


@pytest.mark.sqlite_only
@pytest.mark.parametrize("stored", ODD_STORED, ids=lambda s: s[:24])
def test_history_decodes_stored_json_as_json_loads(tracker, data_dir, stored):
    """Big integers, NaN and the infinities, repeated keys, lone surrogates and deep
    nesting: every JSON column reads back as json.loads gives it, or fails as it does, in
    the history and the per-column batch; failure_detail keeps its text unless it holds a
    mapping."""
    tracker.record_signal_evaluation({"type": "feature", "node": "x"}, BacktestStats(), 1, True,
                                     "U", {"p": {"s": 1}}, signal_pool_id="p")
    expected = loads(stored)
    decoded = json.loads(stored) if isinstance(expected, str) else None
    write(data_dir, ("UPDATE signal_evaluations SET failure_detail=?", (stored,)))
    (record,) = tracker.get_evaluation_history()
    assert repr(record.failure_detail) == repr(decoded if isinstance(decoded, dict) else stored)
    for column, field in (("graph_json", "graph"), ("rotation_families_json",
                                                    "rotation_families_used"),
                          ("per_column_stats_json", "per_column_stats")):
        write(data_dir, (f"UPDATE signal_evaluations SET {column}=?", (stored,)))
        reads = [tracker.get_evaluation_history]
        if field == "per_column_stats":
            reads.append(tracker.get_per_column_stats_batch)
        for read in reads:
            try:
                (record,) = read()
                got = repr(getattr(record, field))
            except (ValueError, RecursionError) as e:
                assert type(e) in (ValueError, RecursionError)
                got = refusal(e)
            assert got == expected, (column, read.__name__)
        write(data_dir, f"UPDATE signal_evaluations SET {column}=NULL")
