"""The SQLite file on disk: the schema, the old-layout archive and column migrations, what
survives bad input, and which storage the environment selects."""

import logging
import os
import sqlite3

import pytest

from conftest import db_rows, read, sqlite_rows, write
from plintrove import search_tracking as st

ARCHIVE_LOG = ("Archived pre-pool-redesign SQLite tracker database at %s; dropped %d "
               "pre-redesign queued item(s).")
TABLE_INDEXES = {
    "signal_evaluations": ["idx_signal_era", "idx_signal_timestamp", "idx_signal_passed",
                           "idx_signal_rejection", "idx_signal_settings", "idx_signal_source"],
    "strategy_evaluations": ["idx_strategy_era", "idx_strategy_timestamp", "idx_strategy_passed",
                             "idx_strategy_rejection", "idx_strategy_settings",
                             "idx_strategy_signal_pool", "idx_strategy_source"],
    "signal_function_usage": ["idx_sig_fn_eval", "idx_sig_fn_name"],
    "signal_feature_usage": ["idx_sig_feat_eval", "idx_sig_feat_name"],
    "strategy_function_usage": ["idx_meta_fn_eval", "idx_meta_fn_name"],
    "strategy_feature_usage": ["idx_meta_feat_eval", "idx_meta_feat_name"],
    "signal_submission_status": ["idx_signal_substatus_pool"],
    "strategy_submission_status": ["idx_strategy_substatus_pool",
                                   "idx_strategy_substatus_signal_pool"],
}
URL_PREFIX_MESSAGE = ("PLINTROVE_DB_URL must start with postgresql:// or postgres:// for "
                      "SearchTracker Postgres storage.")


@pytest.mark.sqlite_only
def test_fresh_directory_gets_the_full_schema_in_wal_once(data_dir, identity):
    db = os.path.join(data_dir, "tracking.db")
    dump = "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name"
    tracker = st.SearchTracker(data_dir, identity)
    try:
        tracker._conn.execute("INSERT INTO sims (id) VALUES (?)", ("s1",))
        tracker._conn.commit()
        assert os.path.exists(db + "-wal") and os.path.exists(db + "-shm")
        assert read(data_dir, "PRAGMA journal_mode") == [("wal",)]
        assert read(data_dir, "PRAGMA user_version") == [(2,)]
        schema = read(data_dir, dump)
        tables = {name for kind, name, _, _ in schema if kind == "table"}
        ledgers = {f"{kind}_trial_{table}" for kind in ("signal", "strategy")
                   for table in ("ledger", "pruning")}
        assert tables - {"sqlite_sequence"} == set(st._DB_INFO_TABLES) | {"sims"} | ledgers
        assert len(tables - {"sqlite_sequence"}) == 19
        indexes = {(table, name) for kind, name, table, _ in schema if kind == "index"}
        assert st._TABLE_INDEXES == TABLE_INDEXES
        assert {(t, n) for t, names in TABLE_INDEXES.items() for n in names} <= indexes
        # A status row needs its sims parent.
        with pytest.raises(sqlite3.IntegrityError, match="FOREIGN KEY constraint failed"):
            tracker._conn.execute("INSERT INTO signal_submission_status (eval_id, submission_id, "
                                  "sim_id, status) VALUES (1, 's', 'absent', 'pending')")
        tracker._conn.rollback()
    finally:
        tracker.close()
    st.SearchTracker(data_dir, identity).close()
    assert read(data_dir, dump) == schema
    assert read(data_dir, "SELECT id FROM sims") == [("s1",)]
    assert not os.path.exists(db + ".pre-pool-redesign")


@pytest.mark.sqlite_only
def test_old_layout_is_archived_with_its_rows_and_logged(data_dir, identity, caplog):
    db = os.path.join(data_dir, "tracking.db")
    write(data_dir,
          "CREATE TABLE submission_queue (id INTEGER PRIMARY KEY, pool_id TEXT)",
          "INSERT INTO submission_queue (pool_id) VALUES ('a'), ('b'), ('c')",
          "CREATE TABLE signal_evaluations (eval_id INTEGER PRIMARY KEY, correlation REAL)",
          "INSERT INTO signal_evaluations (correlation) VALUES (0.5)")
    caplog.set_level(logging.INFO, logger="plintrove.search_tracking")
    st.SearchTracker(data_dir, identity).close()

    archive = db + ".pre-pool-redesign"
    records = [r for r in caplog.records if r.name == "plintrove.search_tracking"]
    assert [(r.levelno, r.msg, r.args) for r in records] == [
        (logging.INFO, ARCHIVE_LOG, (archive, 3))]
    assert sqlite_rows(archive, "SELECT pool_id FROM submission_queue ORDER BY id") == [
        ("a",), ("b",), ("c",)]
    assert sqlite_rows(archive, "SELECT correlation FROM signal_evaluations") == [(0.5,)]
    # The new file holds the current schema and none of the old rows.
    assert read(data_dir, "SELECT name FROM sqlite_master WHERE name='submission_queue'") == []
    assert read(data_dir, "SELECT COUNT(*) FROM signal_evaluations") == [(0,)]
    assert "signal_pool_id" in {r[1] for r in read(data_dir, "PRAGMA table_info(signal_evaluations)")}


