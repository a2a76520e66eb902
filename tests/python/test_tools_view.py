"""What `quillon view` serves, without a browser: the field tree and the
lines it draws, checked against the raw data, and the bounded log cache."""
import os
import threading
import time

import numpy
import pytest

from conftest import BUNDLED
from report_logs import markup_tlog

pytest.importorskip("bokeh")

from quillon_tools import read_log  # noqa: E402
from quillon_tools.view.cache import Bounded  # noqa: E402
from quillon_tools.view.fields import field_series, field_tree, node_index  # noqa: E402


def test_the_tree_offers_signals_first_and_parts_instances_and_vehicles(tmp_path):
    nodes = field_tree(read_log(str(BUNDLED / "sub-4.1.0-dive.bin")))
    assert nodes[0].key == "signals" and "attitude.roll" in [f.name for f in nodes[0].fields]
    keys = [node.key for node in nodes]
    assert "BARO[0]" in keys and "BARO[1]" in keys and "BARO" not in keys
    assert ("Roll", "deg") in [(f.name, f.unit) for f in node_index(nodes)["ATT"].fields]

    (tmp_path / "two.tlog").write_bytes(markup_tlog())
    keys = [node.key for node in field_tree(read_log(str(tmp_path / "two.tlog")))]
    assert keys[:2] == ["signals@1", "signals@2"]
    assert "HEARTBEAT@1" in keys and "HEARTBEAT@2" in keys


def test_a_page_draws_its_first_panels_at_once_then_the_others_each_following_the_zoom():
    from bokeh.document import Document
    from bokeh.models import GlyphRenderer, Plot

    from quillon_tools.report.page import FIRST_PANELS
    from quillon_tools.view.log_page import build_log_page

    log = read_log(str(BUNDLED / "sub-4.1.0-dive.bin"))
    document = Document()
    picker = build_log_page(document, log, "dive")
    panels = lambda: [m for m in document.select({"type": Plot}) if (m.name or "").startswith("panel-")]  # noqa: E731
    assert len(panels()) == FIRST_PANELS and picker.nodes[0].key != "signals"
    for callback in list(document.session_callbacks):  # what the server runs once the page is sent
        callback.callback()
    every = panels()
    assert len(every) > FIRST_PANELS and picker.nodes[0].key == "signals"
    assert picker.tree.value == ["signals"]
    start, end = log.time_span()
    window = (start / 1000.0 + 10_000.0, start / 1000.0 + 20_000.0)
    picker.resampler.resample(window)
    for plot in every:  # the panels made later follow the zoom as the first ones do
        for renderer in plot.select({"type": GlyphRenderer}):
            xs = [x for line in renderer.data_source.data.get("xs", []) for x in line if not numpy.isnan(x)]
            assert xs and window[0] - 5_000 < min(xs) and max(xs) < window[1] + 5_000, plot.name


def test_a_field_is_drawn_in_its_unit_or_raw_and_a_signal_as_the_signals_give_it():
    path = str(BUNDLED / "sub-4.1.0-dive.bin")
    log = read_log(path)
    [roll] = field_series(log, "ATT", "Roll")
    scaled = read_log(path, scaled=True)["ATT"]
    assert numpy.array_equal(roll.x, scaled["_time"].cast("int64").to_numpy() / 1000.0)
    assert numpy.allclose(roll.y, scaled["Roll"].to_numpy())
    [raw] = field_series(log, "ATT", "Roll", scaled=False)
    assert numpy.array_equal(raw.y, log["ATT"]["Roll"].to_numpy().astype(float))
    [voltage] = field_series(log, "signals", "battery.voltage")
    signal = log.signal("battery.voltage")
    assert numpy.allclose(voltage.y, signal["value"].to_numpy())

    # A value the definition calls invalid is no value: every SYS_STATUS
    # battery_remaining of the tlog is -1, "unknown".
    tlog = read_log(str(BUNDLED / "sub-4.1.1-dive.tlog"))
    assert field_series(tlog, "SYS_STATUS", "battery_remaining") == []
    [unknown] = field_series(tlog, "SYS_STATUS", "battery_remaining", scaled=False)
    assert set(unknown.y) == {-1.0}
    [element] = field_series(read_log(str(BUNDLED / "px4-appended-multiple.ulg")), "actuator_outputs[0]", "output[2]")
    assert len(element.x) > 10 and not numpy.isnan(element.y).all()


