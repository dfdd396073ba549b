"""Writes the nanobind stubgen pattern file for plintrove.search_tracking (a build step).

The record classes are dataclasses made in Python at import, which stubgen would show as
bare classes; the patterns replace each with its dataclass declaration (fields, types and
defaults from the class itself). The bound methods take any object and convert it
themselves, so their own signatures say `object`; the patterns keep each method's
parameter names, order and defaults exactly as bound and give them the types the
operations expect (one table, by parameter name, as the API names things consistently),
the records they return, and what they raise.

    python python/tools/stub_patterns.py STAGED_PACKAGE_PARENT OUT
"""

import dataclasses
import importlib
import re
import sys
import typing

st = None  # plintrove.search_tracking, imported from the staged package by main()


def type_text(hint) -> str:
    if hint is typing.Any:
        return "Any"
    if isinstance(hint, type) and not typing.get_args(hint):
        return hint.__name__
    return str(hint).replace("typing.", "")


def default_text(field: dataclasses.Field) -> str:
    if field.default_factory is not dataclasses.MISSING:
        return f"dataclasses.field(default_factory={field.default_factory().__class__.__name__})"
    return repr(field.default)


def record_pattern(cls) -> list[str]:
    hints = typing.get_type_hints(cls)
    lines = [f"\\.{cls.__name__}$:", "    @dataclasses.dataclass(slots=True)",
             f"    class {cls.__name__}:", f'        """{cls.__doc__}"""', ""]
    for field in dataclasses.fields(cls):
        lines.append(f"        {field.name}: {type_text(hints[field.name])} = "
                     f"{default_text(field)}")
    return lines + [""]


EVAL_TYPE = "Literal['signal', 'strategy']"
PARAMETER_TYPES = {
    "active": "bool", "after_eval_id": "int", "agent_is_correlation": "float",
    "agent_is_pnl_mi": "float", "commit": "bool", "data_dir": "str | os.PathLike[str]",
    "discarded_count": "int", "era_id": "int", "eval_id": "int", "eval_type": EVAL_TYPE,
    "expression_elapsed_seconds": "float", "failure_detail": "dict[str, Any] | str",
    "failure_reason": "str", "feature_families": "dict[str, list[str]]",
    "function_families": "dict[str, list[str]]", "graph": "dict[str, Any]",
    "idempotency_key": "str", "identity": "LibraryIdentity", "initial_status": "str",
    "is_correlation": "float", "is_pnl_mi": "float", "is_stats_json": "str",
    "keep_last": "int", "limit": "int", "metaparameters": "dict[str, dict[str, Any]]",
    "named_universe": "str", "new_era_id": "int", "offset": "int", "passed_only": "bool",
    "passed_thresholds": "bool", "payload_json": "str", "payment_json": "str",
    "payment_usdc": "float", "per_column_stats": "dict[str, Any]", "previous_era_id": "int",
    "progress": "DeletionProgress", "queue": "WorkerQueue",
    "referenced_signal_ids": "list[int]", "rejection_reason": "str", "retry_after": "float",
    "retry_count": "int", "retry_id": "int", "search_status": "SearchStatus",
    "signal_pool_id": "str", "sim_id": "str", "source": "Literal['search', 'simulate']",
    "stats": "BacktestStats | BacktestStatsLike", "status": "str",
    "stop_workers_callback": "Callable[[], object]", "strategy_pool_id": "str",
    "strategy_signal_pool": "str", "submission_id": "str", "tracker": "SearchTracker",
    "useful_flag": "bool", "window_minutes": "int",
    "n_effective": "Literal['raw', 'graph_jaccard', 'graph_hash']", "similarity": "float",
    "observations": "float", "skew": "float", "kurtosis": "float", "periods_per_year": "float",
    "n_trials": "float", "sharpe_variance": "float", "confidence": "float",
    "method": "Literal['holm', 'bonferroni', 'bhy']", "alpha": "float", "top": "int",
}
RETURN_TYPES = {
    "current_identity": "LibraryIdentity | None", "__enter__": "SearchTracker",
    "get_function_stats": "list[FunctionStats]", "get_feature_stats": "list[FeatureStats]",
    "get_function_cooccurrence": "list[CooccurrencePair]",
    "get_evaluation_history": "list[EvaluationRecord]",
    "get_evaluation_history_chunk": "list[EvaluationRecord]",
    "get_per_column_stats_batch": "list[PerColumnStatsRecord]",
    "get_evaluation_velocity": "VelocityStats",
    "get_signal_stats": "list[dict[str, Any]]", "get_strategy_stats": "list[dict[str, Any]]",
    "get_available_eras": "list[int]", "get_available_named_universes": "list[str]",
    "get_available_universes": "list[str]",
    "dequeue_submission": "SubmissionQueueItem | None",
    "get_pending_submissions": "list[PendingSubmission]",
    "get_submission_for_sim": "PendingSubmission | None",
    "get_submission_counts": "SubmissionCounts",
    "dequeue_retryable": "SubmissionRetryItem | None", "get_retry_counts": "RetryCounts",
    "get_rejection_summary": "list[RejectionCount]", "get_auto_metadata": "AutoMetadata",
    "get_db_info": "DatabaseInfo", "delete_evaluations": "DeleteResult",
    "delete_failed_evaluations": "DeleteResult",
    "get_trial_ledger": "list[TrialLedgerEntry]", "get_deflated_sharpe": "DeflatedSharpe",
    "get_multiple_testing_summary": "list[MultipleTestingCandidate]",
}
CLOSED = "OSError('SearchTracker is closed') after close()"
STORAGE = ("storage errors as sqlite3.Error subclasses (SQLite) or DatabaseError and its "
           "subclasses (PostgreSQL)")