@pytest.mark.sqlite_only
def test_current_evaluation_table_gains_the_missing_columns_and_keeps_its_rows(data_dir):
    db = os.path.join(data_dir, "tracking.db")
    write(data_dir,
          "CREATE TABLE signal_evaluations (eval_id INTEGER PRIMARY KEY AUTOINCREMENT, "
          "timestamp REAL, era_id INTEGER, graph_json TEXT, tree_depth INTEGER, "
          "passed_thresholds INTEGER, agent_is_correlation REAL, named_universe TEXT, "
          "metaparameters TEXT, signal_pool_id TEXT)",
          "INSERT INTO signal_evaluations (timestamp, era_id, signal_pool_id) "
          "VALUES (1.0, 3, 'p')")
    st.SearchTracker(data_dir).close()
    assert not os.path.exists(db + ".pre-pool-redesign")
    added = {r[1]: r[2:5] for r in read(data_dir, "PRAGMA table_info(signal_evaluations)")}
    assert {name: added[name] for name in (
        "rotation_families_json", "per_column_stats_json", "rejection_reason", "submitted",
        "liquidity_metrics_json", "source", "expression_elapsed_seconds", "is_correlation",
        "is_pnl_mi", "agent_is_pnl_mi", "failure_reason", "failure_detail", "instance_id")} == {
        "rotation_families_json": ("TEXT", 0, None), "per_column_stats_json": ("TEXT", 0, None),
        "rejection_reason": ("TEXT", 0, None), "submitted": ("INTEGER", 1, "0"),
        "liquidity_metrics_json": ("TEXT", 0, None), "source": ("TEXT", 1, "'search'"),
        "expression_elapsed_seconds": ("REAL", 0, None), "is_correlation": ("REAL", 0, None),
        "is_pnl_mi": ("REAL", 0, None), "agent_is_pnl_mi": ("REAL", 0, None),
        "failure_reason": ("TEXT", 0, None), "failure_detail": ("TEXT", 0, None),
        "instance_id": ("TEXT", 0, None)}
    assert read(data_dir, "SELECT era_id, submitted, source, failure_detail "
                          "FROM signal_evaluations") == [(3, 0, "search", None)]
    assert read(data_dir, "PRAGMA user_version") == [(2,)]


@pytest.mark.sqlite_only
@pytest.mark.parametrize("content", [b"", b"not a database at all, only text " * 8, None])
def test_a_file_that_is_not_a_database_is_reported_and_left_alone(data_dir, content):
    db = os.path.join(data_dir, "tracking.db")
    if content is None:
        os.mkdir(db)
    else:
        with open(db, "wb") as f:
            f.write(content)
    if content == b"":
        # An empty file is a valid empty database: it is taken over.
        st.SearchTracker(data_dir).close()
        assert read(data_dir, "PRAGMA user_version") == [(2,)]
        return
    with pytest.raises(sqlite3.DatabaseError) as err:
        st.SearchTracker(data_dir)
    assert db in str(err.value)
    if content is None:
        assert os.path.isdir(db)
    else:
        assert "file is not a database" in str(err.value)
        with open(db, "rb") as f:
            assert f.read() == content
    assert not os.path.exists(db + ".pre-pool-redesign")