def test_the_cache_keeps_the_newest_logs_reads_a_changed_file_again_and_keeps_failures(tmp_path):
    loads = []

    def load(path):
        loads.append(os.path.basename(path))
        time.sleep(0.05)  # long enough for sessions to ask at once
        text = open(path).read()
        if text == "broken":
            raise ValueError("no log in it")
        return text

    paths = []
    for name in "abc":
        paths.append(str(tmp_path / name))
        open(paths[-1], "w").write(name * 10)
    cache = Bounded(load, count=3, limit=25, size=len)
    threads = [threading.Thread(target=cache.get, args=(paths[0],)) for _ in range(4)]
    [t.start() for t in threads]
    [t.join() for t in threads]
    assert loads == ["a"]  # one decoding for every session that asked at once
    cache.get(paths[1])
    assert len(cache) == 2
    cache.get(paths[2])  # over the bytes allowed: the least recently used goes
    assert len(cache) == 2 and cache.get(paths[2]) == "c" * 10 and loads == ["a", "b", "c"]
    cache.get(paths[0])
    assert loads == ["a", "b", "c", "a"]

    open(paths[2], "w").write("broken")
    os.utime(paths[2], ns=(1, 1))
    for _ in range(2):
        with pytest.raises(ValueError, match="no log in it"):
            cache.get(paths[2])
    assert loads == ["a", "b", "c", "a", "c"] and len(cache) == 2  # the stale one dropped, the failure kept


def test_an_expression_lines_fields_up_as_merge_does():
    from quillon_tools.view.expressions import ExpressionError, evaluate

    path = str(BUNDLED / "sub-4.1.0-dive.bin")
    log = read_log(path)
    nodes = field_tree(log)
    line = evaluate(log, nodes, "sqrt(ATT.Roll**2) + BAT.Volt * 2 - 1")
    merged = read_log(path, scaled=True).merge(["ATT", "BAT"])
    expected = numpy.abs(merged["ATT.Roll"].to_numpy()) + merged["BAT.Volt"].to_numpy(zero_copy_only=False) * 2 - 1
    assert numpy.array_equal(line.x, merged["_time"].cast("int64").to_numpy() / 1000.0)
    assert numpy.allclose(line.y, expected, equal_nan=True)
    for text in ("ATT.Roll.__class__", "open('x')", "[ATT.Roll]", "ATT.Roll; 1", "2 ** 3"):
        with pytest.raises(ExpressionError):
            evaluate(log, nodes, text)


def test_a_window_of_a_line_keeps_each_pixels_extremes_or_every_sample():
    from quillon_tools.report.panels import line_columns
    from quillon_tools.report.series import Series

    x = numpy.arange(100_000, dtype=float)
    y = numpy.sin(x / 300.0)
    y[54_321] = 5.0  # a spike one sample wide
    line = Series("line", x, y, [(70_000.5, 70_001.5)])  # where it must not be drawn across
    whole = line_columns([line], 500)
    assert len(whole["xs"][0]) <= 2 * 500 + 1 and numpy.nanmax(whole["ys"][0]) == 5.0
    assert numpy.isnan(whole["ys"][0]).sum() == 1  # the break survives the reduction
    window = line_columns([line], 500, (54_000.0, 54_400.0))
    assert numpy.array_equal(window["xs"][0], x[53_999:54_402])  # every sample, and one either side
    assert numpy.allclose(window["ys"][0], y[53_999:54_402])