RAISES = {
    "record_signal_evaluation": f"ValueError for an invalid argument or no identity; {CLOSED}",
    "record_strategy_evaluation": "ValueError for an invalid argument or no identity; "
                                  f"CrossPoolReferenceError for a signal of another pool; {CLOSED}",
    "delete_evaluations": "RuntimeError while a search is active; ValueError for keep_last < 0 "
                          "or an unknown eval_type; OSError('Failed to delete evaluations: "
                          f"...') after a storage error, rolled back; {CLOSED}",
    "delete_failed_evaluations": "RuntimeError while a search is active; ValueError for an "
                                 "unknown eval_type; OSError('Failed to delete failed "
                                 f"evaluations: ...') after a storage error, rolled back; {CLOSED}",
    "handle_era_transition": f"ValueError for an era <= 0 or previous >= new; {CLOSED}",
    "get_auto_metadata": f"ValueError when no evaluation has the id; {CLOSED}",
    "get_deflated_sharpe": "ValueError when no evaluation has the id, for an invalid argument "
                           "or for inputs the statistics refuse (observations <= 1, kurtosis "
                           f"below 1 + skew^2, fewer than one trial); {CLOSED}",
    "__init__": "ValueError for an empty data_dir or a PLINTROVE_DB_URL of another scheme; "
                "OSError when the directory does not exist or write-ahead logging cannot be "
                "enabled; RuntimeError when PostgreSQL is selected and libpq is missing",
}
DEFAULT_RAISES = f"ValueError for an invalid argument; {CLOSED}"
NO_RAISES = {"set_identity", "current_identity", "close", "__enter__", "__exit__", "__repr__"}


def split_parameters(text: str) -> list[str]:
    """The comma-separated parameters of a signature, commas inside brackets kept."""
    parts, depth, current = [], 0, ""
    for ch in text:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += ch
    return parts + ([current.strip()] if current.strip() else [])


def typed_parameter(text: str, defaults: tuple) -> str:
    match = re.fullmatch(r"(\w+): (.+?)(?: = \\(\d+))?", text)
    if not match:
        return text  # self, *, **kwargs
    name, bound_type, default = match.groups()
    kind = PARAMETER_TYPES.get(name, bound_type)
    if default is None:
        return f"{name}: {kind}"
    value = defaults[int(default)]
    if value is None and "None" not in kind:
        kind += " | None"
    shown = repr(value) if isinstance(value, (bool, int, float, str, type(None))) else "..."
    return f"{name}: {kind} = {shown}"


def method_pattern(cls, name: str, fn) -> list[str]:
    [(signature, doc, defaults)] = fn.__nb_signature__
    head, returns = signature.rsplit(" -> ", 1)
    params = head[head.index("(") + 1:-1]
    typed = ", ".join(typed_parameter(p, defaults) for p in split_parameters(params))
    returns = RETURN_TYPES.get(name, returns)
    doc = doc or ""
    if name not in NO_RAISES and cls is st.SearchTracker:
        doc += ("\n\n" if doc else "") + "Raises " + RAISES.get(name, DEFAULT_RAISES) + \
            "; " + STORAGE + "."
    lines = [f"\\.{cls.__name__}\\.{re.escape(name)}$:", f"    def {name}({typed}) -> {returns}:"]
    if not doc:
        return lines + ["        ...", ""]
    lines += [f'        """{line}' if i == 0 else f"        {line}"
              for i, line in enumerate(doc.splitlines())]
    lines[-1] += '"""'
    return lines + [""]


def class_methods(cls) -> list[str]:
    lines = []
    for name, fn in vars(cls).items():
        if name.startswith("_") and not (name.startswith("__") and name.endswith("__")):
            continue
        if len(getattr(fn, "__nb_signature__", ())) == 1:
            lines += method_pattern(cls, name, fn)
    return lines


def main(staged: str, out: str) -> None:
    global st
    sys.path.insert(0, staged)
    st = importlib.import_module("plintrove.search_tracking")
    records = [value for value in vars(st).values()
               if isinstance(value, type) and dataclasses.is_dataclass(value)]
    lines = ["# Generated by python/tools/stub_patterns.py.",
             "^plintrove\\.search_tracking\\.__prefix__$:",
             "    import dataclasses", "    import os",
             "    from collections.abc import Callable", "    from typing import Any, Literal",
             "    from plintrove.protocols import (BacktestStatsLike, DeletionProgress,",
             "                                     LibraryIdentity, SearchStatus, WorkerQueue)",
             ""]
    for cls in records:
        lines += record_pattern(cls)
    for cls in (st.SearchTracker, st.WriterThread):
        lines += class_methods(cls)
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
