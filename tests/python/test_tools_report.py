"""The flight report without a browser: the reduction of series, the page's
security policy and escaping, its size bound, the command and the fleet."""
import base64
import datetime
import hashlib
import html
import json
import re
import sys

import numpy
import pyarrow
import pytest

from conftest import BUNDLED
from dataflash_bytes import data_packet, format_packet
from report_logs import SCRIPT_TEXT, TAG_NAME, markup_dataflash, markup_tlog

pytest.importorskip("bokeh")

from quillon_tools import read_log  # noqa: E402
from quillon_tools.checks import CHECKS_SCHEMA  # noqa: E402
from quillon_tools.cli.main import main  # noqa: E402
from quillon_tools.report import csp  # noqa: E402
from quillon_tools.report.cards import verdict_cards  # noqa: E402
from quillon_tools.report.fleet import report_fleet  # noqa: E402
from quillon_tools.report.page import Options, build_report  # noqa: E402
from quillon_tools.report.reduce import min_max  # noqa: E402
from quillon_tools.report.track import tile_origin  # noqa: E402


def test_min_max_keeps_spikes_gaps_and_a_bounded_count():
    x = numpy.arange(100_000, dtype=float)
    y = numpy.sin(x / 1000)
    y[12_345], y[67_890] = 50.0, -50.0
    y[30_000:31_000] = numpy.nan
    rx, ry = min_max(x, y, 500)
    assert len(rx) <= 1000 and numpy.all(numpy.diff(rx) > 0)
    assert (12_345, 50.0) in zip(rx, ry) and (67_890, -50.0) in zip(rx, ry)
    assert numpy.isnan(ry).any()  # the gap stays a gap
    assert numpy.array_equal(min_max(x[:10], y[:10], 500)[1], y[:10])


def test_series_are_drawn_in_their_panels_unit():
    """A DataFlash log states CurrTot in Ah; the battery-used panel is in mAh."""
    from quillon_tools.report.series import TableSource, panel_series

    log = read_log(BUNDLED / "sub-4.1.0-dive.bin", scaled=True)
    used = next(p for p in panel_series(TableSource(log), log.protocol) if p.panel.key == "battery_used")
    assert used.panel.unit == "mAh"
    assert used.series[0].y == pytest.approx(log["BAT"].column("CurrTot").to_numpy() * 1000)


def _model_names(page):
    data = re.search(r'<script type="application/json"[^>]*>(.*?)</script>', page, re.S).group(1)
    names = set()

    def walk(value):
        if isinstance(value, dict):
            if isinstance(value.get("name"), str):
                names.add(value["name"])
            for item in value.values():
                walk(item)
        elif isinstance(value, list):
            for item in value:
                walk(item)

    walk(json.loads(html.unescape(data)))
    return names


def _policy(page):
    return re.search(r'<meta http-equiv="Content-Security-Policy" content="([^"]*)">', page).group(1)


@pytest.mark.parametrize("make", [markup_dataflash, markup_tlog])
def test_log_texts_are_escaped_and_the_policy_allows_only_the_pages_own_scripts(make):
    page = build_report(read_log(make(), scaled=True), "<b>name</b>.bin")
    for raw in (SCRIPT_TEXT[:40].decode(), TAG_NAME.decode(), "<img src=x", "<b>name</b>"):
        assert raw not in page
    policy = _policy(page)
    assert page.index("Content-Security-Policy") < page.index("<script")
    assert "connect-src 'none'" in policy and "default-src 'none'" in policy
    assert "img-src 'self' data:;" in policy
    scripts = list(csp._scripts(page))
    assert len(scripts) >= 2
    for script in scripts:
        digest = base64.b64encode(hashlib.sha256(script.encode()).digest()).decode()
        assert f"'sha256-{digest}'" in policy


def test_cards_carry_their_check_moments_and_escape_their_texts():
    moment = datetime.datetime(2024, 5, 1, 12, 0, 0, 250_000, tzinfo=datetime.timezone.utc)
    checks = pyarrow.Table.from_pylist([
        {"check": "gps_hdop", "verdict": "warn", "value": 3.1, "limit": 1.4, "_time": moment,
         "detail": "<img src=x onerror=pwned=1>"},
        {"check": "motor_balance", "verdict": "skipped", "detail": "not a multicopter"},
    ], CHECKS_SCHEMA)
    text = verdict_cards(checks, "cards").text
    assert "<img" not in text and "&lt;img src=x onerror=pwned=1&gt;" in text
    # The zoom reads the moment of the button clicked: the warned one has
    # its worst moment in milliseconds, the skipped one none.
    buttons = re.findall(r'<button [^>]*>[^<]*</button>', text)
    assert [re.search(r">([^<]*)<", b).group(1) for b in buttons] == ["gps_hdop: warn", "motor_balance: skipped"]
    assert f'data-moment="{moment.timestamp() * 1000!r}"' in buttons[0] and "data-moment" not in buttons[1]
    assert verdict_cards(checks.slice(0, 0), "cards") is None