def test_only_the_served_logs_open(tmp_path):
    from quillon_tools.view.paths import Refused, Served

    folder, outside = tmp_path / "logs", tmp_path / "outside"
    (folder / "a").mkdir(parents=True)
    outside.mkdir()
    (folder / "a" / "één.bin").write_bytes(b"x")
    (folder / "notes.txt").write_bytes(b"x")
    (outside / "secret.bin").write_bytes(b"x")
    (folder / "linked").symlink_to(outside, target_is_directory=True)
    served = Served.of(str(folder))
    assert served.resolve("a/één.bin") == str(folder / "a" / "één.bin")
    assert [log.name for log in served.logs()] == ["a/één.bin"]
    for name in ("linked/secret.bin", "../outside/secret.bin", str(outside / "secret.bin"), "a/../a/één.bin",
                 "a\\één.bin", "notes.txt", "a", "a/één.bin\0"):
        with pytest.raises(Refused):
            served.resolve(name)
    one = Served.of(str(folder / "a" / "één.bin"))
    assert one.resolve("één.bin") and [log.name for log in one.logs()] == ["één.bin"]
    (folder / "a" / "other.bin").write_bytes(b"x")
    with pytest.raises(Refused):
        one.resolve("other.bin")
    assert Served.of(str(folder / "notes.txt")).resolve("notes.txt")  # a log given alone, whatever its name


def test_a_folder_lists_the_logs_of_its_datasets_once_read_from_the_dataset(tmp_path, monkeypatch):
    import shutil

    from bokeh.document import Document

    from quillon_tools.fleet.convert import convert_logs
    from quillon_tools.fleet.dataset import Settings
    from quillon_tools.view import folder_page
    from quillon_tools.view.app import Viewer
    from quillon_tools.view.paths import Refused, Served

    folder, elsewhere = tmp_path / "logs", tmp_path / "elsewhere"
    folder.mkdir()
    elsewhere.mkdir()
    for name in ("sub-4.1.0-dive.bin", "sub-4.1.1-dive.tlog"):
        shutil.copy(BUNDLED / name, folder / name)
    shutil.copy(BUNDLED / "px4-appended-multiple.ulg", elsewhere / "px4.ulg")
    fleet = str(folder / "fleet")
    assert convert_logs(fleet, [str(folder), str(elsewhere / "px4.ulg")], Settings(None, True), jobs=1).failed == 0
    # A dataset of some of a log's messages does not stand for its file.
    partial = convert_logs(str(folder / "a-partial"), [str(folder / "sub-4.1.1-dive.tlog")], Settings(["ATTITUDE"], False))
    assert partial.converted == 1
    expected = {name: folder_page.log_row(str(path)) for name, path in
                [("sub-4.1.1-dive.tlog", folder / "sub-4.1.1-dive.tlog"), ("px4.ulg", elsewhere / "px4.ulg")]}
    # The .bin changes after its conversion: its file is listed, not the dataset's old copy.
    stat = os.stat(folder / "sub-4.1.0-dive.bin")
    os.utime(folder / "sub-4.1.0-dive.bin", ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**9))
    # A log being converted has files under temporary names and no manifest yet.
    (folder / "fleet" / "ATT" / ".new.bin.4242.tmp").write_bytes(b"")

    served = Served.of(str(folder))
    assert [(entry.name, entry.dataset) for entry in served.entries()] == [
        ("sub-4.1.0-dive.bin", None), ("px4.ulg", "fleet"), ("sub-4.1.1-dive.tlog", "fleet")]
    rows = folder_page.Rows(served)
    first = rows.rows()
    # A dataset's log is answered from its Parquet files as from the log itself.
    for row in first[1:]:
        name = row["log"].replace(" (dataset fleet)", "")
        assert {**row, "log": "", "href": ""} == {**expected[name], "log": "", "href": ""}
    assert [row["href"] for row in first] == ["log?name=sub-4.1.0-dive.bin", "log?dataset=fleet&name=px4.ulg",
                                              "log?dataset=fleet&name=sub-4.1.1-dive.tlog"]

    # Rows are kept by manifest: nothing is read again until the manifest changes.
    def unreadable(path, *_):
        raise OSError("read again")
    monkeypatch.setattr(folder_page, "summary_row", unreadable)
    assert rows.rows() == first
    manifest = folder / "fleet" / "_logs" / "px4.ulg.json"
    os.utime(manifest, ns=(stat.st_atime_ns, os.stat(manifest).st_mtime_ns + 10**9))
    assert [row.get("error") for row in rows.rows()] == [None, "read again", None]
    monkeypatch.undo()

    # Its link opens the page of the log as the dataset holds it: plots, picker and checks.
    viewer = Viewer(served)
    arguments = {"dataset": [b"fleet"], "name": [b"sub-4.1.1-dive.tlog"]}
    viewer.check(arguments)
    document = Document()
    viewer.log_page(document, arguments)
    assert document.get_model_by_name("error") is None
    file_page = Document()
    viewer.log_page(file_page, {"name": [b"sub-4.1.0-dive.bin"]})
    for page in (document, file_page):
        for callback in list(page.session_callbacks):
            callback.callback()
        assert page.get_model_by_name("cards") is not None and page.get_model_by_name("time") is not None
    assert "ATTITUDE" in [node.key for node in field_tree(viewer.logs.get(served.resolve_dataset(
        "fleet", "sub-4.1.1-dive.tlog")))]
    for dataset, name in (("..", "x"), ("fleet/..", "px4.ulg"), ("fleet", "new.bin"), ("fleet", "../a.bin"),
                          ("/tmp", "px4.ulg"), ("fleet\\x", "px4.ulg")):
        with pytest.raises(Refused):
            served.resolve_dataset(dataset, name)
    with pytest.raises(Refused):
        Served.of(str(folder / "sub-4.1.0-dive.bin")).resolve_dataset("fleet", "px4.ulg")


