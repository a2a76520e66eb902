"""The reports in a real browser: Debian's headless Chromium driven by
Playwright, every request other than the page's own file blocked. Kept out
of the sanitized run, whose preloaded runtime Chromium would inherit."""
import io
import math
import os

import numpy
import pytest

from conftest import BUNDLED, sample_path
from dataflash_bytes import data_packet, format_packet
from report_logs import markup_dataflash, markup_tlog
from view_serving import CHROMIUM, chromium  # noqa: F401 (the tuning views' test asks this module for it)

pytest.importorskip("bokeh")
sync_api = pytest.importorskip("playwright.sync_api")
PIL = pytest.importorskip("PIL.Image")

from quillon_tools import read_log  # noqa: E402
from quillon_tools.report.fleet import report_fleet  # noqa: E402
from quillon_tools.report.page import Options, write_report  # noqa: E402

COMMON = ["timeline", "panel-attitude", "panel-heading", "panel-altitude", "panel-speed", "panel-battery",
          "panel-vibration", "panel-ekf", "panel-compass", "panel-rc_in", "panel-outputs"]
EXPECTED = {
    "sub-4.1.0-dive.bin": COMMON + ["panel-cpu"],
    "sub-4.1.1-dive.tlog": COMMON + ["track", "panel-altitude_amsl", "panel-gps",
                                     "panel-board_voltage", "panel-cpu"],
    "px4-appended-multiple.ulg": ["timeline", "panel-attitude", "panel-heading", "panel-speed", "panel-ekf",
                                  "panel-outputs", "panel-cpu"],
}
# A parameter each sample's page lists, and the panel dragged then the one watched move with it.
PARAMETER = {"px4-appended-multiple.ulg": "BAT_CAPACITY"}
DRAGGED = {"px4-appended-multiple.ulg": ("panel-attitude", "panel-cpu")}
# Where each model named `name` is drawn, in page coordinates.
BOX_OF = """(name) => {
  const model = Bokeh.documents[0].get_model_by_name(name);
  for (const view of Bokeh.index.all_views()) {
    if (view.model === model) {
      const r = view.el.getBoundingClientRect();
      return {x: r.x + window.scrollX, y: r.y + window.scrollY, width: r.width, height: r.height};
    }
  }
  return null;
}"""
TIME_RANGE = "() => { const r = Bokeh.documents[0].get_model_by_name('time'); return [r.start, r.end]; }"
# What the browser holds of each plot: its value axis' label and each
# renderer's columns (typed arrays as plain ones, NaN kept).
PLOTTED = """() => {
  const plain = (value) => ArrayBuffer.isView(value) ? Array.from(value)
    : Array.isArray(value) ? value.map(plain) : value;
  const found = {};
  for (const model of Bokeh.documents[0].all_models) {
    if (model.name === null || !(model.name === "timeline" || model.name.startsWith("panel-"))) continue;
    const axis = model.left.length ? model.left[0].axis_label : null;
    found[model.name] = {axis, renderers: model.renderers.map((r) => {
      const columns = {};
      const data = r.data_source.data;
      for (const [key, value] of data instanceof Map ? data : Object.entries(data)) columns[key] = plain(value);
      return columns;
    })};
  }
  return found;
}"""


@pytest.fixture(scope="module")
def browser():
    with chromium() as launched:
        yield launched


