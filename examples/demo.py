"""Build a tracker on a new data directory and show what its tracking.db holds.

Run with `make demo` (the module is imported from build/python).
"""

import os
import sqlite3
import tempfile
from dataclasses import dataclass

from plintrove.search_tracking import SearchTracker


@dataclass
class LibraryIdentity:
    """Any object with `instance_id` and `author_id` can be attached as the identity."""

    instance_id: str
    author_id: str


def describe_database(db_path):
    conn = sqlite3.connect(db_path)
    try:
        journal_mode = conn.execute("PRAGMA journal_mode").fetchone()[0]
        user_version = conn.execute("PRAGMA user_version").fetchone()[0]
        print(f"{db_path}: journal_mode={journal_mode}, user_version={user_version}")
        tables = [name for (name,) in conn.execute(
            "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' "
            "ORDER BY name")]
        width = max(len(name) for name in tables)
        for name in tables:
            count = conn.execute(f'SELECT COUNT(*) FROM "{name}"').fetchone()[0]
            columns = [row[1] for row in conn.execute(f'PRAGMA table_info("{name}")')]
            print(f"  {name:<{width}}  {count:>4} rows  {', '.join(columns)}")
    finally:
        conn.close()


def main():
    with tempfile.TemporaryDirectory(prefix="plintrove-demo-") as data_dir:
        tracker = SearchTracker(data_dir, LibraryIdentity("demo-instance", "demo-author"))
        try:
            print(f"identity: {tracker.current_identity()}")
            describe_database(os.path.join(data_dir, "tracking.db"))
        finally:
            tracker.close()


if __name__ == "__main__":
    main()
