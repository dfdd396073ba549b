"""The HTML report of a tracking store: one self-contained page (inline CSS and SVG, no
script, nothing fetched) that opens anywhere, also offline or as an e-mail attachment.

The page is a list of sections; each is one function registered with ``@section`` that
returns its HTML from a ``ReportContext``. Adding a section is adding one such function.
"""

import datetime
import html
from collections.abc import Callable
from dataclasses import dataclass, field

from plintrove import __version__, _svg, doctor, reason_descriptions
from plintrove import search_tracking as st
from plintrove._store import StoreLocation, display_location
from plintrove.submission_funnel import submission_funnel

EVAL_TYPES = ("signal", "strategy")
# Bucket widths for activity over time, in seconds; the first giving at most MAX_BUCKETS.
BUCKET_WIDTHS = (60, 300, 900, 3600, 6 * 3600, 86400, 7 * 86400, 30 * 86400)
MAX_BUCKETS = 60
HEATMAP_FUNCTIONS = 12


@dataclass
class ReportContext:
    tracker: st.SearchTracker
    location: StoreLocation
    top: int = 20
    _cache: dict = field(default_factory=dict)

    def cached(self, key: str, compute: Callable):
        if key not in self._cache:
            self._cache[key] = compute()
        return self._cache[key]

    def function_stats(self):
        return self.cached("functions", self.tracker.get_function_stats)


@dataclass
class ReportSection:
    key: str
    title: str
    render: Callable[[ReportContext], str]


SECTIONS: list[ReportSection] = []


def section(key: str, title: str):
    def register(render):
        SECTIONS.append(ReportSection(key, title, render))
        return render
    return register


def percent(value: float) -> str:
    return f"{value:.1%}"


def eval_table(kind: str) -> str:
    return st._SUBMISSION_TABLES[kind]["eval_table"]


def table_html(columns: list[str], rows: list[list]) -> str:
    head = "".join(f"<th>{html.escape(c)}</th>" for c in columns)
    body = "".join("<tr>" + "".join(f"<td>{html.escape(str(v))}</td>" for v in row) + "</tr>"
                   for row in rows)
    return f'<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>'


# ---- the aggregates no tracker query gives directly -------------------------------------

def activity_over_time(tracker) -> tuple[list[float], list[int], list[int]]:
    """Evaluations and passes per time bucket across both types: (bucket starts, counts,
    passes)."""
    spans = [tracker._conn.execute(f"SELECT MIN(timestamp), MAX(timestamp) FROM {eval_table(k)}")
             .fetchone() for k in EVAL_TYPES]
    spans = [s for s in spans if s[0] is not None]
    if not spans:
        return [], [], []
    first, last = min(s[0] for s in spans), max(s[1] for s in spans)
    width = next((w for w in BUCKET_WIDTHS if (last - first) / w <= MAX_BUCKETS),
                 BUCKET_WIDTHS[-1])
    buckets: dict[int, list[int]] = {}
    for kind in EVAL_TYPES:
        for bucket, count, passed in tracker._conn.execute(
                f"SELECT CAST(timestamp / ? AS INTEGER), COUNT(*), SUM(passed_thresholds) "
                f"FROM {eval_table(kind)} GROUP BY 1", (width,)):
            entry = buckets.setdefault(int(bucket), [0, 0])
            entry[0] += int(count)
            entry[1] += int(passed or 0)
    # Empty buckets in between are zeros, so the lines show pauses in the search.
    keys = range(min(buckets), max(buckets) + 1)
    return ([float(k * width) for k in keys], [buckets.get(k, [0, 0])[0] for k in keys],
            [buckets.get(k, [0, 0])[1] for k in keys])


def grouped_counts(tracker, column: str) -> dict:
    """{value of `column`: [evaluations, passed]} over both evaluation tables."""
    out: dict = {}
    for kind in EVAL_TYPES:
        for value, count, passed in tracker._conn.execute(
                f"SELECT {column}, COUNT(*), SUM(passed_thresholds) FROM {eval_table(kind)} "
                f"GROUP BY {column}"):
            entry = out.setdefault(value, [0, 0])
            entry[0] += int(count)
            entry[1] += int(passed or 0)
    return out


def failure_counts(tracker) -> dict[str, int]:
    out: dict[str, int] = {}
    for kind in EVAL_TYPES:
        for reason, count in tracker._conn.execute(
                f"SELECT failure_reason, COUNT(*) FROM {eval_table(kind)} "
                "WHERE failure_reason IS NOT NULL GROUP BY failure_reason"):
            out[reason] = out.get(reason, 0) + int(count)
    return dict(sorted(out.items(), key=lambda kv: -kv[1]))


# ---- sections -----------------------------------------------------------------------------

