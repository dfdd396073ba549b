"""The subcommands of plintrove-tracking. Every table comes from the tracker's own queries;
the command only picks, orders and labels their results."""

import argparse
import dataclasses
import json
import logging
import os
import sys

from plintrove import analysis, doctor, export, reason_descriptions
from plintrove import search_tracking as st
from plintrove._output import Output, Section
from plintrove._store import display_location, file_size
from plintrove.cli import EXIT_ERROR, CommandError, Store, command
from plintrove.submission_funnel import submission_funnel

EVAL_TYPES = ("signal", "strategy")
log = logging.getLogger("plintrove.cli")


# ---- shared arguments ---------------------------------------------------------------------

def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def non_negative_int(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def json_mapping(text: str) -> dict:
    try:
        value = json.loads(text)
    except json.JSONDecodeError as e:
        raise argparse.ArgumentTypeError(f"not JSON ({e.msg})") from None
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError("must be a JSON object such as '{\"pool\": {\"k\": 1}}'")
    return value


def add_filters(p: argparse.ArgumentParser, *, pools: bool = True, metaparameters: bool = True,
                strategy_signal_pool: bool = True) -> None:
    g = p.add_argument_group("filters")
    g.add_argument("--era", type=int, dest="era_id", metavar="N", help="one era only")
    g.add_argument("--type", choices=EVAL_TYPES, dest="eval_type",
                   help="signals or strategies only (default: both)")
    g.add_argument("--universe", dest="named_universe", metavar="NAME",
                   help="one named universe only")
    g.add_argument("--source", choices=("search", "simulate"), help="one source only")
    if metaparameters:
        g.add_argument("--metaparameters", type=json_mapping, metavar="JSON",
                       help="metaparameters to match, as a JSON object of pool to stage values")
    if pools:
        g.add_argument("--signal-pool", dest="signal_pool_id", metavar="POOL")
        g.add_argument("--strategy-pool", dest="strategy_pool_id", metavar="POOL")
        if strategy_signal_pool:
            g.add_argument("--strategy-signal-pool", dest="strategy_signal_pool",
                           metavar="POOL")


FILTER_KEYS = ("era_id", "eval_type", "named_universe", "source", "metaparameters",
               "signal_pool_id", "strategy_pool_id", "strategy_signal_pool")


def filters(args: argparse.Namespace) -> dict:
    return {k: getattr(args, k) for k in FILTER_KEYS if getattr(args, k, None) is not None}


def add_top(p: argparse.ArgumentParser, sorts: tuple[str, ...] = ()) -> None:
    p.add_argument("--top", type=positive_int, metavar="N", help="the first N rows only")
    if sorts:
        p.add_argument("--sort", choices=sorts, default=sorts[0],
                       help=f"order of the rows (default: {sorts[0]}, as the tracker ranks them)")


def rows_of(records) -> list[dict]:
    return [dataclasses.asdict(r) for r in records]


# ---- summary ------------------------------------------------------------------------------

def summary_arguments(p):
    p.add_argument("--window", type=positive_int, default=60, metavar="MINUTES",
                   help="the recent window for throughput (default: 60)")


@command("summary", "Store size, evaluations and yield per era, recent throughput, "
         "submission and retry counts.", arguments=summary_arguments,
         examples=["summary ./data", "summary ./data --window 240 -f json"])
def summary(args, store: Store) -> Output:
    t = store.tracker
    info = t.get_db_info()
    out = Output()
    out.add(Section("store", [{
        "backend": store.location.backend,
        "location": display_location(store.location),
        "file_size_bytes": info.file_size_bytes,
        "signal_evaluations": info.signal_evaluation_count,
        "signal_passed": info.signal_passed_count,
        "strategy_evaluations": info.strategy_evaluation_count,
        "strategy_passed": info.strategy_passed_count,
    }], single=True))
    out.add(Section("eras", era_rows(t), title="evaluations and yield per era"))
    out.add(Section("throughput", [
        {"eval_type": kind or "all", **dataclasses.asdict(
            t.get_evaluation_velocity(window_minutes=args.window, eval_type=kind))}
        for kind in (*EVAL_TYPES, None)], title=f"throughput, last {args.window} minutes"))
    out.add(Section("submissions", [dataclasses.asdict(t.get_submission_counts())], single=True))
    out.add(Section("retries", [dataclasses.asdict(t.get_retry_counts())], single=True))
    return out


def era_rows(t) -> list[dict]:
    rows = []
    for era in t.get_available_eras():
        for kind in EVAL_TYPES:
            total = t.get_evaluation_count(era_id=era, eval_type=kind)
            if not total:
                continue
            passed = t._count_where(st._SUBMISSION_TABLES[kind]["eval_table"],
                                    "era_id = ? AND passed_thresholds = 1", (era,))
            rows.append({"era_id": era, "eval_type": kind, "evaluations": total,
                         "passed": passed, "yield_rate": passed / total})
    return rows


# ---- usage statistics ---------------------------------------------------------------------

STAT_SORTS = ("yield", "total", "passed", "name")


def sorted_stats(rows: list[dict], name_key: str, args) -> list[dict]:
    keys = {"total": lambda r: -r["total_evaluations"],
            "passed": lambda r: -r["passed_evaluations"],
            "name": lambda r: r[name_key]}
    if args.sort in keys:
        rows = sorted(rows, key=keys[args.sort])
    return rows[:args.top] if args.top else rows


def stats_arguments(p):
    add_filters(p)
    add_top(p, STAT_SORTS)


@command("functions", "Yield per function (and rotation family): evaluations, passes, rate.",
         arguments=stats_arguments,
         examples=["functions ./data --top 20", "functions ./data --era 3 --type signal "
                   "--sort total -f csv"])
def functions(args, store: Store) -> Output:
    rows = sorted_stats(rows_of(store.tracker.get_function_stats(**filters(args))),
                        "function_name", args)
    return Output([Section("functions", rows, title="function yield")])


@command("features", "Yield per feature: evaluations, passes, rate.", arguments=stats_arguments,
         examples=["features ./data --top 20", "features ./data --universe US_TOP_500 -f json"])
def features(args, store: Store) -> Output:
    rows = sorted_stats(rows_of(store.tracker.get_feature_stats(**filters(args))),
                        "feature_name", args)
    return Output([Section("features", rows, title="feature yield")])


def cooc_arguments(p):
    add_filters(p)
    p.add_argument("--passed-only", action="store_true", help="pairs of passed evaluations only")
    add_top(p)


@command("cooc", "Function pairs used together in one evaluation, most frequent first.",
         arguments=cooc_arguments,
         examples=["cooc ./data --top 25", "cooc ./data --passed-only --era 2 -f csv"])
def cooc(args, store: Store) -> Output:
    pairs = store.tracker.get_function_cooccurrence(passed_only=args.passed_only, **filters(args))
    rows = rows_of(pairs[:args.top] if args.top else pairs)
    return Output([Section("cooccurrence", rows, title="function co-occurrence")])


# ---- rejections and history ---------------------------------------------------------------

@command("rejections", "Rejected evaluations per reason, with each reason's share and what "
         "it means.", arguments=add_filters,
         examples=["rejections ./data", "rejections ./data --type strategy -f json"])
def rejections(args, store: Store) -> Output:
    rows = []
    for r in store.tracker.get_rejection_summary(**filters(args)):
        described = reason_descriptions.describe_reason(r.rejection_reason,
                                                        kind="rejection_reason")
        rows.append({**dataclasses.asdict(r), "description": described["rendered"]})
    return Output([Section("rejections", rows, title="rejection reasons")])


HISTORY_SHOWN = ["eval_id", "eval_type", "era_id", "timestamp", "named_universe",
                 "passed_thresholds", "sharpe", "rejection_reason"]


def history_arguments(p):
    add_filters(p)
    p.add_argument("--passed-only", action="store_true", help="passed evaluations only")
    p.add_argument("--limit", type=positive_int, default=20, metavar="N",
                   help="newest N evaluations (default: 20)")
    p.add_argument("--offset", type=non_negative_int, default=0, metavar="N",
                   help="skip the newest N first")


@command("history", "Stored evaluations, newest first, with their usage. JSON and CSV carry "
         "every field.", arguments=history_arguments,
         examples=["history ./data --limit 10", "history ./data --type strategy --passed-only "
                   "-f json"])
def history(args, store: Store) -> Output:
    records = store.tracker.get_evaluation_history(
        passed_only=args.passed_only, limit=args.limit, offset=args.offset, **filters(args))
    return Output([Section("history", rows_of(records), columns=export.COLUMNS,
                           shown=HISTORY_SHOWN, title="evaluation history")])


# ---- submissions --------------------------------------------------------------------------

def submissions_arguments(p):
    p.add_argument("--era", type=int, dest="era_id", metavar="N", help="one era only")


@command("submissions", "The submission pipeline: counts, retries, submissions and payments "
         "per status, and the submissions still awaiting a verdict.",
         arguments=submissions_arguments,
         examples=["submissions ./data", "submissions ./data --era 4 -f json"])
def submissions(args, store: Store) -> Output:
    t = store.tracker
    out = Output()
    out.add(Section("counts", [dataclasses.asdict(t.get_submission_counts(era_id=args.era_id))],
                    single=True, title="submission counts"))
    out.add(Section("retries", [dataclasses.asdict(t.get_retry_counts(era_id=args.era_id))],
                    single=True, title="retry queue"))
    out.add(Section("statuses", submission_funnel(t), title="submissions and payments by status"))
    pending = [p for p in t.get_pending_submissions()
               if args.era_id is None or p.era_id == args.era_id]
    out.add(Section("pending", rows_of(pending),
                    columns=[f.name for f in dataclasses.fields(st.PendingSubmission)],
                    shown=["status_id", "eval_type", "eval_id", "submission_id", "era_id",
                           "status", "submitted_at", "last_polled_at"],
                    title="awaiting a verdict"))
    return out


# ---- export -------------------------------------------------------------------------------

def export_arguments(p):
    p.add_argument("--format", choices=export.FORMATS, default="csv",
                   help="file format (default: csv)")
    p.add_argument("--out", required=True, metavar="PATH",
                   help="file to write; '-' writes csv or jsonl to standard output")
    add_filters(p)
    p.add_argument("--passed-only", action="store_true", help="passed evaluations only")
    p.add_argument("--chunk-size", type=positive_int, default=analysis.DEFAULT_CHUNK_SIZE,
                   metavar="N", help="evaluations read per statement")


@command("export", "Every stored evaluation (or those matching the filters) to CSV, JSON "
         "Lines or Parquet, read and written chunk by chunk.", arguments=export_arguments,
         formats=False,
         examples=["export ./data --out history.csv",
                   "export ./data --format parquet --out history.parquet --era 3",
                   "export ./data --format jsonl --out - | head"])
def export_history(args, store: Store) -> None:
    if args.out == "-" and args.format == "parquet":
        raise CommandError("parquet cannot go to standard output; give --out a file name")
    chunks = analysis.iter_history_chunks(
        store.tracker, args.eval_type, chunk_size=args.chunk_size,
        passed_only=args.passed_only, **{k: v for k, v in filters(args).items()
                                         if k != "eval_type"})
    total = [0]

    def counted(n):
        total[0] += n
        bar.advance(n)

    expected = None if args.passed_only else store.tracker.get_evaluation_count(**filters(args))
    with ProgressBar() as bar:
        bar.start("exporting evaluations", expected)
        if args.out == "-":
            write = export.write_csv if args.format == "csv" else export.write_jsonl
            write(chunks, sys.stdout, counted)
        else:
            partial = args.out + ".partial"
            try:
                if args.format == "parquet":
                    export.write_parquet(chunks, partial, counted)
                else:
                    write = export.write_csv if args.format == "csv" else export.write_jsonl
                    with open(partial, "w", newline="", encoding="utf-8") as f:
                        write(chunks, f, counted)
                os.replace(partial, args.out)
            except BaseException:
                if os.path.exists(partial):
                    os.remove(partial)
                raise
    where = "standard output" if args.out == "-" else args.out
    print(f"exported {total[0]:,} evaluations to {where}", file=sys.stderr)


class ProgressBar:
    """A rich progress bar on standard error while a terminal watches, else silent."""

    def __init__(self):
        self._progress = None
        self._tasks = {}
        self._current = None

    def __enter__(self):
        if sys.stderr.isatty():
            from rich.console import Console
            from rich.progress import Progress

            self._progress = Progress(console=Console(stderr=True), transient=True)
            self._progress.start()
        return self

    def __exit__(self, *exc):
        if self._progress is not None:
            self._progress.stop()

    def start(self, name, total):
        """A task that `advance` moves on; total None while it is not known."""
        if self._progress is not None:
            self._tasks[name] = self._progress.add_task(name, total=total)
        self._current = name

    def advance(self, n):
        if self._progress is not None:
            self._progress.advance(self._tasks[self._current], n)

    def update(self, name, done, total):
        """The deletions' progress callback: one task per evaluation table, whose steps are
        the chunks deleted and then the indexes rebuilt."""
        if self._progress is None:
            return
        if name not in self._tasks:
            self._tasks[name] = self._progress.add_task(
                f"pruning {name}: rows, then indexes", total=total)
        self._progress.update(self._tasks[name], completed=done, total=total)


# ---- prune --------------------------------------------------------------------------------

def prune_arguments(p):
    what = p.add_mutually_exclusive_group(required=True)
    what.add_argument("--keep-last", type=non_negative_int, metavar="N",
                      help="keep the newest N evaluations of each type")
    what.add_argument("--failed", action="store_true",
                      help="delete every evaluation that did not pass")
    p.add_argument("--type", choices=EVAL_TYPES, dest="eval_type",
                   help="prune signals or strategies only (default: both)")
    p.add_argument("--dry-run", action="store_true",
                   help="say what would be deleted, change nothing")
    p.add_argument("--vacuum", action="store_true",
                   help="afterwards give the freed space back to the file system (SQLite)")


@command("prune", "Delete old or failed evaluations with their usage rows. Stop the search "
         "first: pruning takes the write lock until it is done.", arguments=prune_arguments,
         writes=lambda args: not args.dry_run,
         examples=["prune ./data --keep-last 100000 --dry-run",
                   "prune ./data --failed --type signal --vacuum"])
def prune(args, store: Store) -> Output:
    t = store.tracker
    kinds = (args.eval_type,) if args.eval_type else EVAL_TYPES
    if args.dry_run:
        rows = []
        for kind in EVAL_TYPES:
            total = t.get_evaluation_count(eval_type=kind)
            delete = 0
            if kind in kinds:
                if args.failed:
                    delete = t._count_where(st._SUBMISSION_TABLES[kind]["eval_table"],
                                            "passed_thresholds = 0")
                else:
                    delete = max(0, total - args.keep_last)
            rows.append({"eval_type": kind, "evaluations": total, "would_delete": delete,
                         "would_remain": total - delete})
        return Output([Section("dry_run", rows, title="prune, dry run: nothing changed")])

    size_before = file_size(store.location)
    out = Output()
    with ProgressBar() as bar:
        if args.failed:
            result = t.delete_failed_evaluations(args.eval_type, progress=bar.update)
        else:
            result = t.delete_evaluations(args.eval_type, args.keep_last, progress=bar.update)
        if args.vacuum:
            if store.location.is_postgres:
                out.notes.append("--vacuum applies to the SQLite store only; PostgreSQL's "
                                 "autovacuum reclaims the space itself")
            else:
                vacuum(t, store.location, bar)
    row = dataclasses.asdict(result)
    if size_before is not None:
        row |= {"file_size_before": size_before, "file_size_after": file_size(store.location)}
    out.add(Section("pruned", [row], single=True))
    return out


def vacuum(t, location, bar):
    """VACUUM, then the checkpoint that empties the write-ahead log VACUUM rewrote the file
    through: two steps of the bar. Logged at INFO, as the library logs the deletion."""
    bar.start("vacuum: rewriting the file, then emptying the log", 2)
    log.info("Vacuuming %s (%d bytes)", location.db_path, file_size(location))
    t._conn.execute("VACUUM")
    bar.advance(1)
    t._conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    bar.advance(1)
    log.info("Vacuumed %s: %d bytes", location.db_path, file_size(location))


# ---- doctor and report --------------------------------------------------------------------

@command("doctor", "Health of the store: journal mode, schema version, free disk against the "
         "writer's threshold, free pages, a leftover legacy archive. Exits 1 when a check "
         "fails.", examples=["doctor ./data", "doctor ./data -f json"])
def doctor_command(args, store: Store) -> Output:
    checks = doctor.run_checks(store.tracker, store.location)
    if any(c.status == "fail" for c in checks):
        args.exit_status = EXIT_ERROR
    return Output([Section("checks", rows_of(checks), title="store health")])


def report_arguments(p):
    p.add_argument("--out", default="report.html", metavar="PATH",
                   help="the HTML file to write (default: report.html)")
    p.add_argument("--top", type=positive_int, default=20, metavar="N",
                   help="functions and features shown per chart (default: 20)")


@command("report", "One self-contained HTML page: throughput, yield by era and universe, "
         "function and feature yield, rejections, co-occurrence, submissions, store health.",
         arguments=report_arguments, formats=False,
         examples=["report ./data --out report.html"])
def report_command(args, store: Store) -> None:
    from plintrove import report

    report.write_report(store.tracker, store.location, args.out, top=args.top)
    print(f"wrote {args.out}", file=sys.stderr)


# ---- multiple testing ---------------------------------------------------------------------

LEDGER_SHOWN = ["eval_type", "era_id", "pool_id", "named_universe", "source", "trials",
                "errored_trials", "nonfinite_trials", "effective_trials", "sharpe_max",
                "expected_max_sharpe", "rows_pruned", "rebuilt"]
CANDIDATE_SHOWN = ["eval_id", "eval_type", "era_id", "sharpe", "p_value", "adjusted_p_value",
                   "haircut_sharpe", "significant", "status"]


def ledger_arguments(p):
    # The ledger's scopes have no metaparameters, and pools are its own or its signals'.
    add_filters(p, metaparameters=False, strategy_signal_pool=False)
    p.add_argument("--n-effective", choices=("raw", "graph_jaccard", "graph_hash"),
                   default="raw", help="how trials are counted (default: raw, every trial)")
    p.add_argument("--similarity", type=float, default=0.8, metavar="S",
                   help="Jaccard similarity that makes two trials one for graph_jaccard "
                        "(default: 0.8)")
    p.add_argument("--method", choices=("holm", "bonferroni", "bhy"), default="holm",
                   help="p-value correction of the candidates (default: holm)")
    p.add_argument("--alpha", type=float, default=0.05, help="significance level (default: 0.05)")
    p.add_argument("--observations", type=float, metavar="T",
                   help="return observations behind each Sharpe, where the evaluations did "
                        "not store n_obs")
    p.add_argument("--periods-per-year", type=float, metavar="P",
                   help="return periods per year (default: stored, else 252)")
    add_top(p)


LEDGER_FILTERS = ("era_id", "eval_type", "named_universe", "source", "signal_pool_id",
                  "strategy_pool_id")


@command("ledger", "Every trial ever recorded per scope, even after pruning; the best Sharpe "
         "the trials would reach by luck alone, and the top candidates' p-values corrected "
         "for them.", arguments=ledger_arguments,
         examples=["ledger ./data", "ledger ./data --era 3 --n-effective graph_jaccard",
                   "ledger ./data --method bhy --observations 1260 -f json"])
def ledger(args, store: Store) -> Output:
    t = store.tracker
    chosen = {k: getattr(args, k) for k in LEDGER_FILTERS if getattr(args, k) is not None}
    entries = t.get_trial_ledger(n_effective=args.n_effective, similarity=args.similarity,
                                 **chosen)
    candidates = t.get_multiple_testing_summary(
        method=args.method, alpha=args.alpha, top=args.top or 20,
        observations=args.observations, periods_per_year=args.periods_per_year, **chosen)
    out = Output()
    out.add(Section("ledger", rows_of(entries), shown=LEDGER_SHOWN, title="trials per scope"))
    out.add(Section("candidates", rows_of(candidates), shown=CANDIDATE_SHOWN,
                    title=f"top candidates, {args.method} correction at {args.alpha:g}"))
    if any(c.status == "missing_observations" for c in candidates):
        out.notes.append("Candidates without stored n_obs have no p-value: give --observations.")
    return out
