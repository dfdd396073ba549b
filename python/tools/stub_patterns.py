"""Writes the nanobind stubgen pattern file for plintrove.search_tracking (a build step).

The record classes are dataclasses made in Python at import, which stubgen would show as
bare classes; the patterns replace each with its dataclass declaration (fields, types and
defaults from the class itself). Each method is declared with the typed signature it is
bound with (nb::sig, from the binding's table by parameter name, the one source of the
types), even where plintrove._signatures exposes it through a forwarding function, and
with what it raises added to its docstring.

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


def method_pattern(cls, name: str, fn) -> list[str]:
    [(signature, doc, _)] = fn.__nb_signature__
    doc = doc or ""
    if name not in NO_RAISES and cls is st.SearchTracker:
        doc += ("\n\n" if doc else "") + "Raises " + RAISES.get(name, DEFAULT_RAISES) + \
            "; " + STORAGE + "."
    lines = [f"\\.{cls.__name__}\\.{re.escape(name)}$:", f"    {signature}:"]
    if not doc:
        return lines + ["        ...", ""]
    lines += [f'        """{line}' if i == 0 else f"        {line}"
              for i, line in enumerate(doc.splitlines())]
    lines[-1] += '"""'
    return lines + [""]


def class_methods(cls) -> list[str]:
    # inspect's copy of __init__'s signature is for run time only.
    lines = [f"\\.{cls.__name__}\\.__signature__$:", ""]
    for name, fn in vars(cls).items():
        if name.startswith("_") and not (name.startswith("__") and name.endswith("__")):
            continue
        bound = getattr(fn, "__wrapped__", fn)
        if len(getattr(bound, "__nb_signature__", ())) == 1:
            lines += method_pattern(cls, name, bound)
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
             "    from collections.abc import Callable", "    from types import TracebackType",
             "    from typing import Any, Literal",
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
