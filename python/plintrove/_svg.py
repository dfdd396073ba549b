"""Small static SVG charts for the HTML report: horizontal bars, grouped bars, lines over
time and a heatmap. Each returns one ``<figure>`` with its title as the caption; hovering
a mark shows its exact numbers (SVG ``<title>``), so the page needs no script at all."""

import datetime
import html
import math

PALETTE = ["#3b6fb6", "#e08a2c", "#4a9c5d", "#c0443f", "#7d5ba6", "#8c6d46"]
FONT = 'font-family="system-ui, sans-serif" font-size="12"'


def esc(text) -> str:
    return html.escape(str(text), quote=True)


def figure(title: str, svg_body: str, width: float, height: float, legend: str = "") -> str:
    return (f'<figure class="chart"><figcaption>{esc(title)}</figcaption>{legend}'
            f'<svg xmlns="http://www.w3.org/2000/svg" role="img" aria-label="{esc(title)}" '
            f'viewBox="0 0 {width:.0f} {height:.0f}" width="{width:.0f}" height="{height:.0f}" '
            f'{FONT}>{svg_body}</svg></figure>')


def empty(title: str, why: str = "nothing stored yet") -> str:
    return f'<figure class="chart"><figcaption>{esc(title)}</figcaption><p class="empty">{esc(why)}</p></figure>'


def legend(names: list[str]) -> str:
    items = "".join(f'<span><i style="background:{PALETTE[i % len(PALETTE)]}"></i>{esc(n)}</span>'
                    for i, n in enumerate(names))
    return f'<div class="legend">{items}</div>'


def nice_max(value: float) -> float:
    """The smallest 1, 2 or 5 times a power of ten at or above `value`."""
    if value <= 0:
        return 1.0
    power = 10 ** math.floor(math.log10(value))
    return next(m * power for m in (1, 2, 5, 10) if m * power >= value)


def number(value: float) -> str:
    if isinstance(value, int) or float(value).is_integer():
        return f"{int(value):,}"
    return f"{value:,.3g}"


def hbar(title: str, labels: list[str], values: list[float], notes: list[str] | None = None,
         tooltips: list[str] | None = None, value_format=number, max_value: float | None = None,
         color: str = PALETTE[0]) -> str:
    """Horizontal bars, one per label, with the value (and an optional note) at the end."""
    if not labels:
        return empty(title)
    label_w, bar_w, note_w, row_h = 170, 360, 190, 22
    top = max_value or nice_max(max(values))
    width, height = label_w + bar_w + note_w, row_h * len(labels) + 10
    parts = []
    for i, (label, value) in enumerate(zip(labels, values)):
        y = 5 + i * row_h
        w = bar_w * (value / top) if top else 0
        note = f" {notes[i]}" if notes else ""
        tip = tooltips[i] if tooltips else f"{label}: {value_format(value)}{note}"
        parts.append(
            f'<g><title>{esc(tip)}</title>'
            f'<text x="{label_w - 6}" y="{y + 15}" text-anchor="end">{esc(label)}</text>'
            f'<rect x="{label_w}" y="{y + 3}" width="{max(w, 1):.1f}" height="{row_h - 6}" '
            f'fill="{color}"/>'
            f'<text x="{label_w + w + 5:.1f}" y="{y + 15}" fill="#333">'
            f'{esc(value_format(value))}{esc(note)}</text></g>')
    return figure(title, "".join(parts), width, height)


def grouped_bars(title: str, categories: list[str], series: dict[str, list[float]],
                 value_format=number) -> str:
    """Vertical bars per category, one bar per series, with a legend."""
    if not categories:
        return empty(title)
    names = list(series)
    plot_h, left, bottom = 220, 60, 70
    group_w = max(30, 18 * len(names) + 14)
    width = left + group_w * len(categories) + 20
    height = plot_h + bottom + 10
    top = nice_max(max(max(v) for v in series.values()))
    parts = [axis_y(left, 10, plot_h, top, value_format, width - 10)]
    for c, category in enumerate(categories):
        x0 = left + c * group_w + 7
        for s, name in enumerate(names):
            value = series[name][c]
            h = plot_h * value / top
            parts.append(
                f'<rect x="{x0 + s * 18}" y="{10 + plot_h - h:.1f}" width="16" height="{h:.1f}" '
                f'fill="{PALETTE[s % len(PALETTE)]}"><title>{esc(category)}, {esc(name)}: '
                f'{esc(value_format(value))}</title></rect>')
        cx = x0 + 9 * len(names)
        parts.append(f'<text transform="translate({cx},{plot_h + 18}) rotate(30)" '
                     f'text-anchor="start">{esc(category)}</text>')
    return figure(title, "".join(parts), width, height, legend(names))