def old_layout_log():
    """A DataFlash log of an era without FMTU: RCOU once a second and BARO
    ten times a second from 1 s to 20 s, nothing logged from 8 s to 12 s (a dropout)."""
    from dataflash_bytes import data_packet, format_packet

    packets = format_packet(130, "RCOU", "QHH", "TimeUS,C1,C2") + format_packet(131, "BARO", "Qf", "TimeUS,Alt")
    for i in range(191):
        micros = 1_000_000 + i * 100_000
        if 8_000_000 < micros < 12_000_000:
            continue
        if i % 10 == 0:
            packets += data_packet(130, "QHH", micros, 1500, 1600)
        packets += data_packet(131, "Qf", micros, 2.0)
    return b"".join([packets])


def test_every_plot_zooms_with_the_wheel_from_the_start_and_picked_lines_break_at_dropouts():
    from bokeh.document import Document
    from bokeh.models import Plot, WheelZoomTool

    from quillon_tools.view.log_page import build_log_page

    document = Document()
    picker = build_log_page(document, read_log(str(BUNDLED / "sub-4.1.0-dive.bin")), "dive")
    for callback in list(document.session_callbacks):
        callback.callback()
    picker.fields.value = ["ATT\tRoll"]
    picker._add(new_plot=True)
    plots = list(document.select({"type": Plot}))
    assert any(p.name == "picked-0" for p in plots) and len(plots) > 10
    for plot in plots:
        assert isinstance(plot.toolbar.active_scroll, WheelZoomTool), plot.name

    log = read_log(old_layout_log())
    (node,) = [n for n in field_tree(log) if n.key == "RCOU"]
    assert {f.name: f.unit for f in node.fields}["C1"] == "us"  # as the signals read an output channel
    document = Document()
    picker = build_log_page(document, log, "old")
    picker.tree.value = ["RCOU"]
    assert ("RCOU\tC1", "C1 (us)") in picker.fields.options
    # The dropout of 4 s is shorter than ten of RCOU's own spacings: the vehicle's
    # logging gap breaks its line, as the report's lines are broken.
    (line,) = field_series(log, "RCOU", "C1")
    assert [(round(a), round(b)) for a, b in line.breaks] == [(8000, 12000)]
