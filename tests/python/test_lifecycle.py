"""Construction, identity, closing, the connection object and its replaceable methods, the
mapping of storage errors onto sqlite3's classes, and logging."""

import logging
import os
import re
import sqlite3
from contextlib import closing

import pytest

from conftest import Identity, Recorder, db_rows
from plintrove import search_tracking as st
from plintrove.search_tracking import BacktestStats, SearchTracker

CLOSED = "SearchTracker is closed"
NO_IDENTITY = ("SearchTracker writes require an attached LibraryIdentity; call set_identity() "
               "before recording evaluations or submissions.")


def record_signal(tracker):
    return tracker.record_signal_evaluation(
        {"type": "rotation", "node": "rank", "children": [{"type": "feature", "node": "close"}]},
        BacktestStats(sharpe=1.0), 1, True, "US_TOP_500", {"pool_a": {"k": 1}},
        signal_pool_id="pool_a")


# ---- construction --------------------------------------------------------------------------

@pytest.mark.parametrize("path, error, message", [
    ("", ValueError, "data_dir must not be empty"),
    (None, ValueError, "data_dir must not be empty"),
    ("file.txt", OSError, "Directory does not exist: {}"),
    ("absent", OSError, "Directory does not exist: {}"),
])
def test_bad_data_dir_is_refused_before_anything_is_created(tmp_path, path, error, message):
    (tmp_path / "file.txt").write_text("x")
    if path:
        path = str(tmp_path / path)
    with pytest.raises(error) as info:
        SearchTracker(path)
    assert type(info.value) is error
    assert str(info.value) == message.format(path)
    assert sorted(os.listdir(tmp_path)) == ["file.txt"]


# ---- identity, closing ---------------------------------------------------------------------

class CountingIdentity:
    def __init__(self):
        self.reads = 0
        self.author = "first"

    @property
    def instance_id(self):
        self.reads += 1
        return "inst"

    @property
    def author_id(self):
        self.reads += 1
        return self.author


def test_identity_is_the_attached_object_read_at_each_insert(tracker, identity):
    assert tracker.current_identity() is identity
    counting = CountingIdentity()
    tracker.set_identity(counting)
    assert tracker.current_identity() is counting
    assert counting.reads == 0
    first = record_signal(tracker)
    counting.author = "second"
    second = record_signal(tracker)
    assert counting.reads == 4
    assert db_rows(tracker, "SELECT eval_id, instance_id, author_id FROM signal_evaluations "
                            "ORDER BY eval_id") == [(first, "inst", "first"),
                                                    (second, "inst", "second")]


def test_detached_or_failing_identity_writes_nothing(tracker):
    tracker.set_identity(None)
    assert tracker.current_identity() is None
    with pytest.raises(ValueError) as info:
        record_signal(tracker)
    assert str(info.value) == NO_IDENTITY

    class Broken:
        instance_id = "inst"

        @property
        def author_id(self):
            raise LookupError("no author")

    tracker.set_identity(Broken())
    with pytest.raises(LookupError, match="no author"):
        record_signal(tracker)
    assert db_rows(tracker, "SELECT COUNT(*) FROM signal_evaluations") == [(0,)]
    assert not tracker._conn.in_transaction


# Every public operation but the identity calls refuses a closed tracker, before it looks
# at its arguments.
CLOSED_CALLS = [call for call in re.split(r"[;\n]\s*", """
set_search_active(True); record_signal_evaluation(None, BacktestStats(), 0, 1, "", {})
record_strategy_evaluation(None, BacktestStats(), 0, 1, [], "", {}, "")
get_evaluation_history(eval_type="x", limit=0); get_per_column_stats_batch(limit=0)
get_evaluation_count(eval_type="x"); get_evaluation_velocity(window_minutes=0)
get_signal_stats(limit=0); get_strategy_stats(limit=0); get_available_eras()
get_available_named_universes(); get_available_universes(); get_function_stats(eval_type="x")
get_feature_stats(eval_type="x"); get_function_cooccurrence(eval_type="x")
get_rejection_summary(eval_type="x"); get_auto_metadata(404); get_db_info()
delete_evaluations(eval_type="x", keep_last=-1); delete_failed_evaluations(eval_type="x")
handle_era_transition(0); enqueue_submission(1, "x", "", 0); dequeue_submission()
requeue_submission(1, "x", "", 0); mark_submitted(1, "x"); record_submission(1, "x", "", 0)
record_submission_attempt_started(1, "x", "", 0, ""); get_submission_counts()
record_submission_once_and_mark_submitted(1, "x", "", 0); get_pending_submissions()
update_submission_status("sub", "x"); update_eval_server_metrics(1, "x"); dequeue_retryable()
get_submission_for_sim("sim"); enqueue_retry(1, "x", "", 0, ""); clear_retry_queue()
increment_retry(1, 1, "x", "", 0, "", 0); get_retry_counts(); _check_closed()
""") if call]


