"""The SQLite file on disk: opening, the old-layout archive, and what survives bad input."""

import logging
import os
import sqlite3

import pytest

from plintrove import search_tracking as st

ARCHIVE_LOG = ("Archived pre-pool-redesign SQLite tracker database at %s; dropped %d "
               "pre-redesign queued item(s).")


def make_db(path, *statements):
    conn = sqlite3.connect(path)
    for sql in statements:
        conn.execute(sql)
    conn.commit()
    conn.close()


def rows(path, sql):
    conn = sqlite3.connect(path)
    try:
        return conn.execute(sql).fetchall()
    finally:
        conn.close()


@pytest.fixture(autouse=True)
def sqlite_storage(monkeypatch):
    monkeypatch.delenv("PLINTROVE_DB_URL", raising=False)


def test_fresh_directory_gets_a_wal_file_with_side_files_once_written(data_dir, identity):
    db = os.path.join(data_dir, "tracking.db")
    tracker = st.SearchTracker(data_dir, identity)
    try:
        tracker._conn.execute("INSERT INTO sims (id) VALUES (?)", ("s1",))
        tracker._conn.commit()
        assert os.path.exists(db + "-wal") and os.path.exists(db + "-shm")
        assert rows(db, "PRAGMA journal_mode") == [("wal",)]
        assert rows(db, "PRAGMA user_version") == [(2,)]
        assert rows(db, "SELECT id FROM sims") == [("s1",)]
    finally:
        tracker.close()
    assert not os.path.exists(db + ".pre-pool-redesign")


def test_old_layout_is_archived_with_its_rows_and_logged(data_dir, identity, caplog):
    db = os.path.join(data_dir, "tracking.db")
    make_db(db,
            "CREATE TABLE submission_queue (id INTEGER PRIMARY KEY, pool_id TEXT)",
            "INSERT INTO submission_queue (pool_id) VALUES ('a'), ('b'), ('c')",
            "CREATE TABLE signal_evaluations (eval_id INTEGER PRIMARY KEY, correlation REAL)",
            "INSERT INTO signal_evaluations (correlation) VALUES (0.5)")
    caplog.set_level(logging.INFO, logger="plintrove.search_tracking")
    tracker = st.SearchTracker(data_dir, identity)
    tracker.close()

    archive = db + ".pre-pool-redesign"
    records = [r for r in caplog.records if r.name == "plintrove.search_tracking"]
    assert [(r.levelno, r.msg, r.args) for r in records] == [(logging.INFO, ARCHIVE_LOG, (archive, 3))]
    assert rows(archive, "SELECT pool_id FROM submission_queue ORDER BY id") == [("a",), ("b",), ("c",)]
    assert rows(archive, "SELECT correlation FROM signal_evaluations") == [(0.5,)]
    # The new file holds the current schema and none of the old rows.
    assert rows(db, "SELECT name FROM sqlite_master WHERE name='submission_queue'") == []
    assert rows(db, "SELECT COUNT(*) FROM signal_evaluations") == [(0,)]
    assert "signal_pool_id" in {r[1] for r in rows(db, "PRAGMA table_info(signal_evaluations)")}


@pytest.mark.parametrize("content", [b"", b"not a database at all, only text " * 8])
def test_a_file_that_is_not_a_database_is_reported_and_left_alone(data_dir, content):
    db = os.path.join(data_dir, "tracking.db")
    with open(db, "wb") as f:
        f.write(content)
    if not content:
        # An empty file is a valid empty database: it is taken over.
        st.SearchTracker(data_dir).close()
        assert rows(db, "PRAGMA user_version") == [(2,)]
        return
    with pytest.raises(sqlite3.DatabaseError) as err:
        st.SearchTracker(data_dir)
    assert db in str(err.value)
    with open(db, "rb") as f:
        assert f.read() == content
    assert not os.path.exists(db + ".pre-pool-redesign")


def test_storage_errors_arrive_as_sqlite3_errors(tracker):
    conn = tracker._conn
    conn.execute("INSERT INTO signal_submission_attempts (eval_id, idempotency_key) VALUES (1, 'k')")
    with pytest.raises(sqlite3.IntegrityError, match="UNIQUE constraint failed"):
        conn.execute("INSERT INTO signal_submission_attempts (eval_id, idempotency_key) VALUES (1, 'k')")
    conn.rollback()
    with pytest.raises(sqlite3.OperationalError, match="no such table: nope"):
        conn.execute("SELECT * FROM nope")
    with pytest.raises(sqlite3.ProgrammingError, match="Incorrect number of bindings supplied"):
        conn.execute("SELECT ?, ?", (1,))
    assert not conn.in_transaction


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_cannot_use_the_parents_connection(tracker):
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        os.close(read)
        try:
            tracker._conn.execute("SELECT 1")
            outcome = b"used"
        except RuntimeError as e:
            outcome = b"refused" if b"cannot be used in process" in str(e).encode() else b"other"
        except BaseException:
            outcome = b"other"
        os.write(write, outcome)
        os._exit(0)
    os.close(write)
    outcome = os.read(read, 64)
    os.close(read)
    os.waitpid(pid, 0)
    assert outcome == b"refused"
    assert tracker._conn.execute("SELECT 1").fetchone() == (1,)
