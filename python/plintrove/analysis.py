"""Working with stored evaluations in bulk: streaming the whole history, and DataFrames.

``iter_evaluation_history`` reads a store of any size one chunk at a time (each chunk
one short read statement, by ascending ``eval_id``, signals before strategies), so a
million evaluations never sit in memory at once. ``to_dataframe`` turns records into a
pandas DataFrame with one column per field; it needs the ``analysis`` extra
(``pip install plintrove[analysis]``).
"""

import dataclasses
from collections.abc import Iterable, Iterator
from typing import Any

from plintrove import search_tracking as st

EVAL_TYPES = ("signal", "strategy")
# Evaluations per read: a chunk of full records (graphs, usage lists) takes some 20 KB
# each in Python, so 500 keep a reader near 10 MB whatever the size of the store.
DEFAULT_CHUNK_SIZE = 500


def iter_history_chunks(tracker: st.SearchTracker, eval_type: str | None = None, *,
                        chunk_size: int = DEFAULT_CHUNK_SIZE, passed_only: bool = False,
                        **filters: Any) -> Iterator[list[st.EvaluationRecord]]:
    """Lists of at most `chunk_size` EvaluationRecords covering every stored evaluation
    that matches; `filters` are those of ``get_evaluation_history`` (era_id,
    named_universe, metaparameters, source and the pool ids)."""
    if eval_type is not None and eval_type not in EVAL_TYPES:
        raise ValueError(f"eval_type must be 'signal', 'strategy' or None, got {eval_type!r}")
    for kind in (eval_type,) if eval_type else EVAL_TYPES:
        after = 0
        while True:
            chunk = tracker.get_evaluation_history_chunk(
                eval_type=kind, passed_only=passed_only, after_eval_id=after,
                limit=chunk_size, **filters)
            if not chunk:
                break
            yield chunk
            after = chunk[-1].eval_id


def iter_evaluation_history(tracker: st.SearchTracker, eval_type: str | None = None, *,
                            chunk_size: int = DEFAULT_CHUNK_SIZE, passed_only: bool = False,
                            **filters: Any) -> Iterator[st.EvaluationRecord]:
    """Every matching EvaluationRecord, one at a time, read chunk by chunk."""
    for chunk in iter_history_chunks(tracker, eval_type, chunk_size=chunk_size,
                                     passed_only=passed_only, **filters):
        yield from chunk


def to_dataframe(records: Iterable[Any], record_type: type | None = None):
    """A pandas DataFrame of `records` (any one record class of plintrove.search_tracking),
    one column per field in field order. `record_type` gives the columns of an empty
    input."""
    try:
        import pandas as pd
    except ImportError:
        raise ImportError("to_dataframe needs pandas: pip install 'plintrove[analysis]'") from None

    rows = list(records)
    cls = record_type or (type(rows[0]) if rows else None)
    if cls is None:
        return pd.DataFrame()
    columns = [f.name for f in dataclasses.fields(cls)]
    return pd.DataFrame.from_records(
        [[getattr(r, c) for c in columns] for r in rows],
        columns=columns)
