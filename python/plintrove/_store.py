"""Opening a tracking store for a tool: the SQLite file of a data directory, or the
PostgreSQL database that PLINTROVE_DB_URL names, as the tracker itself chooses.

Tools that only read open SQLite read-only (a "mode=ro" URI): they never create, migrate
or archive anything, never take the write lock, and each query holds a WAL snapshot for
one statement, so a search writing at the same time is never kept waiting. PostgreSQL
has no such mode here; its readers never block its writers anyway.
"""

import os
from dataclasses import dataclass

from plintrove import search_tracking as st

DB_FILE = "tracking.db"
ARCHIVE_SUFFIX = ".pre-pool-redesign"


class StoreError(Exception):
    """A store that cannot be used as asked; the message says what to do."""


@dataclass(frozen=True)
class StoreLocation:
    data_dir: str
    db_url: str | None  # set on PostgreSQL

    @property
    def is_postgres(self) -> bool:
        return self.db_url is not None

    @property
    def db_path(self) -> str:
        return os.path.join(self.data_dir, DB_FILE)

    @property
    def backend(self) -> str:
        return "postgresql" if self.is_postgres else "sqlite"


def locate(data_dir: str) -> StoreLocation:
    url = os.environ.get("PLINTROVE_DB_URL") or None
    if url is not None and not url.startswith(tuple(st._POSTGRES_URL_PREFIXES)):
        raise StoreError("PLINTROVE_DB_URL must start with postgresql:// or postgres://; "
                         "unset it to use the SQLite file in the data directory")
    if not os.path.isdir(data_dir):
        raise StoreError(f"no such data directory: {data_dir}")
    location = StoreLocation(os.path.abspath(data_dir), url)
    if not location.is_postgres and not os.path.isfile(location.db_path):
        raise StoreError(f"no tracking store in {data_dir} ({DB_FILE} is missing); give the "
                         "data directory the search writes to")
    return location


def open_tracker(location: StoreLocation, *, writable: bool = False) -> st.SearchTracker:
    """A tracker on an existing store, read-only on SQLite unless `writable`."""
    if location.is_postgres:
        return st.SearchTracker(location.data_dir)
    return st.SearchTracker(location.data_dir, read_only=not writable)


def display_location(location: StoreLocation) -> str:
    """The SQLite file, or the PostgreSQL URL without user, password and query."""
    if not location.is_postgres:
        return location.db_path
    from urllib.parse import urlsplit

    parts = urlsplit(location.db_url)
    host = parts.netloc.rpartition("@")[2]
    return f"{parts.scheme}://{host}{parts.path}"


def file_size(location: StoreLocation) -> int | None:
    """The SQLite file's size with its write-ahead log; None on PostgreSQL."""
    if location.is_postgres:
        return None
    return sum(os.path.getsize(p) for p in (location.db_path, location.db_path + "-wal")
               if os.path.exists(p))
