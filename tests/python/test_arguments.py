"""How calls with arguments the tracker cannot take fail: Python's own one-line messages for
calls that do not fit, named TypeErrors for objects of the wrong kind, the validators' own
messages where they check, integer-like objects accepted, and the error classes Python's
sqlite3 raises for what it cannot store."""

import sqlite3
import sys

import pytest

from conftest import db_rows
from plintrove.search_tracking import BacktestStats, SearchTracker, WriterThread
from submission_helpers import GRAPH, add_signal, table_counts


class Index:
    """An integer-like object of another library (numpy.int64 and the like)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def record(tracker, **kw):
    args = dict(graph=GRAPH, stats=BacktestStats(), era_id=1, passed_thresholds=True,
                named_universe="US", metaparameters={"pool_a": {"k": 1}}, signal_pool_id="pool_a")
    return tracker.record_signal_evaluation(**{**args, **kw})


def rows_everywhere(tracker):
    counts = table_counts(tracker._data_dir)
    for table in ("signal_evaluations", "signal_function_usage", "signal_feature_usage"):
        counts[table] = db_rows(tracker, f"SELECT COUNT(*) FROM {table}")[0][0]
    return counts


def sqlite3_error(value):
    """What Python's sqlite3 raises when asked to bind `value`."""
    with pytest.raises(Exception) as err:
        sqlite3.connect(":memory:").execute("SELECT ?", (value,))
    return type(err.value), str(err.value)


@pytest.mark.parametrize("call, message", [
    (lambda t: t.enqueue_submission(1, "signal", "{}", 1, sigal_pool_id="p"),
     "SearchTracker.enqueue_submission() got an unexpected keyword argument 'sigal_pool_id'"),
    (lambda t: t.get_evaluation_history(limti=3),
     "SearchTracker.get_evaluation_history() got an unexpected keyword argument 'limti'"),
    (lambda t: t.enqueue_submission(1, "signal", "{}", 1, "a", "b", "c"),
     "SearchTracker.enqueue_submission() takes from 5 to 7 positional arguments but 8 were given"),
    (lambda t: t.dequeue_submission(1),
     "SearchTracker.dequeue_submission() takes 1 positional argument but 2 were given"),
    (lambda t: t.enqueue_submission(1, "signal"),
     "SearchTracker.enqueue_submission() missing 2 required positional arguments: "
     "'payload_json' and 'era_id'"),
    (lambda t: t.mark_submitted(1, eval_id=2),
     "SearchTracker.mark_submitted() got multiple values for argument 'eval_id'"),
    (lambda t: SearchTracker(t._data_dir, identiy=None),
     "SearchTracker.__init__() got an unexpected keyword argument 'identiy'"),
])
def test_calls_that_do_not_fit_fail_as_python_functions_do(tracker, call, message):
    with pytest.raises(TypeError) as err:
        call(tracker)
    assert str(err.value) == message


@pytest.mark.parametrize("call, error, message", [
    # Wrong kinds of object, named with what was expected.
    (lambda t: t.enqueue_submission("1", "signal", "{}", 1), TypeError,
     "eval_id must be an integer, not 'str'"),
    (lambda t: t.get_evaluation_history(offset=None), TypeError,
     "offset must be an integer, not 'NoneType'"),
    (lambda t: t.get_signal_stats(limit=1.5), TypeError, "limit must be an integer, not 'float'"),
    (lambda t: t.enqueue_submission(1, "signal", 5, 1), TypeError,
     "payload_json must be str, not 'int'"),
    (lambda t: t.enqueue_retry(1, "signal", "{}", 1, "r", retry_after="soon"), TypeError,
     "retry_after must be a real number, not 'str'"),
    (lambda t: record(t, era_id=None), TypeError, "era_id must be an integer, not 'NoneType'"),
    (lambda t: t.get_submission_for_sim({1}), TypeError,
     "argument sim_id: Object of type set is not JSON serializable"),
    (lambda t: WriterThread(1, None, None, None), TypeError,
     "tracker must be a SearchTracker, not 'int'"),
    (lambda t: t._conn.execute(5), TypeError, "sql must be str, not 'int'"),
    # Where the tracker checks a value itself, any object meets that check's own message.
    (lambda t: t.get_evaluation_history(eval_type={1}), ValueError,
     "eval_type must be 'signal', 'strategy', or None"),
    (lambda t: t.enqueue_submission(1, "signal", "{}", 1, signal_pool_id={1}), ValueError,
     "signal_pool_id must be a non-empty string"),
    (lambda t: record(t, metaparameters=object()), ValueError,
     "metaparameters must be a non-empty per-pool dict"),
    # Integers beyond 64 bits cannot be stored.
    (lambda t: record(t, era_id=2**64), OverflowError,
     "Python int too large to convert to SQLite INTEGER"),
])
def test_arguments_of_the_wrong_kind(tracker, call, error, message):
    before = rows_everywhere(tracker)
    with pytest.raises(error) as err:
        call(tracker)
    assert type(err.value) is error and str(err.value) == message
    assert rows_everywhere(tracker) == before


def test_integer_like_objects_and_the_largest_limits(tracker):
    ids = [add_signal(tracker, era_id=Index(3)) for _ in range(3)]
    assert tracker.get_available_eras() == [3]
    queued = tracker.enqueue_submission(Index(ids[0]), "signal", "{}", Index(3))
    assert tracker.dequeue_submission().queue_id == queued
    assert [r.eval_id for r in tracker.get_evaluation_history(limit=Index(1), offset=Index(1))] == [
        ids[1]]
    # sys.maxsize as "no limit", with an offset: the sum saturates instead of wrapping.
    for op in (tracker.get_evaluation_history, tracker.get_per_column_stats_batch):
        assert len(op(limit=sys.maxsize, offset=1)) == 2
        assert op(limit=1, offset=sys.maxsize) == []


@pytest.mark.sqlite_only
@pytest.mark.parametrize("param", [2**63, -2**63 - 1, [1], {"a": 1}, {1}, "\ud800"])
def test_parameters_fail_as_sqlite3_fails(tracker, param):
    expected = sqlite3_error(param)
    with pytest.raises(Exception) as err:
        tracker._conn.execute("SELECT ?", (param,))
    assert (type(err.value), str(err.value)) == expected


@pytest.mark.parametrize("call", [
    lambda t, eid: record(t, named_universe="US\ud800"),
    lambda t, eid: record(t, graph={"type": "feature", "node": "close\udc00"}),
    lambda t, eid: t.enqueue_submission(eid, "signal", '{"x": "\ud800"}', 1),
    lambda t, eid: t.record_submission(eid, "signal", "sub\ud800", 1),
])
def test_lone_surrogates_are_refused_before_anything_is_stored(tracker, call):
    eid = add_signal(tracker)
    before = rows_everywhere(tracker)
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        call(tracker, eid)
    if tracker._conn.in_transaction:
        tracker._conn.rollback()
    assert rows_everywhere(tracker) == before


def test_messages_echo_lone_surrogates_as_they_came(tracker):
    with pytest.raises(ValueError) as err:
        tracker.update_submission_status("x", "p\ud800")
    assert str(err.value).endswith("got 'p\ud800'")
