"""``plintrove-tracking`` (also ``python -m plintrove``): look at a tracking store from the
shell.

Each subcommand is one ``Command`` in ``COMMANDS``, registered with ``@command``: its
arguments, whether it writes, and a ``run(args, store)`` that returns an ``Output``.
Adding a subcommand is adding one such function (see ``_commands``).
"""

import argparse
import os
import sqlite3
import sys
from collections.abc import Callable
from dataclasses import dataclass, field

from plintrove import __version__
from plintrove._output import FORMATS, Output, render
from plintrove._store import StoreError, StoreLocation, locate, open_tracker

PROG = "plintrove-tracking"

EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class CommandError(Exception):
    """A failure the user can act on; its message is printed as the one error line."""


@dataclass
class Store:
    """What a command works on: where the store is, and the tracker opened on it."""
    location: StoreLocation
    tracker: object


@dataclass
class Command:
    name: str
    help: str
    run: Callable[[argparse.Namespace, Store], Output | None]
    add_arguments: Callable[[argparse.ArgumentParser], None] | None = None
    examples: list[str] = field(default_factory=list)
    # Opens the store read-write: a flag, or a function of the arguments.
    writes: bool | Callable[[argparse.Namespace], bool] = False
    formats: bool = True          # takes -f table|json|csv


COMMANDS: list[Command] = []


def command(name: str, help: str, *, examples: list[str] = (), writes=False,
            formats: bool = True, arguments: Callable | None = None):
    """Registers the decorated ``run(args, store)`` as subcommand `name`."""
    def register(run):
        COMMANDS.append(Command(name, help, run, arguments, list(examples), writes, formats))
        return run
    return register


EPILOG = f"""\
The store is the data directory given to SearchTracker (its tracking.db), or the
PostgreSQL database named by PLINTROVE_DB_URL when that is set. Commands that only read
open SQLite read-only and never hold up a running search.

examples:
  {PROG} summary ./data
  {PROG} functions ./data --era 3 --top 20
  {PROG} history ./data --type signal --passed-only --limit 50 -f json
  {PROG} export ./data --format parquet --out history.parquet
  {PROG} prune ./data --keep-last 100000 --dry-run
  {PROG} report ./data --out report.html

exit status: 0 success, 1 the store or the operation failed, 2 bad arguments,
130 interrupted."""


class Parser(argparse.ArgumentParser):
    """Bad arguments are one line on standard error and exit status 2."""

    def error(self, message):
        self.exit(EXIT_USAGE, f"{self.prog}: error: {one_line(message)} "
                              f"(see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    from plintrove import _commands  # noqa: F401  (registers the subcommands)

    parser = Parser(
        prog=PROG, description="Inspect, export and maintain a plintrove tracking store.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                parser_class=Parser)
    for cmd in COMMANDS:
        epilog = None
        if cmd.examples:
            epilog = "examples:\n" + "\n".join(f"  {PROG} {e}" for e in cmd.examples)
        p = sub.add_parser(cmd.name, help=cmd.help, description=cmd.help, epilog=epilog,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        p.add_argument("data_dir", metavar="DIR", help="the tracker's data directory")
        if cmd.formats:
            p.add_argument("-f", "--format", choices=FORMATS, default="table",
                           help="output format (default: table)")
        if cmd.add_arguments:
            cmd.add_arguments(p)
        p.set_defaults(command_spec=cmd)
    return parser


def one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def _console():
    from rich.console import Console

    # Off a terminal rich would assume 80 columns and squeeze wide tables to nothing.
    return Console(highlight=False, width=None if sys.stdout.isatty() else 160)


def run(args: argparse.Namespace) -> int:
    cmd: Command = args.command_spec
    location = locate(args.data_dir)
    writes = cmd.writes(args) if callable(cmd.writes) else cmd.writes
    tracker = open_tracker(location, writable=writes)
    try:
        output = cmd.run(args, Store(location, tracker))
    finally:
        tracker.close()
    if output is not None:
        render(output, getattr(args, "format", "table"), sys.stdout, _console)
    return getattr(args, "exit_status", EXIT_OK)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return run(args)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, and keep Python's exit-time flush
        # of stdout from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except (StoreError, CommandError) as e:
        message = one_line(e)
    except sqlite3.Error as e:
        message = f"the SQLite store cannot be read: {one_line(e)}"
    except (OSError, ValueError, RuntimeError, TypeError, ImportError) as e:
        message = one_line(e)
    except Exception as e:  # a storage error of another back end
        if type(e).__module__ != "plintrove.search_tracking":
            raise
        message = f"the store cannot be read: {one_line(e)}"
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
