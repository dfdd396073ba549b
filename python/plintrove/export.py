"""Exporting the evaluation history to CSV, JSON Lines or Parquet, chunk by chunk.

Every format has one row per evaluation with the EvaluationRecord fields as columns, in
field order. JSON Lines keeps nested values (graph, metaparameters, usage lists) as JSON;
CSV and Parquet hold them as JSON text in their column. Rows are written as each chunk
is read, so memory stays flat whatever the size of the store.
"""

import csv
import dataclasses
import json
import typing
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


def _pyarrow():
    try:
        import pyarrow as pa
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise ImportError(f"parquet export needs pyarrow: {EXTRA_HINT}") from None
    return pa


def parquet_schema():
    pa = _pyarrow()

    scalar = {int: pa.int64(), float: pa.float64(), str: pa.string(), bool: pa.bool_()}
    fields = []
    for name, hint in typing.get_type_hints(st.EvaluationRecord).items():
        base = next((t for t in typing.get_args(hint) if t is not type(None)), hint)
        fields.append(pa.field(name, scalar.get(base, pa.string())))
    return pa.schema(fields)


def write_parquet(chunks: Iterable[list], path: str, on_rows: Callable[[int], None]) -> None:
    pa = _pyarrow()
    pq = pa.parquet
    schema = parquet_schema()
    as_text = {f.name for f in schema if f.type == pa.string()
               and typing.get_type_hints(st.EvaluationRecord)[f.name] not in (str, str | None)}
    with pq.ParquetWriter(path, schema) as writer:
        for chunk in chunks:
            columns = []
            for f in schema:
                values = [getattr(r, f.name) for r in chunk]
                if f.name in as_text:
                    values = [_json_text(v) for v in values]
                columns.append(pa.array(values, type=f.type))
            writer.write_batch(pa.RecordBatch.from_arrays(columns, schema=schema))
            on_rows(len(chunk))
