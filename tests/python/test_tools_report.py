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


def _drawn(log):
    """Every line of the report of `log`: (panel, label, times, values, breaks)."""
    from quillon_tools.report.series import panel_series

    return [(p.panel.key, s.label, s.x, s.y, s.breaks) for view in log.views() for p in panel_series(view)
            for s in p.series]


def _same_lines(ours, theirs):
    return [line[:2] for line in ours] == [line[:2] for line in theirs] and all(
        numpy.array_equal(a[2], b[2]) and numpy.array_equal(a[3], b[3], equal_nan=True) and a[4] == b[4]
        for a, b in zip(ours, theirs))


def test_report_lines_are_the_signals_in_their_panels_unit_however_the_log_was_read(tmp_path):
    from quillon_tools.formats.units import factor
    from quillon_tools.report.catalogue import PANELS
    from quillon_tools.report.page import write_report
    from quillon_tools.signals import VOCABULARY

    # Every quantity a panel draws converts into the panel's unit: one that
    # did not would drop its line from every report.
    for panel in PANELS:
        assert panel.axis and (panel.second[1] or not any(line.second for line in panel.lines))
        for line in panel.lines:
            unit = panel.second[0] if line.second else panel.unit
            assert all(factor(VOCABULARY[q].unit, unit) is not None for q in line.quantities), line

    path = BUNDLED / "sub-4.1.0-dive.bin"
    log = read_log(path)
    drawn = {line[:2]: line[2:4] for line in _drawn(log)}
    for name, panel, label in (("cpu.load", "cpu", "load"), ("battery.consumed", "battery_used", "used"),
                               ("climb_rate", "speed", "climb rate")):
        signal = log.signal(name)
        times, values = drawn[panel, label]
        assert numpy.array_equal(times, signal.column("_time").cast(pyarrow.int64()).to_numpy() / 1000)
        assert numpy.array_equal(values, signal.column("value").to_numpy())
    # The check and the plot read one CPU load, in percent.
    cpu = next(c for c in log.checks().to_pylist() if c["check"] == "cpu_load")
    assert numpy.isclose(drawn["cpu", "load"][1], cpu["value"]).any()

    # Raw, scaled, a selection of no message drawn, and the command's own read.
    written = write_report(str(path), str(tmp_path / "page.html"), "page").log
    for other in (read_log(path, scaled=True), read_log(path, types="GPS"), written):
        assert _same_lines(_drawn(other), _drawn(log))


SECOND = 1_000_000