class Loaded:
    """A page opened offline, with what went wrong in it."""

    def __init__(self, browser, path, bokeh=True):
        self.page = browser.new_page(viewport={"width": 1300, "height": 900})
        self.problems = []
        self.page.on("console", lambda m: self.problems.append(m.text) if m.type == "error" else None)
        self.page.on("pageerror", lambda e: self.problems.append(str(e)))
        self.page.on("dialog", lambda d: (self.problems.append("dialog: " + d.message), d.dismiss()))
        self.page.route("**/*", self._route)
        self.page.goto(path.as_uri())
        if bokeh:
            self.page.wait_for_function("() => window.Bokeh && Bokeh.documents.length > 0 "
                                        "&& Bokeh.documents[0].is_idle", timeout=60_000)

    def _route(self, route):
        if route.request.url.startswith("file:"):
            route.continue_()
        else:
            self.problems.append("network request: " + route.request.url)
            route.abort()

    def picture(self):
        return numpy.asarray(PIL.open(io.BytesIO(self.page.screenshot(full_page=True))).convert("RGB"))

    def box(self, name):
        return self.page.evaluate(BOX_OF, name)

    def crop(self, picture, name):
        b = self.box(name)
        return picture[int(b["y"]):int(b["y"] + b["height"]), int(b["x"]):int(b["x"] + b["width"])]


def colours(picture):
    """How many distinct colours a picture has, counted over every fourth
    pixel of every fourth row (a tall page holds millions)."""
    pixels = picture[::4, ::4].reshape(-1, 3).astype(numpy.uint32)
    return len(numpy.unique((pixels[:, 0] << 16) | (pixels[:, 1] << 8) | pixels[:, 2]))


def coloured_pixels(picture):
    """Pixels of a saturated colour: lines, bands and markers, not axes or text."""
    spread = picture.max(axis=2).astype(int) - picture.min(axis=2)
    return int((spread > 80).sum())


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_report_of_a_sample_draws_every_panel_offline_and_links_their_time(browser, tmp_path, name):
    out = tmp_path / (name + ".html")
    write_report(str(BUNDLED / name), str(out), name)
    loaded = Loaded(browser, out)
    page = loaded.page
    picture = loaded.picture()
    assert colours(picture) > 50  # not blank
    for panel in EXPECTED[name]:
        assert loaded.box(panel) is not None, panel
        assert coloured_pixels(loaded.crop(picture, panel)) > 40, f"{panel} is not drawn"
    assert page.get_by_text("Parameters (").count() and page.get_by_text(PARAMETER.get(name, "ACRO_RP_P")).count()
    dragged, watched = DRAGGED.get(name, ("panel-altitude", "panel-vibration"))

    # Dragging one plot moves the time of every other.
    before_range = page.evaluate(TIME_RANGE)
    box = loaded.box(dragged)
    page.evaluate("(y) => window.scrollTo(0, y)", box["y"] - 100)
    box = page.evaluate(BOX_OF.replace("window.scrollX", "0").replace("window.scrollY", "0"), dragged)
    y = box["y"] + box["height"] / 2
    page.mouse.move(box["x"] + box["width"] / 2, y)
    page.mouse.down()
    page.mouse.move(box["x"] + box["width"] / 2 + 250, y, steps=8)
    page.mouse.up()
    page.wait_for_function("() => Bokeh.documents[0].is_idle")
    after_range = page.evaluate(TIME_RANGE)
    assert after_range[0] < before_range[0]
    after = loaded.picture()
    assert not numpy.array_equal(loaded.crop(picture, watched), loaded.crop(after, watched))

    # A card zooms every plot to 30 s either side of its check's worst moment.
    checks = read_log(str(BUNDLED / name), scaled=True).checks().to_pylist()
    check = next((c for c in checks if c["_time"] is not None), None)
    if check is None:  # nothing to zoom to: a vehicle that never armed has no worst moments
        assert loaded.problems == []
        return
    page.get_by_role("button", name=f"{check['check']}: {check['verdict']}").click()
    moment = check["_time"].timestamp() * 1000
    page.wait_for_function(f"() => Math.abs(({TIME_RANGE})()[0] - {moment - 30_000}) < 1")
    assert page.evaluate(TIME_RANGE)[1] == pytest.approx(moment + 30_000)
    assert loaded.problems == []