def test_tiles_allow_their_host_alone_and_no_track_leaves_positions_out():
    log = read_log(BUNDLED / "sub-4.1.1-dive.tlog", scaled=True)
    tiled = build_report(log, "t", Options(tiles="https://{s}.tiles.example.org/{z}/{x}/{y}.png"))
    assert "img-src 'self' data: https://*.tiles.example.org;" in _policy(tiled)
    assert "track" in _model_names(tiled)
    hidden = build_report(log, "t", Options(track=False))
    assert "track" not in _model_names(hidden) and "timeline" in _model_names(hidden)
    for bad in ("file:///tiles/{z}.png", "https://a'b.org/{z}", "tiles/{z}/{x}/{y}.png"):
        with pytest.raises(ValueError):
            tile_origin(bad)


def test_a_long_log_keeps_the_page_within_its_bound():
    rows = 60_000
    fmt = "Q" + "H" * 14
    labels = "TimeUS," + ",".join(f"C{i}" for i in range(1, 15))
    packets = [format_packet(129, "RCIN", fmt, labels), format_packet(130, "RCOU", fmt, labels),
               format_packet(131, "MSG", "QZ", "TimeUS,Message")]
    for i in range(rows):
        channels = [1000 + (i * (c + 1)) % 1000 for c in range(14)]
        packets.append(data_packet(129, fmt, i * 10_000, *channels))
        packets.append(data_packet(130, fmt, i * 10_000, *channels))
        if i % 10 == 0:
            packets.append(data_packet(131, "QZ", i * 10_000, b"message %d" % i))
    page = build_report(read_log(b"".join(packets), scaled=True), "long")
    assert len(page) < 8_000_000  # 28 lines of 60 000 rows in full would take 27 MB
    assert "The first 5000 of 6000 text messages are shown; 1000 were left out." in page


def test_report_command(tmp_path, monkeypatch, capsys):
    out = tmp_path / "page.html"
    assert main(["report", str(BUNDLED / "sub-4.1.0-dive.bin"), "-o", str(out)]) == 0
    assert out.read_text().startswith("<!DOCTYPE html>")
    junk = tmp_path / "junk.bin"
    junk.write_bytes(b"\0" * 1000)
    assert main(["report", str(junk), "-o", str(tmp_path / "junk.html")]) == 2
    assert not (tmp_path / "junk.html").exists()
    with pytest.raises(SystemExit) as stop:
        main(["report", str(junk), str(junk)])
    assert stop.value.code == 2
    monkeypatch.setitem(sys.modules, "bokeh", None)
    assert main(["report", str(junk)]) == 2
    assert "pip install 'quillon[report]'" in capsys.readouterr().err


def test_fleet_is_incremental_and_reports_failures(tmp_path):
    logs = tmp_path / "logs"
    logs.mkdir()
    (logs / "a.bin").write_bytes((BUNDLED / "sub-4.1.0-dive.bin").read_bytes())
    (logs / "broken.tlog").write_bytes(b"nothing here")
    out = tmp_path / "out"
    first = report_fleet(str(out), [str(logs)], Options(), jobs=1)
    assert (first.written, first.failed, first.status) == (1, 1, 1)
    index = (out / "index.html").read_text()
    assert 'href="a.bin.html"' in index and "no DataFlash, MAVLink or ULog data" in index
    assert "<td class=\"pass\"" in index or "<td class=\"warn\"" in index
    again = report_fleet(str(out), [str(logs)], Options(), jobs=1)
    assert (again.written, again.up_to_date, again.failed) == (0, 1, 1)
    other = report_fleet(str(out), [str(logs)], Options(track=False), jobs=1)
    assert other.written == 1


def test_dense_markers_are_merged_per_time_bucket_with_their_counts():
    texts = 20_000
    packets = [format_packet(131, "MSG", "QZ", "TimeUS,Message")]
    packets += [data_packet(131, "QZ", i * 1000, b"PreArm: warning number %d, and a few words more" % i)
                for i in range(texts)]
    page = build_report(read_log(b"".join(packets), scaled=True), "warnings")
    assert f"The timeline has {texts} events: those of one kind within the same 0.02 s" in page
    assert "more here)" in page and 1000 <= int(re.search(r"\((\d+) markers\)", page).group(1)) <= 1001
    assert len(page) < 3_000_000  # a marker per text would take 2 MB more


TEX = b"ArduCopter V4.5.0 $$\\href{https://e.vil}{x}$$"


def test_log_text_is_never_typeset_as_math():
    def page_of(text):
        return build_report(read_log(b"".join([format_packet(130, "MSG", "QZ", "TimeUS,Message"),
                                               data_packet(130, "QZ", 1000, text)]), scaled=True), "t")

    plain, tex = page_of(b"ArduCopter V4.5.0"), page_of(TEX)
    assert '"disable_math":false' not in tex and TEX.decode().replace("\\", "\\\\") in tex
    assert abs(len(tex) - len(plain)) < 10_000  # no MathJax bundle: it takes 1.8 MB