def test_closed_tracker(tracker, identity, storage):
    tracker.close()
    tracker.close()
    assert tracker._closed is True
    for call in CLOSED_CALLS:
        with pytest.raises(OSError) as info:
            eval("tracker." + call)
        assert str(info.value) == CLOSED, call
    other = Identity("other", "someone")
    tracker.set_identity(other)
    assert tracker.current_identity() is other
    conn = tracker._conn
    if storage == "sqlite":
        with pytest.raises(sqlite3.ProgrammingError, match="Cannot operate on a closed database."):
            conn.execute("SELECT 1")
        return
    # The server session ended; the connection itself opens a new one when used, as after
    # a lost session: a commit reports the transaction it could not have, a rollback none.
    assert (conn._real_conn.closed, conn.in_transaction) == (1, False)
    with pytest.raises(st.InterfaceError, match="^connection already closed before commit$"):
        conn.commit()
    assert conn._real_conn.closed == 0
    conn.close()
    conn.rollback()
    conn.close()
    assert conn.execute("SELECT 1").fetchone() == (1,)
    conn.execute("INSERT INTO sims (id) VALUES (?)", ("after-close",))
    conn.commit()
    assert db_rows(tracker, "SELECT id FROM sims") == [("after-close",)]
    conn.close()


def test_with_block_closes_the_tracker_also_on_error_and_repr_shows_it(data_dir, storage):
    with pytest.raises(KeyError):
        with SearchTracker(data_dir) as tracker:
            path = (os.environ["PLINTROVE_DB_URL"].split("?")[0] if storage == "postgres"
                    else os.path.join(data_dir, "tracking.db"))
            assert repr(tracker) == f"<SearchTracker {path!r} (open)>"
            raise KeyError("from the block")
    assert tracker._closed is True
    assert repr(tracker) == f"<SearchTracker {path!r} (closed)>"


def test_close_failure_is_logged_not_raised(tracker, caplog):
    def failing_close():
        raise RuntimeError("disk went away")

    tracker._conn.close = failing_close
    with caplog.at_level(logging.INFO, logger="plintrove.search_tracking"):
        tracker.close()
    assert tracker._closed is True
    [record] = caplog.records
    assert (record.name, record.levelno) == ("plintrove.search_tracking", logging.WARNING)
    assert record.msg == "Error closing database connection: %s"
    assert record.getMessage() == "Error closing database connection: disk went away"
    # The closed flag was set first: nothing reaches the replaced close again.
    tracker.close()
    assert len(caplog.records) == 1


# ---- the connection object --------------------------------------------------------------

def test_connection_surface(tracker, storage):
    conn = tracker._conn
    postgres = storage == "postgres"
    assert getattr(conn, "dialect", None) == ("postgres" if postgres else None)
    cursor = conn.execute("INSERT INTO sims (id) VALUES (?)", ("sim-1",))
    # sims has no generated key that PostgreSQL could return.
    assert (cursor.rowcount, cursor.lastrowid, conn.in_transaction) == (
        1, None if postgres else 1, True)
    conn.rollback()
    assert not conn.in_transaction
    # A statement that fails in the transaction it opened leaves none open behind it.
    with pytest.raises(Exception, match="(?i)not.null"):
        conn.execute("INSERT INTO sims (id) VALUES (?)", (None,))
    assert not conn.in_transaction
    conn.execute("INSERT INTO sims (id) VALUES (?)", ["sim-2"])
    conn.commit()
    assert not conn.in_transaction
    # A blob column on SQLite; PostgreSQL has no x'..' blob literal.
    blob, other = ("", "") if postgres else (", x'41'", ", 4")
    cursor = conn.execute(f"SELECT id, 1.5, NULL{blob} FROM sims UNION ALL SELECT 'z', 2, 3{other}")
    assert cursor.rowcount == (2 if postgres else -1)
    assert cursor.fetchone() == ("sim-2", 1.5, None) + (() if postgres else ("A",))
    assert list(cursor) == [("z", 2, 3) + (() if postgres else (4,))]
    assert cursor.fetchone() is None and cursor.fetchall() == []
    assert db_rows(tracker, "SELECT id FROM sims") == [("sim-2",)]
    if postgres:
        # The raw connection's cursor takes the driver's %s placeholders.
        raw = conn._real_conn.cursor()
        raw.execute("SELECT id, %s, '100%%' FROM sims WHERE id = %s", (7, "sim-2"))
        assert (raw.rowcount, list(raw)) == (1, [("sim-2", 7, "100%")])
        raw.execute("SELECT 1")
        assert raw.fetchone() == (1,) and raw.fetchone() is None


