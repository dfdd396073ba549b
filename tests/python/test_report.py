"""The HTML report as a person sees it: opened in headless Chromium, it renders every
chart, fetches nothing and logs no error."""

import os
import re
import struct
import zlib

import pytest

import tracked_store
from headless_browser import CHROMIUM, visit
from plintrove import report
from plintrove._store import locate
from plintrove.cli import main
from plintrove.search_tracking import SearchTracker


def distinct_pixel_bytes(png: bytes) -> int:
    """How many different byte values the image data holds (a blank page has two or three)."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    data, pos = b"", 8
    while pos < len(png):
        length, kind = struct.unpack(">I4s", png[pos:pos + 8])
        if kind == b"IDAT":
            data += png[pos + 8:pos + 8 + length]
        pos += 12 + length
    return len(set(zlib.decompress(data)))


def chart_titles(page: str) -> list[str]:
    return re.findall(r"<figcaption>(.*?)</figcaption>", page)


@pytest.mark.skipif(CHROMIUM is None, reason="needs Debian's chromium (make installs it)")
def test_report_renders_every_chart_offline_without_errors(data_dir, tmp_path):
    tracked_store.build(data_dir)
    out = tmp_path / "report.html"
    assert main(["report", data_dir, "--out", str(out)]) == 0
    page = out.read_text()
    titles = chart_titles(page)
    assert len(titles) == 9 and len(set(titles)) == 9

    seen = visit(str(out))
    for title in titles:
        assert title in seen.text
    assert seen.requests == ["file://" + str(out)]
    assert seen.errors == []
    assert distinct_pixel_bytes(seen.screenshot) > 50
    artifacts = os.environ.get("PLINTROVE_ARTIFACTS")
    if artifacts:
        with open(os.path.join(artifacts, "report-screenshot.png"), "wb") as f:
            f.write(seen.screenshot)


def test_every_section_of_an_empty_store_says_so(data_dir, tmp_path):
    SearchTracker(data_dir).close()
    with SearchTracker(data_dir, read_only=True) as tracker:
        page = report.render_page(report.ReportContext(tracker, locate(data_dir)))
    for s in report.SECTIONS:
        assert f'<section id="{s.key}"><h2>{s.title}</h2>' in page
    # Every chart without data says so instead of drawing empty axes.
    assert page.count("nothing stored yet") == 7
    assert "fewer than two functions used together" in page
    assert "No trials recorded yet." in page
