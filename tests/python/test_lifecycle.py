"""Construction, identity, closing, the connection object and its replaceable methods, the
mapping of storage errors onto sqlite3's classes, and logging."""

import logging
import os
import pathlib
import sqlite3

import pytest

from conftest import Identity, db_rows
from plintrove import search_tracking as st
from plintrove.search_tracking import BacktestStats, SearchTracker

CLOSED = "SearchTracker is closed"
NO_IDENTITY = ("SearchTracker writes require an attached LibraryIdentity; call set_identity() "
               "before recording evaluations or submissions.")
TABLES = sorted(st._DB_INFO_TABLES + ["sims"])


def record_signal(tracker):
    return tracker.record_signal_evaluation(
        {"type": "rotation", "node": "rank", "children": [{"type": "feature", "node": "close"}]},
        BacktestStats(sharpe=1.0), 1, True, "US_TOP_500", {"pool_a": {"k": 1}},
        signal_pool_id="pool_a")


def schema(data_dir):
    conn = sqlite3.connect(os.path.join(data_dir, "tracking.db"))
    try:
        return (conn.execute("SELECT type, name, tbl_name, sql FROM sqlite_master "
                             "ORDER BY type, name").fetchall(),
                conn.execute("PRAGMA journal_mode").fetchone()[0],
                conn.execute("PRAGMA user_version").fetchone()[0])
    finally:
        conn.close()


# ---- construction --------------------------------------------------------------------------

@pytest.mark.parametrize("empty", ["", None])
def test_empty_data_dir_is_refused(empty):
    with pytest.raises(ValueError, match="^data_dir must not be empty$"):
        SearchTracker(empty)


def test_missing_or_non_directory_data_dir(tmp_path):
    regular = tmp_path / "file.txt"
    regular.write_text("x")
    for path in (str(regular), str(tmp_path / "absent")):
        with pytest.raises(OSError) as info:
            SearchTracker(path)
        assert type(info.value) is OSError
        assert str(info.value) == f"Directory does not exist: {path}"
    assert sorted(os.listdir(tmp_path)) == ["file.txt"]


def test_fresh_database_state(data_dir, identity):
    tracker = SearchTracker(pathlib.Path(data_dir), identity)
    try:
        assert tracker._data_dir == data_dir
        assert tracker._db_path == os.path.join(data_dir, "tracking.db")
        assert tracker._db_url is None
        assert (tracker._closed, tracker._search_active) == (False, False)
        tables, journal_mode, user_version = schema(data_dir)
        assert (journal_mode, user_version) == ("wal", 2)
        assert [name for kind, name, _, _ in tables
                if kind == "table" and name != "sqlite_sequence"] == TABLES
        indexes = {(table, name) for kind, name, table, _ in tables if kind == "index"}
        for table, names in st._TABLE_INDEXES.items():
            for name in names:
                assert (table, name) in indexes
    finally:
        tracker.close()


def test_constructing_again_changes_nothing(data_dir, identity):
    first = SearchTracker(data_dir, identity)
    eval_id = record_signal(first)
    before = schema(data_dir)
    first.close()
    second = SearchTracker(data_dir, identity)
    try:
        assert schema(data_dir) == before
        assert db_rows(second, "SELECT eval_id FROM signal_evaluations") == [(eval_id,)]
    finally:
        second.close()


def test_construction_error_from_storage_propagates(data_dir):
    with open(os.path.join(data_dir, "tracking.db"), "wb") as f:
        f.write(b"not a database" * 100)
    with pytest.raises(sqlite3.DatabaseError, match="file is not a database"):
        SearchTracker(data_dir)


# ---- identity, flags, closing -----------------------------------------------------------

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


def test_identity_is_the_attached_object_and_read_at_each_call(tracker, identity):
    assert tracker.current_identity() is identity
    assert tracker._identity_columns() == (("instance_id", "author_id"),
                                           ("instance-1", "author-1"))
    counting = CountingIdentity()
    tracker.set_identity(counting)
    assert tracker.current_identity() is counting
    assert counting.reads == 0
    tracker._identity_columns()
    counting.author = "second"
    assert tracker._identity_columns()[1] == ("inst", "second")
    assert counting.reads == 4


def test_identity_read_by_each_insert(tracker):
    counting = CountingIdentity()
    tracker.set_identity(counting)
    first = record_signal(tracker)
    counting.author = "second"
    second = record_signal(tracker)
    assert db_rows(tracker, "SELECT eval_id, instance_id, author_id FROM signal_evaluations "
                            "ORDER BY eval_id") == [(first, "inst", "first"),
                                                    (second, "inst", "second")]


def test_detached_or_failing_identity_writes_nothing(tracker):
    tracker.set_identity(None)
    assert tracker.current_identity() is None
    with pytest.raises(ValueError) as info:
        tracker._identity_columns()
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


def test_search_active_flag(tracker):
    tracker.set_search_active(True)
    assert tracker._search_active is True
    tracker.set_search_active(0)
    assert tracker._search_active is False


def test_closed_tracker(tracker, identity):
    tracker.close()
    tracker.close()
    assert tracker._closed is True
    for call in (lambda: tracker.set_search_active(True), tracker._check_closed,
                 tracker.get_evaluation_count):
        with pytest.raises(OSError) as info:
            call()
        assert str(info.value) == CLOSED
    other = Identity("other", "someone")
    tracker.set_identity(other)
    assert tracker.current_identity() is other
    with pytest.raises(sqlite3.ProgrammingError, match="Cannot operate on a closed database."):
        tracker._conn.execute("SELECT 1")


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
    assert st.logger is logging.getLogger("plintrove.search_tracking")
    # The closed flag was set first: nothing reaches the replaced close again.
    tracker.close()
    assert len(caplog.records) == 1