@section("activity", "Activity")
def activity(ctx: ReportContext) -> str:
    times, counts, passes = ctx.cached("activity", lambda: activity_over_time(ctx.tracker))
    velocity = ctx.tracker.get_evaluation_velocity(window_minutes=60)
    note = (f"<p>Last hour: {velocity.total_evaluations:,} evaluations "
            f"({velocity.evaluations_per_hour:,.1f} per hour), "
            f"{velocity.passed_evaluations:,} passed.</p>")
    return note + _svg.lines_over_time("Evaluations and passes over time", times,
                                       {"evaluations": counts, "passed": passes})


@section("yield", "Yield by era and universe")
def yield_by_era_and_universe(ctx: ReportContext) -> str:
    eras = grouped_counts(ctx.tracker, "era_id")
    era_keys = sorted(eras)
    by_era = _svg.grouped_bars(
        "Evaluations and passes by era", [f"era {e}" for e in era_keys],
        {"evaluations": [eras[e][0] for e in era_keys], "passed": [eras[e][1] for e in era_keys]})
    universes = sorted(grouped_counts(ctx.tracker, "named_universe").items(),
                       key=lambda kv: -kv[1][0])
    by_universe = _svg.hbar(
        "Yield by named universe", [u for u, _ in universes],
        [p / n if n else 0.0 for _, (n, p) in universes],
        notes=[f"({p:,} of {n:,})" for _, (n, p) in universes], value_format=percent,
        max_value=1.0)
    return by_era + by_universe


def usage_chart(title: str, stats, name_of, top: int) -> str:
    ranked = sorted(stats, key=lambda s: -s.total_evaluations)[:top]
    return _svg.hbar(
        title, [name_of(s) for s in ranked], [s.yield_rate for s in ranked],
        notes=[f"({s.passed_evaluations:,} of {s.total_evaluations:,})" for s in ranked],
        value_format=percent, max_value=1.0)


@section("usage", "Functions and features")
def usage(ctx: ReportContext) -> str:
    def function_label(s):
        return s.function_name + (f" [{s.rotation_family}]" if s.rotation_family else "")

    return (usage_chart(f"Function yield, {ctx.top} most used", ctx.function_stats(),
                        function_label, ctx.top)
            + usage_chart(f"Feature yield, {ctx.top} most used", ctx.tracker.get_feature_stats(),
                          lambda s: s.feature_name, ctx.top))


@section("rejections", "Rejections and failures")
def rejections(ctx: ReportContext) -> str:
    summary = ctx.tracker.get_rejection_summary()
    describe = reason_descriptions.describe_reason
    rejected = _svg.hbar(
        "Rejection reasons", [r.rejection_reason for r in summary], [r.count for r in summary],
        notes=[f"({r.percentage:.1%})" for r in summary],
        tooltips=[f"{r.rejection_reason}: {r.count:,} ({r.percentage:.1%}). "
                  f"{describe(r.rejection_reason, kind='rejection_reason')['rendered']}"
                  for r in summary])
    failures = failure_counts(ctx.tracker)
    failed = _svg.hbar(
        "Failure reasons", list(failures), list(failures.values()),
        tooltips=[f"{reason}: {n:,}. {describe(reason, kind='failure_reason')['rendered']}"
                  for reason, n in failures.items()],
        color=_svg.PALETTE[3])
    return rejected + failed


@section("cooccurrence", "Co-occurrence")
def cooccurrence(ctx: ReportContext) -> str:
    totals: dict[str, int] = {}
    for s in ctx.function_stats():
        totals[s.function_name] = totals.get(s.function_name, 0) + s.total_evaluations
    names = sorted(totals, key=lambda n: -totals[n])[:HEATMAP_FUNCTIONS]
    chosen = set(names)
    cells = {(p.function_a, p.function_b): (p.total_cooccurrences, p.passed_cooccurrences)
             for p in ctx.tracker.get_function_cooccurrence()
             if p.function_a in chosen and p.function_b in chosen}
    return _svg.heatmap(f"Function co-occurrence, {len(names)} most used functions",
                        names, cells)


@section("submissions", "Submissions")
def submissions(ctx: ReportContext) -> str:
    counts = ctx.tracker.get_submission_counts()
    retries = ctx.tracker.get_retry_counts()
    stages = ["queued", "pending", "accepted", "rejected", "retrying", "discarded"]
    funnel = _svg.hbar("Submission funnel", stages, [getattr(counts, s) for s in stages],
                       color=_svg.PALETTE[2])
    rows = submission_funnel(ctx.tracker)
    paid = sum(r["paid_usdc"] for r in rows)
    statuses = table_html(["type", "status", "submissions", "paid (USDC)"],
                          [[r["eval_type"], r["status"], f"{r['submissions']:,}",
                            f"{r['paid_usdc']:,.2f}"] for r in rows])
    return (funnel + f"<p>Paid in total: <b>{paid:,.2f} USDC</b>. Retry queue: "
                     f"{retries.retrying:,} waiting, {retries.ready:,} ready now.</p>"
            + "<h3>Submissions and payments by status</h3>" + statuses)