@pytest.mark.sqlite_only
def test_read_only_opening_reads_beside_a_writer_and_changes_nothing(tmp_path, data_dir, identity):
    odd = tmp_path / "50% of ?#runs"
    odd.mkdir()
    with pytest.raises(sqlite3.OperationalError, match="unable to open database file"):
        st.SearchTracker(str(odd), read_only=True)
    assert os.listdir(odd) == []

    with st.SearchTracker(str(odd), identity) as tracker:
        tracker.record_signal_evaluation({"type": "feature", "node": "close"}, st.BacktestStats(),
                                         1, True, "U", {"p": {"k": 1}}, signal_pool_id="p")
    db = str(odd / "tracking.db")
    before = open(db, "rb").read()
    with sqlite3.connect(db) as writer:
        # A writer mid-transaction holds the write lock; the reader sees the committed rows.
        writer.execute("BEGIN IMMEDIATE")
        writer.execute("DELETE FROM signal_evaluations")
        with st.SearchTracker(str(odd), read_only=True) as reader:
            assert reader.get_evaluation_count() == 1
            with pytest.raises(sqlite3.OperationalError, match="readonly database"):
                reader._conn.execute("PRAGMA user_version = 3")
        writer.rollback()
    assert open(db, "rb").read() == before


@pytest.mark.postgres_only
def test_read_only_opening_on_postgres_creates_nothing_and_refuses_writes(data_dir, identity):
    def tables():
        return read(data_dir, "SELECT COUNT(*) FROM information_schema.tables "
                    "WHERE table_schema = current_schema()")[0][0]

    st.SearchTracker(data_dir, read_only=True).close()
    assert tables() == 0
    args = ({"type": "feature", "node": "close"}, st.BacktestStats(), 1, True, "U",
            {"p": {"k": 1}})
    with st.SearchTracker(data_dir, identity) as tracker:
        tracker.record_signal_evaluation(*args, signal_pool_id="p")
    created = tables()
    with st.SearchTracker(data_dir, identity, read_only=True) as reader:
        assert reader.get_evaluation_count() == 1
        with pytest.raises(st.DatabaseError, match="read-only transaction") as info:
            reader.record_signal_evaluation(*args, signal_pool_id="p")
        assert info.value.sqlstate == "25006" and not reader._conn.in_transaction
    assert (tables(), read(data_dir, "SELECT COUNT(*) FROM signal_evaluations")) == (
        created, [(1,)])


@pytest.mark.sqlite_only
@pytest.mark.parametrize("url, error, message", [
    ("mysql://host/db", ValueError, URL_PREFIX_MESSAGE),
    ("POSTGRESQL://host/db", ValueError, URL_PREFIX_MESSAGE),  # the prefix is case-sensitive
    # PostgreSQL is selected: a server that is not there fails construction.
    ("postgres:///db?host=/nonexistent-socket-dir", st.OperationalError,
     "/nonexistent-socket-dir/.s.PGSQL.5432"),
    ("", None, None),
])
def test_storage_is_selected_by_the_environment(data_dir, monkeypatch, url, error, message):
    monkeypatch.setenv("PLINTROVE_DB_URL", url)
    if error is None:
        tracker = st.SearchTracker(data_dir)
        assert (tracker._db_url, tracker._db_path) == (None, os.path.join(data_dir, "tracking.db"))
        tracker.close()
        return
    with pytest.raises(error) as info:
        st.SearchTracker(data_dir)
    if error is ValueError:
        assert str(info.value) == message
    else:
        assert message in str(info.value) and info.value.sqlstate is None
    assert os.listdir(data_dir) == []


@pytest.mark.sqlite_only
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
        tracker.close()  # must leave the parent's handle alone
        os.write(write, outcome)
        os._exit(0)
    os.close(write)
    outcome = os.read(read, 64)
    os.close(read)
    os.waitpid(pid, 0)
    assert outcome == b"refused"
    tracker._conn.execute("INSERT INTO sims (id) VALUES ('after-fork')")
    tracker._conn.commit()
    assert db_rows(tracker, "SELECT id FROM sims") == [("after-fork",)]


@pytest.mark.sqlite_only
def test_catalogue_helpers_read_the_tracker_database(tracker):
    assert st._sqlite_table_exists(tracker._conn, "signal_evaluations")
    assert not st._sqlite_table_exists(tracker._conn, "idx_signal_era")  # an index, not a table
    assert {"signal_pool_id", "agent_is_correlation"} <= st._sqlite_table_columns(
        tracker._conn, "signal_evaluations")
    assert st._sqlite_table_columns(tracker._conn, 'no "such" table') == set()
    assert st._normalized_index_sql(None) == ""
    assert st._normalized_index_sql("  create index i\n  on t(a,\t b)  ") == \
        "CREATE INDEX I ON T(A, B)"