def _gapped_log():
    """ATT at 10 Hz with nothing at all logged from 10 s to 40 s; POWR once
    a second, and silent from 55 s to 70 s while ATT goes on; one mode from
    1 s to the end."""
    packets = [format_packet(129, "ATT", "Qffffff", "TimeUS,DesRoll,Roll,DesPitch,Pitch,DesYaw,Yaw"),
               format_packet(130, "POWR", "Qf", "TimeUS,Vcc"), format_packet(131, "MODE", "QMB", "TimeUS,Mode,ModeNum"),
               data_packet(131, "QMB", SECOND, 5, 5)]
    for tenth in [*range(0, 100), *range(400, 800)]:
        packets.append(data_packet(129, "Qffffff", tenth * SECOND // 10, 0, 1, 0, 2, 0, 90))
        if tenth % 10 == 0 and not 550 < tenth < 700:
            packets.append(data_packet(130, "Qf", tenth * SECOND // 10, 5.0))
    return read_log(b"".join(packets))


def test_lines_break_at_logging_gaps_and_their_own_silences_and_modes_stop_at_gaps():
    from quillon_tools.report.panels import panel_figure
    from quillon_tools.report.plots import AxisModels
    from quillon_tools.report.series import panel_series
    from quillon_tools.report.timeline import ModeColours, time_range, timeline_figure

    log = _gapped_log()
    view = log.view()
    gaps = [(start / 1000, end / 1000) for start, end in view.gaps()]
    assert gaps == [(9_900, 40_000)]
    x_range, axes = time_range(0, 80_000), AxisModels()

    def lines(key):
        data = next(p for p in panel_series(view) if p.panel.key == key)
        # Few buckets: the lines are reduced before they are broken.
        drawn = panel_figure(data, x_range, 20, key, axes).renderers[0].data_source.data
        return {label: (numpy.asarray(x), numpy.asarray(y, dtype=float))
                for label, x, y in zip(drawn["label"], drawn["xs"], drawn["ys"])}

    def broken_within(x, y, start, end):
        inside = (x > start) & (x < end)
        return bool(numpy.isnan(y[inside]).any()) and not numpy.isfinite(y[inside]).any()

    for x, y in lines("attitude").values():
        assert broken_within(x, y, 9_900, 40_000) and not numpy.isnan(y[x > 40_000]).any()
    (x, y), = lines("board_voltage").values()
    assert broken_within(x, y, 9_900, 40_000) and broken_within(x, y, 55_000, 70_000)

    timeline = timeline_figure(x_range, log.modes, None, None, ModeColours(), "t", axes, gaps)
    modes, holes = (r.data_source.data for r in timeline.renderers)
    assert list(zip(modes["left"], modes["right"])) == [(1_000, 9_900), (40_000, 80_000)]
    assert list(zip(holes["left"], holes["right"])) == gaps and "30 s" in holes["name"][0]


def test_heading_is_drawn_through_north_beside_its_demand_on_a_panel_of_its_own():
    from quillon_tools.report.plots import heading_ticks
    from quillon_tools.report.series import panel_series

    packets = [format_packet(129, "ATT", "QccccCC", "TimeUS,DesRoll,Roll,DesPitch,Pitch,DesYaw,Yaw")]
    for i in range(200):  # the vehicle turns from 300 through north to 60 degrees, its demand 3 ahead
        yaw = (300 + 0.6 * i) % 360
        packets.append(data_packet(129, "QccccCC", i * SECOND // 10, 0, 100, 0, -200,
                                   round((yaw + 3) % 360 * 100), round(yaw * 100)))
    panels = {p.panel.key: p for p in panel_series(read_log(b"".join(packets)).view())}
    assert [s.label for s in panels["attitude"].series] == ["desired roll", "roll", "desired pitch", "pitch"]
    desired, actual = panels["heading"].series
    assert numpy.abs(numpy.diff(actual.y)).max() < 1 and actual.y[0] == pytest.approx(300)
    assert actual.y[-1] == pytest.approx(300 + 0.6 * 199) and desired.y - actual.y == pytest.approx(3, abs=0.02)
    ticks = heading_ticks(300, 420)
    assert 360 in ticks and numpy.diff(ticks).max() <= 90 and len(heading_ticks(0, 3 * 360)) <= 10


def test_legends_name_the_source_where_several_share_a_panel_and_units_convert():
    from quillon_tools.report.series import panel_series

    packets = [format_packet(129, "BAT", "QBff", "TimeUS,Inst,Volt,Curr"),
               format_packet(130, "MAG", "Qhhh", "TimeUS,MagX,MagY,MagZ"),
               format_packet(131, "CTUN", "Qhh", "TimeUS,DCRt,CRt"),
               format_packet(132, "GPS", "QBf", "TimeUS,Status,Spd")]
    for i in range(20):
        t = i * SECOND // 5
        packets += [data_packet(129, "QBff", t, 0, 16.0, 9.0), data_packet(129, "QBff", t, 1, 12.0, 1.0),
                    data_packet(130, "Qhhh", t, 300, -400, 0), data_packet(131, "Qhh", t, 150, -640),
                    data_packet(132, "QBf", t, 3, 2.5)]
    panels = {p.panel.key: p for p in panel_series(read_log(b"".join(packets)).view())}

    def shown(key):
        return {s.label: float(numpy.nanmax(s.y)) for s in panels[key].series}

    assert shown("battery") == {"voltage (BAT[0])": 16.0, "voltage (BAT[1])": 12.0,
                                "current (BAT[0])": 9.0, "current (BAT[1])": 1.0}
    assert [s.second for s in panels["battery"].series] == [False, False, True, True]  # amperes at the right
    assert shown("compass") == {"field strength": 500.0}  # mGauss, the length of the field
    # A 3.x CTUN logs its climb rates in cm/s.
    assert shown("speed") == {"desired climb rate (CTUN)": 1.5, "climb rate (CTUN)": -6.4, "ground speed (GPS)": 2.5}


def test_the_header_says_why_a_fact_is_suspect_beside_it():
    from quillon_tools.report.header import fact_rows

    why = "the current sensor reads negative (median -11.2 A)"
    rows = dict(fact_rows({"battery_used": None, "min_voltage": 14.2, "max_altitude": -0.004,
                           "suspect": {"battery_used": why, "min_voltage": "a stuck sensor", "distance": "no fix"}}))
    assert rows == {"battery used": f"not known: {why}", "lowest voltage": "14.20 V (suspect: a stuck sensor)",
                    "maximum altitude": "0.0 m above home", "distance": "not known: no fix"}


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
    err = capsys.readouterr().err
    assert "pip install '.[report]' in a clone" in err and "pip install 'quillon[report]'" in err


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


def test_what_happened_leads_the_page_and_the_index_gives_verdict_and_first_cause(tmp_path):
    from test_tools_diagnosis import _lost_motor_2
    logs = tmp_path / "logs"
    logs.mkdir()
    (logs / "lost.bin").write_bytes(_lost_motor_2((-40.0, 30.0, -20.0)))
    (logs / "dive.bin").write_bytes((BUNDLED / "sub-4.1.0-dive.bin").read_bytes())
    out = tmp_path / "out"
    assert report_fleet(str(out), [str(logs)], Options(track=False), jobs=1).failed == 0
    page = (out / "lost.bin.html").read_text()
    assert page.index("What happened") < re.search(r"Checks(&lt;|\\u003c|<)/h3", page).start()
    assert "flight 1: cause: motor failure 2" in page
    rows = {re.search(r'href="([^"]+)"', row).group(1): row for row in
            (out / "index.html").read_text().split('<table id="logs">')[1].split("</tbody>")[0].split("<tr>")[2:]}
    assert '<td class="fail" data-sort="3">fail</td><td>motor failure 2</td>' in rows["lost.bin.html"]
    assert "<td>no fault found</td>" in rows["dive.bin.html"]


def test_the_tuning_section_draws_the_spectrum_with_its_notch_or_says_why_not():
    from test_tools_tuning import NOTCH_150, batch_sampler_log
    page = build_report(read_log(batch_sampler_log(NOTCH_150), scaled=True), "notched")
    assert "Gyro spectrum (before and after the filters, up to the Nyquist limit, 500 Hz)" in page
    assert "Peaks: X 150 Hz, X 300 Hz (harmonic of 150 Hz)" in page and "BoxAnnotation" in page
    assert "Gyro spectrogram (all axes, dB)" in page
    plain = build_report(read_log((BUNDLED / "sub-4.1.0-dive.bin").read_bytes(), scaled=True), "dive")
    assert "Gyro spectrum: " in plain and "Step response: " in plain
    # A log that records no defaults cannot say any parameter is at its default.
    assert "defaults unknown: this log records none" in plain and "Every parameter is at" not in plain


def test_the_bokeh_shortcuts_write_the_same_document():
    """The page is made with shortcuts through Bokeh's property lookups; the
    document they write must be Bokeh's own, to the byte."""
    from bokeh.document import Document

    import quillon_tools.report.page as page
    from quillon_tools.report.bokeh_shortcuts import bokeh_shortcuts

    made = []
    real = page.file_html
    try:
        page.file_html = lambda document, *rest, **named: made.append(document) or real(document, *rest, **named)
        build_report(read_log(BUNDLED / "sub-4.1.1-dive.tlog"), "dive")
    finally:
        page.file_html = real

    def written(document: Document) -> str:
        serialized = document.to_json()
        return json.dumps(getattr(serialized, "content", serialized), sort_keys=True,
                          default=lambda buffer: base64.b64encode(bytes(getattr(buffer, "data", buffer))).decode())

    assert made
    for document in made:
        plain = written(document)
        with bokeh_shortcuts():
            assert written(document) == plain


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


def test_the_fleet_index_trends_each_airframe_and_marks_the_flights_that_drifted(tmp_path):
    from test_tools_flight_health import fleet

    (tmp_path / "logs").mkdir()
    fleet(tmp_path / "logs", step_from=4)
    out = tmp_path / "out"
    assert report_fleet(str(out), [str(tmp_path / "logs")], Options(track=False), jobs=2).failed == 0
    index = (out / "index.html").read_text()
    assert index.count('<h3 class="airframe">') == 1 and "(board_uid): 6 flights" in index
    drifted = re.findall(r'<li class="drift">([^<]*)</li>', index)
    assert any(line.startswith("flight04.bin flight 1: motor_relative:") and "motor 1 " in line for line in drifted)
    assert all(line.split()[0] >= "flight04.bin" for line in drifted)
    # The marks are the drifted points' colour, and each point links to its log's page.
    assert "window.open(hrefs[i])" in index and "#d62728" in index
    # The rows kept of each log carry its flights, so an index made from them is the same.
    manifest = json.loads((out / "_logs" / "flight04.bin.json").read_text())
    assert [f["flight"] for f in manifest["row"]["flights"]] == [1]
    assert report_fleet(str(out), [str(tmp_path / "logs")], Options(track=False), jobs=1).up_to_date == 6
    again = (out / "index.html").read_text()
    assert re.findall(r'<li class="drift">([^<]*)</li>', again) == drifted