def axis_y(left: float, top_y: float, plot_h: float, top: float, value_format,
           right: float) -> str:
    parts = []
    for k in range(5):
        value = top * k / 4
        y = top_y + plot_h - plot_h * k / 4
        parts.append(f'<line x1="{left}" x2="{right}" y1="{y:.1f}" y2="{y:.1f}" stroke="#ddd"/>'
                     f'<text x="{left - 5}" y="{y + 4:.1f}" text-anchor="end" fill="#555">'
                     f'{esc(value_format(value))}</text>')
    return "".join(parts)


def lines_over_time(title: str, times: list[float], series: dict[str, list[float]]) -> str:
    """Lines over wall-clock time (seconds since the epoch), one per series."""
    if not times:
        return empty(title)
    left, plot_w, plot_h, top_y = 60, 620, 220, 10
    width, height = left + plot_w + 50, top_y + plot_h + 40
    t0, t1 = min(times), max(times)
    span = (t1 - t0) or 1.0
    top = nice_max(max(max(v) for v in series.values()))
    parts = [axis_y(left, top_y, plot_h, top, number, left + plot_w)]
    # A single moment sits in the middle, under one time label.
    x = [left + plot_w * ((t - t0) / span if t1 > t0 else 0.5) for t in times]
    for s, (name, values) in enumerate(series.items()):
        color = PALETTE[s % len(PALETTE)]
        points = " ".join(f"{xi:.1f},{top_y + plot_h - plot_h * v / top:.1f}"
                          for xi, v in zip(x, values))
        parts.append(f'<polyline points="{points}" fill="none" stroke="{color}" '
                     f'stroke-width="2"/>')
        for xi, t, v in zip(x, times, values):
            parts.append(f'<circle cx="{xi:.1f}" cy="{top_y + plot_h - plot_h * v / top:.1f}" '
                         f'r="3" fill="{color}"><title>{esc(name)} at {esc(clock(t))}: '
                         f'{esc(number(v))}</title></circle>')
    for k in range(5) if t1 > t0 else [2]:
        t = t0 + span * k / 4 if t1 > t0 else t0
        parts.append(f'<text x="{left + plot_w * k / 4:.1f}" y="{top_y + plot_h + 18}" '
                     f'text-anchor="middle" fill="#555">{esc(clock(t))}</text>')
    return figure(title, "".join(parts), width, height, legend(list(series)))


def clock(t: float) -> str:
    return datetime.datetime.fromtimestamp(t).strftime("%m-%d %H:%M")


def heatmap(title: str, names: list[str], cells: dict[tuple[str, str], tuple[int, int]]) -> str:
    """A symmetric matrix of names; each cell (total, passed) shaded by its total."""
    if len(names) < 2 or not cells:
        return empty(title, "fewer than two functions used together")
    label_w, cell = 110, 26
    size = label_w + cell * len(names) + 10
    top = max(total for total, _ in cells.values()) or 1
    parts = []
    for i, name in enumerate(names):
        parts.append(f'<text x="{label_w - 6}" y="{label_w + i * cell + 17}" '
                     f'text-anchor="end">{esc(name)}</text>')
        parts.append(f'<text transform="translate({label_w + i * cell + 17},{label_w - 6}) '
                     f'rotate(-60)">{esc(name)}</text>')
    for i, a in enumerate(names):
        for j, b in enumerate(names):
            total, passed = cells.get((a, b)) or cells.get((b, a)) or (0, 0)
            shade = 0.08 + 0.92 * total / top if total else 0.0
            tip = (f"{a} with {b}: {total:,} together, {passed:,} passed"
                   + (f" ({passed / total:.0%})" if total else ""))
            parts.append(f'<rect x="{label_w + j * cell}" y="{label_w + i * cell}" '
                         f'width="{cell - 2}" height="{cell - 2}" fill="{PALETTE[0]}" '
                         f'fill-opacity="{shade:.2f}" stroke="#eee"><title>{esc(tip)}</title>'
                         f'</rect>')
    return figure(title, "".join(parts), size, size)