@pytest.mark.parametrize("make", [markup_dataflash, markup_tlog])
def test_markup_in_a_log_runs_no_script_and_shows_as_text(browser, tmp_path, make):
    log = tmp_path / "crafted.bin"
    log.write_bytes(make())
    out = tmp_path / "crafted.html"
    write_report(str(log), str(out), "<img src=x onerror=pwned=4>.bin", Options())
    loaded = Loaded(browser, out)
    page = loaded.page
    assert page.evaluate("() => window.pwned") is None
    assert loaded.problems == []
    assert page.get_by_text("<svg onload=f()>").count() >= 1
    if make is markup_tlog:  # one section per vehicle
        assert loaded.box("v1-timeline") and loaded.box("v2-timeline")
        assert page.get_by_text("<img src=x onerror=pwned=3>").count() == 1


def test_fleet_index_links_to_every_page_sorts_and_filters(browser, tmp_path):
    logs = sorted(p.name for p in BUNDLED.iterdir() if p.suffix in (".bin", ".tlog", ".ulg"))
    report_fleet(str(tmp_path), [str(BUNDLED)], Options(), jobs=2)
    loaded = Loaded(browser, tmp_path / "index.html", bokeh=False)
    page = loaded.page
    links = page.locator("#logs a")
    assert sorted(links.all_inner_texts()) == logs
    for href in links.evaluate_all("(links) => links.map((a) => a.href)"):
        assert os.path.isfile(href[len("file://"):])
    page.fill("#filter", "tlog")
    assert page.locator("#logs tbody tr:visible").count() == 1
    page.fill("#filter", "")
    page.click("#logs th:has-text('duration')")
    page.click("#logs th:has-text('duration')")  # longest first
    assert page.locator("#logs tbody tr").first.inner_text().startswith("sub-4.1.1-dive.tlog")
    assert loaded.problems == []


def test_tex_in_a_log_text_shows_as_plain_text(browser, tmp_path):
    text = "ArduCopter V4.5.0 $$\\href{https://e.vil}{x}$$"
    log = tmp_path / "tex.bin"
    log.write_bytes(format_packet(130, "MSG", "QZ", "TimeUS,Message") + data_packet(130, "QZ", 1000, text.encode()))
    out = tmp_path / "tex.html"
    write_report(str(log), str(out), "tex.bin", Options())
    loaded = Loaded(browser, out)
    page = loaded.page
    assert page.get_by_text(text).count() >= 1  # in the header's firmware and the messages table
    # Links anywhere, shadow roots included.
    links = page.evaluate("""() => {
      const found = [];
      const walk = (root) => root.querySelectorAll("*").forEach((el) => {
        if (el.tagName === "A") found.push(el.href);
        if (el.shadowRoot) walk(el.shadowRoot);
      });
      walk(document);
      return found;
    }""")
    assert not [link for link in links if "e.vil" in link]
    assert page.locator("mjx-container").count() == 0 and loaded.problems == []


def _gapped_dataflash():
    """ATT and POWR logged 0-10 s and 40-50 s, nothing between."""
    packets = [format_packet(129, "ATT", "Qffffff", "TimeUS,DesRoll,Roll,DesPitch,Pitch,DesYaw,Yaw"),
               format_packet(130, "POWR", "Qf", "TimeUS,Vcc")]
    for tenth in [*range(0, 100), *range(400, 500)]:
        packets += [data_packet(129, "Qffffff", tenth * 100_000, 0, 1, 0, 2, 0, 90),
                    data_packet(130, "Qf", tenth * 100_000, 5.0)]
    return b"".join(packets)


def _crossing(x, y, start, end):
    """Whether a line joins two known points on either side of (start, end)
    with no break between."""
    x, y = numpy.asarray(x, dtype=float), numpy.asarray(y, dtype=float)
    before, after = numpy.flatnonzero(x <= start), numpy.flatnonzero(x >= end)
    if not len(before) or not len(after):
        return False
    between = y[before[-1]:after[0] + 1]
    return not numpy.isnan(between).any()


