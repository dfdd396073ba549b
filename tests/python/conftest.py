"""Shared fixtures: a fresh data directory, an identity, an open tracker, and a reader of
tracking.db through Python's own sqlite3."""

import sqlite3

import pytest

from plintrove.search_tracking import SearchTracker


class Identity:
    """Any object with readable instance_id and author_id serves as the library identity."""

    def __init__(self, instance_id="instance-1", author_id="author-1"):
        self.instance_id = instance_id
        self.author_id = author_id


def db_rows(tracker, sql, params=()):
    """Rows of `sql` read from the tracker's database file with a separate connection."""
    conn = sqlite3.connect(tracker._db_path)
    try:
        return conn.execute(sql, params).fetchall()
    finally:
        conn.close()


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
