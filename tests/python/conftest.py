"""Shared fixtures: a fresh data directory on each storage, an identity, an open tracker;
readers and writers of the tracker's database that work on both storages (Python's sqlite3 on
tracking.db, psycopg2 on the test's PostgreSQL database); a recorder of the tracker's
statements.

Every test that uses `data_dir` (or `tracker`) runs on SQLite and on PostgreSQL; tests marked
`sqlite_only` (files, WAL, the old-layout archive, the disk check, raw sqlite3 reads) run on
SQLite alone. The PostgreSQL server is started on first use and removed at the end."""

import decimal
import os
import sqlite3
from contextlib import closing

import pytest

from pg_server import PostgresServer
from plintrove import search_tracking
from plintrove.search_tracking import SearchTracker

# Data directory -> URL of its PostgreSQL database, for the tests running on PostgreSQL.
_PG_URLS = {}
# Generated keys of the tables that have one, for inserts that must return them.
KEY_COLUMNS = {f"{t}_{suffix}": key for t in ("signal", "strategy") for suffix, key in (
    ("evaluations", "eval_id"), ("submission_queue", "queue_id"),
    ("submission_attempts", "attempt_id"), ("submission_status", "status_id"),
    ("submission_retry", "retry_id"))}


class Identity:
    """Any object with readable instance_id and author_id serves as the library identity."""

    def __init__(self, instance_id="instance-1", author_id="author-1"):
        self.instance_id = instance_id
        self.author_id = author_id


def sqlite_rows(path, sql, params=()):
    """Rows of `sql` read from the database file at `path` with a separate connection."""
    with closing(sqlite3.connect(path)) as conn:
        return conn.execute(sql, params).fetchall()


def pg_sql(sql):
    """The test's SQLite-dialect text for psycopg2: `?` placeholders become `%s`, a literal %
    is doubled, and rowid (insertion order of a table without a key) becomes ctid."""
    return sql.replace("%", "%%").replace("?", "%s").replace("rowid", "ctid")


def _plain(value):
    # Sums come back as numeric; the tracker's own results are compared with ints and floats.
    if isinstance(value, decimal.Decimal):
        return int(value) if value == value.to_integral_value() else float(value)
    return value


def pg_rows(url, sql, params=()):
    import psycopg2

    with closing(psycopg2.connect(url)) as conn, conn.cursor() as cursor:
        cursor.execute(pg_sql(sql), tuple(params))
        rows = cursor.fetchall() if cursor.description else []
        conn.commit()
    return [tuple(_plain(v) for v in row) for row in rows]


def on_postgres(data_dir):
    return data_dir in _PG_URLS


def db_rows(tracker, sql, params=()):
    if tracker._db_url:
        return pg_rows(tracker._db_url, sql, params)
    return sqlite_rows(tracker._db_path, sql, params)


def read(data_dir, sql, params=()):
    if data_dir in _PG_URLS:
        return pg_rows(_PG_URLS[data_dir], sql, params)
    return sqlite_rows(os.path.join(data_dir, "tracking.db"), sql, params)


def table_columns(data_dir, table):
    """Column names of `table` in their order."""
    if data_dir in _PG_URLS:
        return [name for (name,) in read(data_dir, "SELECT column_name FROM "
                                         "information_schema.columns WHERE table_name = ? "
                                         "ORDER BY ordinal_position", (table,))]
    return [row[1] for row in read(data_dir, f"PRAGMA table_info({table})")]


def write(data_dir, *statements):
    """Runs and commits statements on data_dir's database: SQL texts or (sql, params)."""
    insert_many(data_dir, [(s, ()) if isinstance(s, str) else s for s in statements])


def insert_many(data_dir, statements):
    """Runs (sql, params) pairs in one transaction; returns the generated key of each INSERT
    into a table with one (None for other statements)."""
    if data_dir in _PG_URLS:
        import psycopg2

        keys = []
        with closing(psycopg2.connect(_PG_URLS[data_dir])) as conn, conn.cursor() as cursor:
            for sql, params in statements:
                words = sql.split()
                key = (KEY_COLUMNS.get(words[2].split("(")[0])
                       if words[:2] == ["INSERT", "INTO"] else None)
                cursor.execute(pg_sql(sql) + (f" RETURNING {key}" if key else ""), tuple(params))
                keys.append(cursor.fetchone()[0] if key else None)
            conn.commit()
        return keys
    with closing(sqlite3.connect(os.path.join(data_dir, "tracking.db"))) as conn:
        keys = [conn.execute(sql, params).lastrowid for sql, params in statements]
        conn.commit()
    return keys


class Recorder:
    """Replaces tracker._conn.execute: records each statement, blanks collapsed, with its
    parameters, then runs it (or raises `fail` for the statement `fail_on` selects)."""

    def __init__(self, tracker, fail_on=None, fail=None):
        self.statements = []
        self._real = tracker._conn.execute
        self._fail_on, self._fail = fail_on, fail
        tracker._conn.execute = self

    def __call__(self, sql, params=()):
        self.statements.append((" ".join(sql.split()), list(params)))
        if self._fail_on is not None and self._fail_on(sql):
            raise self._fail
        return self._real(sql, params)

    def sql(self):
        return [s for s, _ in self.statements]


def pytest_configure(config):
    config.addinivalue_line("markers", "sqlite_only: runs on the SQLite file storage alone")
    config.addinivalue_line("markers", "postgres_only: runs on the PostgreSQL server alone")


def pytest_generate_tests(metafunc):
    if "storage" in metafunc.fixturenames:
        storages = ["sqlite", "postgres"]
        for only in storages:
            if metafunc.definition.get_closest_marker(f"{only}_only") is not None:
                storages = [only]
        metafunc.parametrize("storage", storages, indirect=True)


@pytest.fixture(scope="session")
def pg_server():
    server = PostgresServer()
    yield server
    server.stop()


@pytest.fixture(name="db_rows")
def db_rows_fixture():
    return db_rows


@pytest.fixture(autouse=True)
def no_db_url(monkeypatch):
    """Tests outside the storage parameter run on the SQLite file unless they set
    PLINTROVE_DB_URL themselves."""
    monkeypatch.delenv("PLINTROVE_DB_URL", raising=False)


@pytest.fixture
def storage(request, no_db_url, monkeypatch):
    """"sqlite" or "postgres"; on PostgreSQL, PLINTROVE_DB_URL names a fresh database for the
    test, so every tracker the test builds (also in processes it starts) uses it."""
    if request.param == "sqlite":
        yield request.param
        return
    if not hasattr(search_tracking, "DatabaseError"):
        pytest.skip("PostgreSQL storage is not built into this module yet")
    server = request.getfixturevalue("pg_server")
    name = server.create_database()
    monkeypatch.setenv("PLINTROVE_DB_URL", server.url(name))
    yield request.param
    server.drop_database(name)


@pytest.fixture
def data_dir(tmp_path, storage):
    path = str(tmp_path / "data")
    os.mkdir(path)
    if storage == "postgres":
        _PG_URLS[path] = os.environ["PLINTROVE_DB_URL"]
    yield path
    _PG_URLS.pop(path, None)


@pytest.fixture
def identity():
    return Identity()


@pytest.fixture
def tracker(data_dir, identity):
    t = SearchTracker(data_dir, identity)
    yield t
    t.close()