@pytest.mark.parametrize("name", ["copter-3.1.3-oldformat.bin", "sub-4.1.0-dive.bin", "gapped.bin"])
def test_the_browser_plots_signals_in_their_units_broken_at_logging_gaps(browser, tmp_path, name):
    if name == "gapped.bin":
        path = tmp_path / name
        path.write_bytes(_gapped_dataflash())
    else:
        path = sample_path(name)
    out = tmp_path / (name + ".html")
    write_report(str(path), str(out), name)
    loaded = Loaded(browser, out)
    plotted = loaded.page.evaluate(PLOTTED)
    assert loaded.problems == []
    panels = {key: value for key, value in plotted.items() if key.startswith("panel-")}
    assert panels and all(panel["axis"] for panel in panels.values())  # every axis states its unit
    lines = [(key, label, x, y) for key, panel in panels.items() for columns in panel["renderers"]
             for label, x, y in zip(columns["label"], columns["xs"], columns["ys"])]
    if name == "copter-3.1.3-oldformat.bin":  # CURR logs centivolts
        volts = numpy.asarray(next(y for key, label, _, y in lines if label == "voltage"), dtype=float)
        assert 10 < numpy.nanmin(volts) and numpy.nanmax(volts) < 17
        return
    (start, end), = [(a / 1000, b / 1000) for a, b in read_log(path).view().gaps()]
    if name == "gapped.bin":
        assert (start, end) == pytest.approx((9_900, 40_000))
    else:  # the dive's log stops about 24 s in and logs again 36 s later
        assert 30_000 < end - start < 40_000
    bands = [columns for columns in plotted["timeline"]["renderers"] if "left" in columns]
    holes = [(left, right) for columns in bands for left, right, label in
             zip(columns["left"], columns["right"], columns["name"]) if label.startswith("logging gap")]
    assert holes == [pytest.approx((start, end))]
    assert not [(left, right) for columns in bands for left, right, label in
                zip(columns["left"], columns["right"], columns["name"])
                if not label.startswith("logging gap") and left < end and right > start]
    assert not [(key, label) for key, label, x, y in lines if _crossing(x, y, start, end)]
    if name == "gapped.bin":
        for key, label, x, y in lines:
            inside = [value for time, value in zip(x, y) if start < time < end]
            assert inside and all(math.isnan(value) for value in inside), (key, label)


def test_a_boot_clock_log_tells_time_from_boot_on_axes_hovers_and_tables(browser, tmp_path):
    # The bundled dive log has no GPS time: its clock is the boot clock.
    out = tmp_path / "boot.html"
    write_report(str(BUNDLED / "sub-4.1.0-dive.bin"), str(out), "boot")
    loaded = Loaded(browser, out)
    labels = loaded.page.evaluate("""() => {
      const plot = Bokeh.documents[0].get_model_by_name("timeline");
      return plot.below[0].formatter.doFormat([265600, 3725000.0], {loc: 0});
    }""")
    assert labels == ["+0:04:25.6", "+1:02:05.0"]
    first = read_log(str(BUNDLED / "sub-4.1.0-dive.bin")).messages.column("_time")[0].value
    assert loaded.page.get_by_text(f"T+{first / 1e6:.3f} s").count()  # the messages table
    assert "1970" not in loaded.page.inner_text("body")
    assert loaded.problems == []


def test_fleet_health_trends_load_one_plot_per_indicator(browser, tmp_path):
    from test_tools_flight_health import fleet

    (tmp_path / "logs").mkdir()
    fleet(tmp_path / "logs", step_from=4)
    report_fleet(str(tmp_path / "out"), [str(tmp_path / "logs")], Options(track=False), jobs=2)
    loaded = Loaded(browser, tmp_path / "out" / "index.html")
    titles = loaded.page.evaluate("() => Array.from(Bokeh.documents[0].all_models).filter((m) => m.title"
                                  " && typeof m.title === 'object' && 'text' in m.title).map((m) => m.title.text)")
    assert "motor_relative (us)" in titles and len(titles) == len(set(titles)) > 5
    assert loaded.problems == []
