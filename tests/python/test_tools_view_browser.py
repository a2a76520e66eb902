"""`quillon view` in a real browser: one server, started as the command is,
over a folder of the bundled samples, a long log, a log whose name and texts
hold markup, a broken log and a link leading out of the folder; Debian's
headless Chromium driven by Playwright."""
import math
import os
import shutil
import urllib.parse

import numpy
import pytest

from conftest import BUNDLED
from dataflash_bytes import data_packet, format_packet
from report_logs import markup_dataflash
from view_serving import CHROMIUM, chromium, serving

pytest.importorskip("bokeh")
sync_api = pytest.importorskip("playwright.sync_api")

from quillon_tools import read_log  # noqa: E402

HOSTILE = "<img src=x onerror=pwned=4>.bin"
LONG_ROWS = 40_000  # far more samples than a plot has pixels
EVENTS = {4000: 10, 34_000: 11}  # row: EV id (armed, disarmed)
WIDTH = 1300
READY = "() => window.Bokeh && Bokeh.documents.length > 0 && Bokeh.documents[0].is_idle"
# The points a plot named `name` holds now, per line: [[x...], [y...]].
POINTS = """(name) => {
  const plot = Bokeh.documents[0].get_model_by_name(name);
  if (plot === null) return null;
  const data = plot.renderers[0].data_source.data;
  const get = (key) => data instanceof Map ? data.get(key) : data[key];
  return get("xs").map((xs, i) => [Array.from(xs), Array.from(get("ys")[i]).map((y) => isNaN(y) ? null : y)]);
}"""


def long_log():
    """A DataFlash log of one sine wave sampled 40 000 times at 1 kHz, armed
    at 5 s and disarmed at 35 s."""
    packets = [format_packet(131, "SINE", "Qf", "TimeUS,Val"), format_packet(132, "EV", "QB", "TimeUS,Id")]
    for i in range(LONG_ROWS):
        if i in EVENTS:
            packets.append(data_packet(132, "QB", 1_000_000 + i * 1000, EVENTS[i]))
        packets.append(data_packet(131, "Qf", 1_000_000 + i * 1000, math.sin(i / 50.0)))
    return b"".join(packets)


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """The server's address, and the folder it serves."""
    if not os.path.exists(CHROMIUM):
        pytest.skip(f"no Chromium at {CHROMIUM} (apt-get install chromium)")
    root = tmp_path_factory.mktemp("view")
    folder = root / "logs"
    (folder / "nested").mkdir(parents=True)
    for sample in BUNDLED.iterdir():
        if sample.suffix in (".bin", ".tlog", ".ulg"):
            shutil.copy(sample, folder / sample.name)
    (folder / "nested" / "long.bin").write_bytes(long_log())
    (folder / HOSTILE).write_bytes(markup_dataflash())
    (folder / "broken.bin").write_bytes(b"\x00not a log" * 100)
    (root / "secret.bin").write_bytes(long_log()[:2000])
    (folder / "outside.bin").symlink_to(root / "secret.bin")
    with serving(folder, root / "server.err") as address:
        yield address, folder


@pytest.fixture(scope="module")
def browser(served):
    with chromium() as launched:
        yield launched


class Opened:
    """A page of the server, with what went wrong in it; nothing but the
    server itself may be asked for."""

    def __init__(self, browser, url):
        self.page = browser.new_page(viewport={"width": WIDTH, "height": 900})
        self.problems = []
        self.page.on("console", lambda m: self.problems.append(m.text) if m.type == "error" else None)
        self.page.on("pageerror", lambda e: self.problems.append(str(e)))
        self.page.on("dialog", lambda d: (self.problems.append("dialog: " + d.message), d.dismiss()))
        origin = url.split("/")[2]
        self.page.route("**/*", lambda route: route.continue_() if route.request.url.split("/")[2] == origin
                        else (self.problems.append(route.request.url), route.abort()))
        self.response = self.page.goto(url)
        self.page.wait_for_function(READY, timeout=60_000)

    def points(self, name):
        return self.page.evaluate(POINTS, name)