@section("multiple_testing", "Multiple testing")
def multiple_testing(ctx: ReportContext) -> str:
    entries = ctx.tracker.get_trial_ledger()
    if not entries:
        return "<p>No trials recorded yet.</p>"
    scopes = table_html(
        ["type", "era", "pool", "universe", "source", "trials", "errored", "no Sharpe",
         "best Sharpe", "best by luck alone", "pruned"],
        [[e.eval_type, e.era_id, e.pool_id, e.named_universe, e.source, f"{e.trials:,}",
          f"{e.errored_trials:,}", f"{e.nonfinite_trials:,}", number(e.sharpe_max),
          number(e.expected_max_sharpe), f"{e.rows_pruned:,}" + (" (rebuilt)" if e.rebuilt else "")]
         for e in entries])
    candidates = ctx.tracker.get_multiple_testing_summary(top=10)
    tops = table_html(
        ["eval", "type", "era", "Sharpe", "p", "Holm-adjusted p", "haircut Sharpe", "status"],
        [[c.eval_id, c.eval_type, c.era_id, number(c.sharpe), number(c.p_value, ".2e"),
          number(c.adjusted_p_value, ".2e"), number(c.haircut_sharpe), c.status]
         for c in candidates])
    return ("<p>Every evaluation is a trial; the best Sharpe of many tries is inflated even "
            "without skill. \u201cBest by luck alone\u201d is the Sharpe the best of that many "
            "skill-less trials would be expected to reach.</p>" + scopes
            + "<h3>Top candidates, corrected for every trial</h3>" + tops)


def number(value, spec: str = ".3f") -> str:
    return "\u2013" if value is None else format(value, spec)


@section("health", "Store health")
def health(ctx: ReportContext) -> str:
    checks = doctor.run_checks(ctx.tracker, ctx.location)
    info = ctx.tracker.get_db_info()
    check_table = table_html(["check", "status", "detail"],
                             [[c.check, c.status, c.detail] for c in checks])
    counts = table_html(["table", "rows"], [[t, f"{n:,}"] for t, n in info.row_counts.items()])
    return f"<h3>Checks</h3>{check_table}<h3>Rows per table</h3>{counts}"


# ---- the page -----------------------------------------------------------------------------

STYLE = """
body { font-family: system-ui, sans-serif; margin: 0; color: #222; background: #f6f7f9; }
header { background: #1f3554; color: #fff; padding: 16px 28px; }
header h1 { margin: 0 0 4px; font-size: 22px; }
header p { margin: 0; opacity: .85; }
nav { padding: 8px 28px; background: #e9edf3; }
nav a { margin-right: 14px; color: #1f3554; }
main { padding: 8px 28px 40px; }
section { background: #fff; border-radius: 6px; padding: 4px 20px 16px; margin: 16px 0;
          box-shadow: 0 1px 2px rgba(0,0,0,.08); }
figure.chart { display: inline-block; vertical-align: top; margin: 10px 24px 10px 0; }
figcaption { font-weight: 600; margin-bottom: 6px; }
.legend span { margin-right: 12px; font-size: 12px; }
.legend i { display: inline-block; width: 10px; height: 10px; margin-right: 4px; }
table { border-collapse: collapse; font-size: 13px; }
th, td { text-align: left; padding: 3px 10px; border-bottom: 1px solid #eee; }
.empty { color: #888; font-style: italic; }
"""


def render_page(ctx: ReportContext) -> str:
    info = ctx.tracker.get_db_info()
    generated = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    body = "".join(f'<section id="{s.key}"><h2>{html.escape(s.title)}</h2>{s.render(ctx)}'
                   f'</section>' for s in SECTIONS)
    nav = "".join(f'<a href="#{s.key}">{html.escape(s.title)}</a>' for s in SECTIONS)
    where = html.escape(display_location(ctx.location))
    return (
        f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
        f'<meta name="viewport" content="width=device-width, initial-scale=1">'
        f'<title>plintrove tracking report</title><style>{STYLE}</style></head><body>'
        f'<header><h1>plintrove tracking report</h1>'
        f'<p>{where} &middot; {info.signal_evaluation_count:,} signal and '
        f'{info.strategy_evaluation_count:,} strategy evaluations &middot; generated '
        f'{generated} by plintrove {__version__}</p></header>'
        f'<nav>{nav}</nav><main>{body}</main></body></html>')


def write_report(tracker: st.SearchTracker, location: StoreLocation, path: str,
                 top: int = 20) -> None:
    page = render_page(ReportContext(tracker, location, top))
    with open(path, "w", encoding="utf-8") as f:
        f.write(page)