def test_replaced_methods_carry_internal_statements_until_restored(tracker, tmp_path,
                                                                    monkeypatch):
    other = SearchTracker(str(tmp_path), Identity())
    seen, commits = [], []
    real, real_commit = tracker._conn.execute, tracker._conn.commit
    try:
        with monkeypatch.context() as patch:
            patch.setattr(tracker._conn, "execute",
                          lambda sql, params=(): seen.append((sql, params)) or real(sql, params))
            patch.setattr(tracker._conn, "commit",
                          lambda: commits.append(tracker._conn.in_transaction) or real_commit())
            assert tracker._conn.execute is tracker._conn.execute
            record_signal(tracker)
            assert tracker.get_evaluation_count() == 1
            other.get_evaluation_count()
            tracker._conn._real_conn.execute("SELECT 'bypassed'")
        assert commits == [True] and not tracker._conn.in_transaction
        statements = [sql for sql, _ in seen]
        assert statements[0].startswith("INSERT INTO signal_evaluations")
        assert type(seen[0][1]) is tuple and "pool_a" in seen[0][1]
        assert "SELECT 'bypassed'" not in statements
        assert sum("COUNT(*)" in sql for sql in statements) == 2  # this tracker's only
        assert tracker._conn.execute is real
        tracker.get_evaluation_count()
        assert len(seen) == len(statements)
    finally:
        other.close()


class Unrelated(Exception):
    pass


@pytest.mark.sqlite_only
def test_replacement_results_and_errors_reach_the_caller_as_they_are(tracker):
    with closing(sqlite3.connect(tracker._db_path)) as python_conn:
        # A cursor of Python's sqlite3 serves as well as the tracker's own.
        tracker._conn.execute = lambda sql, params=(): python_conn.execute(sql, params)
        assert tracker.get_evaluation_count() == 0
    for failure, call in ((sqlite3.OperationalError("database is locked"),
                           tracker.get_evaluation_count),
                          (Unrelated("host failure"), lambda: record_signal(tracker))):
        Recorder(tracker, fail_on=lambda sql: True, fail=failure)
        with pytest.raises(type(failure)) as info:
            call()
        assert info.value is failure


# ---- storage errors as sqlite3 exceptions -------------------------------------------------

@pytest.mark.sqlite_only
@pytest.mark.parametrize("sql, params", [
    ("INSERT INTO sims (id) VALUES (?)", ("dup",)),  # the second one violates the key
    ("SELECT * FROM no_such_table", ()),
    ("SELEC 1", ()),
    ("SELECT ?", ()),
    ("SELECT 1; SELECT 2", ()),
    ("SELECT ?", (object(),)),
])
def test_storage_errors_match_pythons_sqlite3(tracker, sql, params):
    with closing(sqlite3.connect(tracker._db_path, isolation_level=None)) as python_conn:
        if sql.startswith("INSERT"):
            tracker._conn.execute(sql, params)
            tracker._conn.commit()
        with pytest.raises(sqlite3.Error) as expected:
            python_conn.execute(sql, params)
        with pytest.raises(sqlite3.Error) as got:
            tracker._conn.execute(sql, params)
    assert type(got.value) is type(expected.value)
    assert str(got.value) == str(expected.value)
    for attribute in ("sqlite_errorcode", "sqlite_errorname"):
        assert getattr(got.value, attribute, None) == getattr(expected.value, attribute, None)