def page_of(base, name):
    return base + "log?" + urllib.parse.urlencode({"name": name})


def test_folder_page_links_to_every_log_and_shows_a_broken_one(browser, served):
    base, folder = served
    opened = Opened(browser, base)
    links = opened.page.locator(".slick-row a")
    names = sorted(p.name for p in BUNDLED.iterdir() if p.suffix in (".bin", ".tlog", ".ulg"))
    expected = sorted(names + ["nested/long.bin", HOSTILE, "broken.bin"])
    assert sorted(links.all_inner_texts()) == expected  # the link out of the folder is not listed
    hrefs = links.evaluate_all("(links) => links.map((a) => a.href)")
    assert sorted(urllib.parse.parse_qs(urllib.parse.urlsplit(h).query)["name"][0] for h in hrefs) == expected
    assert opened.page.locator(".slick-row:has-text('broken.bin') .verdict.failed").count() == 1
    assert opened.page.evaluate("() => window.pwned") is None
    # A log that fails to decode gets a page that says so, and the server goes on.
    broken = Opened(browser, page_of(base, "broken.bin"))
    assert broken.page.get_by_text("This log cannot be shown").count() == 1
    assert opened.problems == [] and broken.problems == []


def test_a_picked_field_is_drawn_and_zooming_shows_every_sample(browser, served):
    base, _ = served
    opened = Opened(browser, page_of(base, "nested/long.bin"))
    page = opened.page
    page.get_by_placeholder("search messages and fields").fill("val")
    page.select_option("select >> nth=0", "SINE")  # the tree: only SINE has a field named so
    page.select_option("select >> nth=1", "SINE\tVal")
    page.get_by_role("button", name="Plot on a new plot").click()
    page.wait_for_function(f"() => ({POINTS})('picked-0') !== null")
    [(xs, ys)] = opened.points("picked-0")
    log = read_log(served[1] / "nested" / "long.bin", scaled=True)
    times = log["SINE"]["_time"].cast("int64").to_numpy() / 1000.0
    values = log["SINE"]["Val"].to_numpy()
    assert len(xs) <= 2 * WIDTH < LONG_ROWS  # min and max per pixel
    index = numpy.searchsorted(times, xs)
    assert numpy.allclose(times[index], xs) and numpy.allclose(values[index], ys, atol=1e-6)
    assert max(ys) == pytest.approx(values.max(), abs=1e-6) and min(ys) == pytest.approx(values.min(), abs=1e-6)

    # Zooming in to a twentieth of the log: the server sends every sample in view.
    start, end = times[LONG_ROWS // 2], times[LONG_ROWS // 2 + LONG_ROWS // 20]
    page.evaluate(f"() => Bokeh.documents[0].get_model_by_name('time').setv({{start: {start}, end: {end}}})")
    page.wait_for_function(f"() => {{ const p = ({POINTS})('picked-0'); return p && p[0][0][5] > {start} }}")
    [(zoomed_x, zoomed_y)] = opened.points("picked-0")
    shown = (times >= start) & (times <= end)
    assert 0 < shown.sum() < 2 * WIDTH
    inside = [(x, y) for x, y in zip(zoomed_x, zoomed_y) if start <= x <= end]
    assert len(inside) == shown.sum()  # every sample in view, not one per bucket
    assert numpy.allclose([y for _, y in inside], values[shown], atol=1e-6)
    assert opened.problems == []


def test_markup_in_a_file_name_and_in_a_log_runs_no_script(browser, served):
    base, _ = served
    opened = Opened(browser, page_of(base, HOSTILE))
    page = opened.page
    assert page.evaluate("() => window.pwned") is None
    page.get_by_text("<svg onload=f()>").first.wait_for(state="attached")  # in a table of the later blocks
    page.get_by_text(HOSTILE).first.wait_for(state="attached")  # the title, as text
    assert page.evaluate("() => window.pwned") is None
    page.get_by_placeholder("search messages and fields").fill("<b")
    # Found again at each try: the page draws its picker anew when its later blocks arrive.
    options = page.locator("select >> nth=0").locator("option")
    sync_api.expect(options).to_have_count(1)
    assert options.all_inner_texts() == ["<b>"]
    assert opened.problems == []


@pytest.mark.parametrize("name", ["../secret.bin", "/etc/passwd", "outside.bin", "nested/../../secret.bin",
                                  "", "nested", "missing.bin"])
def test_a_path_outside_the_served_logs_is_refused(browser, served, name):
    base, _ = served
    response = browser.new_page().request.get(page_of(base, name))
    assert response.status == 403


def test_an_expression_plots_and_a_bad_one_says_why(browser, served):
    base, folder = served
    opened = Opened(browser, page_of(base, "nested/long.bin"))
    page = opened.page
    expression = page.locator("input[placeholder*=expression]")
    button = page.get_by_role("button", name="Plot the expression")
    for text, message in [("SINE.Vel * 2", "no field SINE.Vel in this log; did you mean SINE.Val"),
                          ("__import__('os').getcwd()", "the functions are abs, acos"), ("SINE.Val +", "cannot read")]:
        expression.fill(text)
        button.click()
        page.get_by_text(message).wait_for()
    expression.fill("abs(SINE.Val) * 2 + 1")
    button.click()
    page.wait_for_function(f"() => ({POINTS})('picked-0') !== null")
    [(xs, ys)] = opened.points("picked-0")
    log = read_log(folder / "nested" / "long.bin", scaled=True)
    times = log["SINE"]["_time"].cast("int64").to_numpy() / 1000.0
    index = numpy.searchsorted(times, xs)
    assert numpy.allclose(ys, numpy.abs(log["SINE"]["Val"].to_numpy()[index]) * 2 + 1, atol=1e-5)
    assert opened.problems == []


def test_clicking_an_event_moves_every_plot_to_it_and_marks_it(browser, served):
    base, folder = served
    opened = Opened(browser, page_of(base, "nested/long.bin"))
    page = opened.page
    events = read_log(folder / "nested" / "long.bin").events.to_pylist()
    disarmed = next(e["_time"] for e in events if e["name"] == "DISARMED").timestamp() * 1000
    page.locator(".slick-row:has-text('DISARMED') .slick-cell").first.click()
    page.wait_for_function(f"() => {{ const r = Bokeh.documents[0].get_model_by_name('time');"
                           f" return Math.abs((r.start + r.end) / 2 - {disarmed}) < 1; }}")
    marks = page.evaluate("() => Array.from(Bokeh.documents[0].all_models).filter((m) => m.type === 'Span')"
                          ".map((m) => m.visible ? m.location : null)")
    assert marks and all(mark is not None and abs(mark - disarmed) < 1 for mark in marks)  # on every plot
    assert opened.problems == []


def test_the_fleet_table_sorts_by_verdict_filters_by_vehicle_and_lists_a_new_log(browser, served):
    base, folder = served
    opened = Opened(browser, base)
    page = opened.page
    rank = {"failed": 4, "fail": 3, "warn": 2, "pass": 1, "skipped": 0, "": -1}
    header = page.locator(".slick-header-column:has-text('verdict')")
    header.click()
    header.click()  # the worst first
    verdicts = [rank[text.strip()] for text in page.locator(".slick-row .slick-cell.l5").all_inner_texts()]
    assert verdicts == sorted(verdicts, reverse=True) and verdicts[0] == 4
    page.locator("select").select_option("sub")
    assert sorted(page.locator(".slick-row a").all_inner_texts()) == ["sub-4.1.0-dive.bin", "sub-4.1.1-dive.tlog"]

    shutil.copy(BUNDLED / "sub-4.1.0-dive.bin", folder / "nested" / "copied.bin")
    page.reload()
    page.wait_for_function(READY, timeout=60_000)
    assert page.locator(".slick-row a:has-text('nested/copied.bin')").count() == 1
    assert opened.problems == []
