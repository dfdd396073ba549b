"""What a command prints: named tables of rows, shown as rich tables, JSON or CSV.

A command returns an ``Output`` (one or more ``Section``s). JSON and CSV carry every
column with its stored value; the table form may show fewer columns, formatted for
reading. One section prints as a plain JSON list or CSV file; several print as one JSON
object keyed by section name, or as CSV blocks each headed by a ``# name`` line.
"""

import csv
import datetime
import json
from dataclasses import dataclass, field
from typing import Any, Callable, TextIO

FORMATS = ("table", "json", "csv")


@dataclass
class Section:
    name: str
    rows: list[dict[str, Any]]
    columns: list[str] | None = None       # every key of the rows when not given
    shown: list[str] | None = None         # the table form's columns; all when not given
    title: str | None = None
    # One value as a single row of key/value pairs: printed vertically as a table and
    # as an object (not a list) in JSON.
    single: bool = False

    def all_columns(self) -> list[str]:
        if self.columns is not None:
            return self.columns
        seen: dict[str, None] = {}
        for row in self.rows:
            seen.update(dict.fromkeys(row))
        return list(seen)


@dataclass
class Output:
    sections: list[Section] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)  # lines for people, shown with tables

    def add(self, section: Section) -> Section:
        self.sections.append(section)
        return section

    def as_json_value(self) -> Any:
        values = {s.name: (s.rows[0] if s.single and s.rows else s.rows) for s in self.sections}
        if len(self.sections) == 1:
            return next(iter(values.values()))
        return values


def _json_default(value: Any) -> Any:
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


def write_json(output: Output, out: TextIO) -> None:
    json.dump(output.as_json_value(), out, indent=2, default=_json_default)
    out.write("\n")


def csv_cell(value: Any) -> Any:
    """Containers as JSON text, None as the empty cell, everything else as itself."""
    if value is None:
        return ""
    if isinstance(value, (dict, list, tuple)):
        return json.dumps(value)
    return value


def write_csv(output: Output, out: TextIO) -> None:
    writer = csv.writer(out, lineterminator="\n")
    several = len(output.sections) > 1
    for i, section in enumerate(output.sections):
        if several:
            if i:
                out.write("\n")
            out.write(f"# {section.name}\n")
        columns = section.all_columns()
        writer.writerow(columns)
        for row in section.rows:
            writer.writerow([csv_cell(row.get(c)) for c in columns])


def format_cell(column: str, value: Any) -> str:
    """A value as a person reads it in a table."""
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        if column in ("timestamp", "created_at", "submitted_at", "submission_date"):
            return datetime.datetime.fromtimestamp(value).strftime("%Y-%m-%d %H:%M")
        if column in ("yield_rate", "percentage", "share") or column.endswith("_yield"):
            return f"{value:.1%}"
        return f"{value:.4g}"
    if isinstance(value, int):
        return f"{value:,}"
    if isinstance(value, (list, tuple)):
        return ", ".join(str(v) for v in value)
    if isinstance(value, dict):
        return json.dumps(value)
    return str(value)


def write_table(output: Output, console: Any) -> None:
    from rich.table import Table

    for section in output.sections:
        title = section.title or section.name.replace("_", " ")
        if section.single:
            table = Table(title=title, show_header=False, title_justify="left")
            table.add_column(style="bold")
            table.add_column(justify="right")
            for key, value in (section.rows[0] if section.rows else {}).items():
                table.add_row(key.replace("_", " "), format_cell(key, value))
        else:
            columns = section.shown or section.all_columns()
            table = Table(title=title, title_justify="left")
            for column in columns:
                numeric = any(isinstance(r.get(column), (int, float))
                              and not isinstance(r.get(column), bool) for r in section.rows)
                table.add_column(column.replace("_", " "), justify="right" if numeric else "left",
                                 no_wrap=True, overflow="ellipsis")
            for row in section.rows:
                table.add_row(*(format_cell(c, row.get(c)) for c in columns))
            if not section.rows:
                table.caption = "nothing stored matches"
        console.print(table)
    for note in output.notes:
        console.print(note)


def render(output: Output, fmt: str, out: TextIO, console_factory: Callable[[], Any]) -> None:
    if fmt == "json":
        write_json(output, out)
    elif fmt == "csv":
        write_csv(output, out)
    else:
        write_table(output, console_factory())
