"""Exporting the evaluation history to CSV, JSON Lines or Parquet, chunk by chunk.

Every format has one row per evaluation with the EvaluationRecord fields as columns, in
field order. JSON Lines keeps nested values (graph, metaparameters, usage lists) as JSON;
CSV and Parquet hold them as JSON text in their column. Rows are written as each chunk
is read, so memory stays flat whatever the size of the store.
"""

import contextlib
import csv
import importlib.abc
import dataclasses
import json
import sys
from collections.abc import Callable, Iterable
from typing import Any, TextIO

from plintrove import search_tracking as st
from plintrove._output import csv_cell

FORMATS = ("csv", "jsonl", "parquet")
COLUMNS = [f.name for f in dataclasses.fields(st.EvaluationRecord)]


def _json_text(value: Any) -> str | None:
    return None if value is None else json.dumps(value)


def write_csv(chunks: Iterable[list], out: TextIO, on_rows: Callable[[int], None]) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(COLUMNS)
    for chunk in chunks:
        writer.writerows([csv_cell(getattr(r, c)) for c in COLUMNS] for r in chunk)
        on_rows(len(chunk))


def write_jsonl(chunks: Iterable[list], out: TextIO, on_rows: Callable[[int], None]) -> None:
    for chunk in chunks:
        out.writelines(json.dumps({c: getattr(r, c) for c in COLUMNS}) + "\n" for r in chunk)
        on_rows(len(chunk))


EXTRA_HINT = "pip install 'plintrove[analysis]'"


# Rows per Parquet row group: batches are gathered up to it, so readers get row groups of
# a useful size while the store is read in small chunks.
ROW_GROUP_ROWS = 10_000


def _pyarrow():
    try:
        import pyarrow as pa
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise ImportError(f"parquet export needs pyarrow: {EXTRA_HINT}") from None
    return pa


class _PandasKeptOut(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "pandas" or name.startswith("pandas."):
            raise ImportError("pandas is not needed to write Parquet from plain lists")
        return None


@contextlib.contextmanager
def _without_pandas():
    """pyarrow imports pandas (some 50 MB) the first time it builds an array, only to
    recognise pandas inputs; the export passes plain lists, so a process that has not
    imported pandas yet is kept from doing it here."""
    if "pandas" in sys.modules:
        yield
        return
    finder = _PandasKeptOut()
    sys.meta_path.insert(0, finder)
    try:
        yield
    finally:
        sys.meta_path.remove(finder)


# Columns whose default is None, by what they hold; the others are typed by their default.
REAL_COLUMNS = {"expression_elapsed_seconds", "is_correlation", "agent_is_correlation",
                "is_pnl_mi", "agent_is_pnl_mi"}
TEXT_COLUMNS = {"rejection_reason", "signal_pool_id", "strategy_pool_id",
                "strategy_signal_pool", "failure_reason"}


def parquet_schema():
    """Numbers and texts as typed columns; graphs, mappings and lists as JSON text."""
    pa = _pyarrow()
    by_default = {bool: pa.bool_(), int: pa.int64(), float: pa.float64(), str: pa.string()}
    fields = []
    for f in dataclasses.fields(st.EvaluationRecord):
        if f.name in REAL_COLUMNS:
            kind = pa.float64()
        elif f.name in TEXT_COLUMNS:
            kind = pa.string()
        else:
            kind = by_default.get(type(f.default), pa.string())
        fields.append(pa.field(f.name, kind, metadata=None if type(f.default) in by_default
                               or f.name in REAL_COLUMNS | TEXT_COLUMNS else {"json": "1"}))
    return pa.schema(fields)


def _fits(pa, value, kind) -> bool:
    try:
        pa.array([value], type=kind)
    except (pa.ArrowInvalid, pa.ArrowTypeError):
        return False
    return True


def write_parquet(chunks: Iterable[list], path: str, on_rows: Callable[[int], None]) -> None:
    pa = _pyarrow()
    pq = pa.parquet
    schema = parquet_schema()
    pending, pending_rows = [], 0
    with _without_pandas(), pq.ParquetWriter(path, schema) as writer:
        for chunk in chunks:
            columns = []
            for f in schema:
                values = [getattr(r, f.name) for r in chunk]
                if f.metadata:
                    values = [_json_text(v) for v in values]
                try:
                    columns.append(pa.array(values, type=f.type))
                except (pa.ArrowInvalid, pa.ArrowTypeError) as e:
                    record, value = next((r, v) for r, v in zip(chunk, values)
                                         if not _fits(pa, v, f.type))
                    raise ValueError(
                        f"{f.name} of {record.eval_type} {record.eval_id} is stored as "
                        f"{type(value).__name__}, which a parquet {f.type} column cannot "
                        "hold; export as csv or jsonl instead") from e
            pending.append(pa.RecordBatch.from_arrays(columns, schema=schema))
            pending_rows += len(chunk)
            if pending_rows >= ROW_GROUP_ROWS:
                writer.write_table(pa.Table.from_batches(pending), row_group_size=pending_rows)
                pending, pending_rows = [], 0
            on_rows(len(chunk))
        if pending:
            writer.write_table(pa.Table.from_batches(pending), row_group_size=pending_rows)
