"""Health checks of a tracking store: what a person looks at before blaming the search.

Each check gives a status ("ok", "warn", "fail" or "n/a") and a one-line detail that says
what to do when it is not ok. The file checks (journal mode, schema version, free pages,
the legacy archive, free disk beside the file) are SQLite's; on PostgreSQL they report
"n/a" and say so.
"""

import os
import shutil
from dataclasses import dataclass

from plintrove import search_tracking as st
from plintrove._store import ARCHIVE_SUFFIX, StoreLocation

# Free pages above this share of the file are worth giving back with VACUUM.
FREE_PAGE_WARN_RATIO = 0.2
SQLITE_ONLY = "SQLite store only; PostgreSQL manages its own files"


@dataclass
class Check:
    check: str
    status: str
    value: object
    detail: str


def _pragma(tracker, name):
    return tracker._conn.execute(f"PRAGMA {name}").fetchone()[0]


def _size_text(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(n) < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    raise AssertionError("unreachable")


def run_checks(tracker: st.SearchTracker, location: StoreLocation) -> list[Check]:
    checks = [Check("backend", "ok", location.backend,
                    "PLINTROVE_DB_URL selects PostgreSQL" if location.is_postgres
                    else f"SQLite file {location.db_path}")]
    if location.is_postgres:
        for name in ("journal mode", "schema version", "free disk", "free pages",
                     "legacy archive"):
            checks.append(Check(name, "n/a", None, SQLITE_ONLY))
        return checks

    mode = _pragma(tracker, "journal_mode")
    checks.append(Check(
        "journal mode", "ok" if mode == "wal" else "fail", mode,
        "write-ahead log: readers never block the writer" if mode == "wal" else
        "not WAL: open the store once with the tracker (it switches the mode), on a local "
        "file system"))

    version, expected = _pragma(tracker, "user_version"), st._POOL_V2_SCHEMA_VERSION
    checks.append(Check(
        "schema version", "ok" if version == expected else "fail", version,
        f"current (version {expected})" if version == expected else
        f"expected {expected}: open the store once with the tracker to migrate it"))

    free = shutil.disk_usage(location.data_dir).free
    threshold = st._DISK_THRESHOLD
    checks.append(Check(
        "free disk", "ok" if free >= threshold else "fail", free,
        f"{_size_text(free)} free; the writer stops below {_size_text(threshold)}"
        if free >= threshold else
        f"{_size_text(free)} free, below the writer's {_size_text(threshold)}: free space or "
        "prune (plintrove-tracking prune DIR --keep-last N --vacuum)"))

    pages, free_pages = _pragma(tracker, "page_count"), _pragma(tracker, "freelist_count")
    ratio = free_pages / pages if pages else 0.0
    checks.append(Check(
        "free pages", "ok" if ratio <= FREE_PAGE_WARN_RATIO else "warn", round(ratio, 4),
        f"{free_pages:,} of {pages:,} pages free" + (
            "" if ratio <= FREE_PAGE_WARN_RATIO else
            f" ({_size_text(free_pages * _pragma(tracker, 'page_size'))} reclaimable): "
            "run prune with --vacuum while no search runs")))

    archive = location.db_path + ARCHIVE_SUFFIX
    if os.path.exists(archive):
        checks.append(Check(
            "legacy archive", "warn", archive,
            f"{_size_text(os.path.getsize(archive))} archive of the old layout; delete it "
            "once nothing needs its rows"))
    else:
        checks.append(Check("legacy archive", "ok", None, "none present"))
    return checks
