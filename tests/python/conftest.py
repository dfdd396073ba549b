"""Shared fixtures: a fresh data directory, an identity, an open tracker; readers and writers
of tracking.db through Python's own sqlite3; a recorder of the tracker's statements."""

import os
import sqlite3
from contextlib import closing

import pytest

from plintrove.search_tracking import SearchTracker


class Identity:
    """Any object with readable instance_id and author_id serves as the library identity."""

    def __init__(self, instance_id="instance-1", author_id="author-1"):
        self.instance_id = instance_id
        self.author_id = author_id


def sqlite_rows(path, sql, params=()):
    """Rows of `sql` read from the database file at `path` with a separate connection."""
    with closing(sqlite3.connect(path)) as conn:
        return conn.execute(sql, params).fetchall()


def db_rows(tracker, sql, params=()):
    return sqlite_rows(tracker._db_path, sql, params)


def read(data_dir, sql, params=()):
    return sqlite_rows(os.path.join(data_dir, "tracking.db"), sql, params)


def write(data_dir, *statements):
    """Runs and commits statements on data_dir's tracking.db: SQL texts or (sql, params)."""
    with closing(sqlite3.connect(os.path.join(data_dir, "tracking.db"))) as conn:
        for statement in statements:
            conn.execute(*((statement,) if isinstance(statement, str) else statement))
        conn.commit()


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


@pytest.fixture(name="db_rows")
def db_rows_fixture():
    return db_rows


@pytest.fixture(autouse=True)
def sqlite_storage(monkeypatch):
    """Every test runs on the SQLite file unless it sets PLINTROVE_DB_URL itself."""
    monkeypatch.delenv("PLINTROVE_DB_URL", raising=False)


@pytest.fixture
def data_dir(tmp_path):
    path = tmp_path / "data"
    path.mkdir()
    return str(path)


@pytest.fixture
def identity():
    return Identity()


@pytest.fixture
def tracker(data_dir, identity):
    t = SearchTracker(data_dir, identity)
    yield t
    t.close()
