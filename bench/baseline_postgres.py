"""The pure-Python baseline on PostgreSQL: a small DB-API adapter over psycopg2 that takes
the tracker's SQLite-dialect statements and rewrites them on the way (placeholders,
JSON-path filters, transaction statements, SQLite-only statements, RETURNING for generated
keys), under which the SQLite baseline's tracker and writer run their own statement code
unchanged. It is not used by the library.
"""

from __future__ import annotations

import json
import re

import psycopg2

from baseline_tracker import BaselineTracker
from baseline_writer import BaselineStore

RETURNING_IDS = {f"{t}_{suffix}": key for t in ("signal", "strategy") for suffix, key in (
    ("evaluations", "eval_id"), ("submission_queue", "queue_id"),
    ("submission_attempts", "attempt_id"), ("submission_status", "status_id"),
    ("submission_retry", "retry_id"))}
JSON_EXTRACT_EQ_RE = re.compile(r"json_extract\(([^,]+),\s*%s\)\s*=\s*%s")
JSON_EXTRACT_RE = re.compile(r"json_extract\(([^,]+),\s*%s\)")
JSON_LABEL_RE = re.compile(r'\.("(?:[^"\\]|\\.)*"|[^.]+)')


def array_quote(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def json_path(sqlite_path):
    labels = []
    for match in JSON_LABEL_RE.finditer(sqlite_path[1:]):
        label = match.group(1)
        if label.startswith('"'):
            try:
                label = json.loads(label)
            except ValueError:
                label = label.strip('"')
        labels.append(array_quote(str(label)))
    return "{" + ",".join(labels) + "}"


def translate_json_params(params):
    out, i = [], 0
    while i < len(params):
        value = params[i]
        if isinstance(value, str) and value.startswith("$."):
            out.append(json_path(value))
            if i + 1 < len(params):
                out.append(json.dumps(params[i + 1], separators=(",", ":")))
                i += 2
                continue
        else:
            out.append(value)
        i += 1
    return tuple(out)


def translate(sql, params):
    translated = sql.replace("?", "%s")
    params = tuple(params or ())
    if "json_extract(" in translated:
        translated = JSON_EXTRACT_EQ_RE.sub(r"(\1::jsonb #> %s) = %s::jsonb", translated)
        translated = JSON_EXTRACT_RE.sub(r"(\1::jsonb #>> %s)", translated)
        params = translate_json_params(params)
    return translated, params


def returning_column(normalized):
    if normalized.startswith("insert into "):
        for table, key in RETURNING_IDS.items():
            if normalized.startswith(f"insert into {table} ") or normalized.startswith(
                    f"insert into {table}("):
                return key
    return None


class EmptyCursor:
    lastrowid = None

    def fetchone(self):
        return None

    def fetchall(self):
        return []

    def __iter__(self):
        return iter(())


class Cursor:
    def __init__(self, cursor, lastrowid):
        self._cursor, self.lastrowid = cursor, lastrowid

    def fetchone(self):
        return self._cursor.fetchone()

    def fetchall(self):
        return self._cursor.fetchall()

    def __iter__(self):
        return iter(self._cursor)

    @property
    def rowcount(self):
        return self._cursor.rowcount


class PostgresConnection:
    """The statements' own rewrite, one cursor per statement; autocommit outside BEGIN, and
    BEGIN issued before a data-changing statement outside a transaction, as on SQLite."""

    dialect = "postgres"

    def __init__(self, url):
        self._conn = psycopg2.connect(url)
        self._conn.autocommit = True
        self._open = False

    def execute(self, sql, params=None):
        normalized = " ".join(sql.split()).lower()
        if normalized in ("begin", "begin immediate"):
            self._conn.cursor().execute("BEGIN")
            self._open = True
            return EmptyCursor()
        if normalized == "commit":
            self.commit()
            return EmptyCursor()
        if normalized == "rollback":
            self.rollback()
            return EmptyCursor()
        if normalized.startswith("pragma ") or normalized.startswith(
                "delete from sqlite_sequence"):
            return EmptyCursor()
        translated, params = translate(sql, params)
        key = returning_column(normalized)
        if key and " returning " not in normalized:
            translated += " RETURNING " + key
        cursor = self._conn.cursor()
        if not self._open and normalized.split(" ", 1)[0] in ("insert", "update", "delete"):
            cursor.execute("BEGIN")
            self._open = True
        cursor.execute(translated, params)
        lastrowid = None
        if key:
            row = cursor.fetchone()
            lastrowid = row[0] if row else None
        return Cursor(cursor, lastrowid)

    def commit(self):
        if self._open:
            self._conn.cursor().execute("COMMIT")
            self._open = False

    def rollback(self):
        if self._open:
            self._conn.cursor().execute("ROLLBACK")
            self._open = False

    def close(self):
        self._conn.close()


class PostgresBaselineTracker(BaselineTracker):
    def __init__(self, url, instance_id="bench-instance", author_id="bench-author"):
        self.conn = PostgresConnection(url)
        self.identity = (instance_id, author_id)


class PostgresBaselineStore(BaselineStore):
    def __init__(self, url, identity):
        self._db_path = None
        self._conn = PostgresConnection(url)
        self._identity = identity