# ---- the connection object --------------------------------------------------------------

def test_connection_surface(tracker):
    conn = tracker._conn
    assert conn is tracker._conn
    assert getattr(conn, "dialect", None) is None
    assert conn.execute is conn.execute
    cursor = conn.execute("INSERT INTO sims (id) VALUES (?)", ("sim-1",))
    assert (cursor.rowcount, cursor.lastrowid) == (1, 1)
    assert conn.in_transaction
    conn.rollback()
    assert not conn.in_transaction
    conn.execute("INSERT INTO sims (id) VALUES (?)", ["sim-2"])
    conn.commit()
    cursor = conn.execute("SELECT id, 1.5, NULL, x'41' FROM sims UNION ALL SELECT 'z', 2, 3, 4")
    assert cursor.rowcount == -1
    assert cursor.fetchone() == ("sim-2", 1.5, None, "A")
    assert list(cursor) == [("z", 2, 3, 4)]
    assert cursor.fetchone() is None and cursor.fetchall() == []
    assert db_rows(tracker, "SELECT id FROM sims") == [("sim-2",)]


def spy_on(tracker):
    seen = []
    real = tracker._conn.execute

    def spy(sql, params=()):
        seen.append((sql, params))
        return real(sql, params)

    tracker._conn.execute = spy
    return seen


def test_replaced_execute_carries_internal_statements(tracker, data_dir, tmp_path):
    other_dir = tmp_path / "other"
    other_dir.mkdir()
    other = SearchTracker(str(other_dir), Identity())
    try:
        seen = spy_on(tracker)
        assert tracker._conn.execute is tracker._conn.execute
        record_signal(tracker)
        assert tracker.get_evaluation_count() == 1
        other.get_evaluation_count()
        tracker._conn._real_conn.execute("SELECT 'bypassed'")
        statements = [sql for sql, _ in seen]
        assert statements[0].startswith("INSERT INTO signal_evaluations")
        assert type(seen[0][1]) is tuple and "pool_a" in seen[0][1]
        assert "SELECT 'bypassed'" not in statements
        assert sum("COUNT(*)" in sql for sql in statements) == 2  # this tracker's only
    finally:
        other.close()


def test_restoring_execute_removes_the_replacement(tracker, monkeypatch):
    seen = []
    original = tracker._conn.execute
    with monkeypatch.context() as patch:
        patch.setattr(tracker._conn, "execute",
                      lambda sql, params=(): seen.append(sql) or original(sql, params))
        tracker.get_evaluation_count()
    assert seen and tracker._conn.execute is original
    count = len(seen)
    tracker.get_evaluation_count()
    assert len(seen) == count


def test_replacement_results_and_errors(tracker, data_dir):
    python_conn = sqlite3.connect(os.path.join(data_dir, "tracking.db"))
    try:
        # A cursor of Python's sqlite3 serves as well as the tracker's own.
        tracker._conn.execute = lambda sql, params=(): python_conn.execute(sql, params)
        assert tracker.get_evaluation_count() == 0

        failure = sqlite3.OperationalError("database is locked")
        failure.sqlite_errorcode = 5

        def failing(sql, params=()):
            raise failure

        tracker._conn.execute = failing
        with pytest.raises(sqlite3.OperationalError) as info:
            tracker.get_evaluation_count()
        assert info.value is failure

        class Unrelated(Exception):
            pass

        def unrelated(sql, params=()):
            raise Unrelated("host failure")

        tracker._conn.execute = unrelated
        with pytest.raises(Unrelated, match="host failure"):
            record_signal(tracker)
    finally:
        python_conn.close()


def test_replaced_commit_runs_for_tracker_writes(tracker):
    commits = []
    real_commit = tracker._conn.commit

    def counting_commit():
        commits.append(tracker._conn.in_transaction)
        real_commit()

    tracker._conn.commit = counting_commit
    record_signal(tracker)
    assert commits == [True]
    assert not tracker._conn.in_transaction


# ---- storage errors as sqlite3 exceptions -------------------------------------------------

@pytest.mark.parametrize("sql, params", [
    ("INSERT INTO sims (id) VALUES (?)", ("dup",)),  # the second one violates the key
    ("SELECT * FROM no_such_table", ()),
    ("SELEC 1", ()),
    ("SELECT ?", ()),
    ("SELECT 1; SELECT 2", ()),
    ("SELECT ?", (object(),)),
])
def test_storage_errors_match_pythons_sqlite3(tracker, data_dir, sql, params):
    python_conn = sqlite3.connect(os.path.join(data_dir, "tracking.db"), isolation_level=None)
    try:
        if sql.startswith("INSERT"):
            tracker._conn.execute(sql, params)
            tracker._conn.commit()
        with pytest.raises(sqlite3.Error) as expected:
            python_conn.execute(sql, params)
        with pytest.raises(sqlite3.Error) as got:
            tracker._conn.execute(sql, params)
    finally:
        python_conn.close()
    assert type(got.value) is type(expected.value)
    assert str(got.value) == str(expected.value)
    for attribute in ("sqlite_errorcode", "sqlite_errorname"):
        assert getattr(got.value, attribute, None) == getattr(expected.value, attribute, None)


def test_cross_pool_reference_error_is_a_value_error():
    assert issubclass(st.CrossPoolReferenceError, ValueError)
    assert st.CrossPoolReferenceError.__module__ == "plintrove.search_tracking"
    assert st.CrossPoolReferenceError.__doc__ == (
        "Raised when a strategy references a signal from a different pool.")
