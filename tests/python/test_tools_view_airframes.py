"""`quillon view`'s airframe pages: a folder of one quad's seven flights
(three log files, four in a dataset under the folder) whose motor 1 works
harder from the fourth, and a log that tells no airframe. The folder page
links each airframe; an airframe's page lists its drift and trends each
indicator, the drifted points marked and linking to their logs' pages; an
id the folder does not hold gives a page that says so. In-process, over
HTTP, and in Debian's headless Chromium driven by Playwright."""
import html
import math
import os
import shutil
import urllib.error
import urllib.parse
import urllib.request

import pytest

from dataflash_copter import copter
from test_tools_flight_health import UID, flight_log, height
from view_serving import chromium, serving

pytest.importorskip("bokeh")

from bokeh.document import Document  # noqa: E402
from bokeh.models import Plot  # noqa: E402

from quillon_tools.fleet.convert import convert_logs  # noqa: E402
from quillon_tools.fleet.dataset import Settings, file_stem  # noqa: E402
from quillon_tools.fleet.flight_table import flights_path, read_flight_file  # noqa: E402
from quillon_tools.flight_health import INDICATORS  # noqa: E402
from quillon_tools.report.health_section import DRIFT_COLOUR  # noqa: E402
from quillon_tools.view import folder_page  # noqa: E402
from quillon_tools.view.app import Viewer  # noqa: E402
from quillon_tools.view.paths import Served  # noqa: E402

ODD = "flight05 #&.bin"  # a name a link must quote whole
FILES = ["a/flight01.bin", "a/flight02.bin", "a/flight03.bin"]
CONVERTED = ["flight04.bin", ODD, "flight06.bin"]
# The flights in time order: their logs start alike, so the names order them.
SHOWN = FILES + [f"{name} (dataset fleet)" for name in CONVERTED]
READY = "() => window.Bokeh && Bokeh.documents.length > 0 && Bokeh.documents[0].is_idle"
HOSTILE_IDS = ["NOPE", "../a/flight01.bin", "/etc/passwd", "", "Unknown", "<img src=x onerror=pwned=1>",
               "..%2F..%2Fsecret.bin", "a\x00b", "\u202e" + UID]


def nameless_log():
    """A flight of a quad whose log tells neither its board nor its settings."""
    return copter(40.0, height, lambda t: (1500.0,) * 4 if height(t) > 0 else (1000.0,) * 4, disarm=37.0,
                  params={})


def convert(out, paths):
    report = convert_logs(str(out), [str(path) for path in paths], Settings(None, False), jobs=1)
    assert report.failed == 0, report.problems


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("airframes")
    served, elsewhere = root / "served", root / "elsewhere"
    (served / "a").mkdir(parents=True)
    elsewhere.mkdir()
    for n, name in enumerate(FILES + CONVERTED, 1):
        path = (served / name) if name in FILES else (elsewhere / name)
        path.write_bytes(flight_log(n, 1.06 if n >= 4 else 1.0))
    (served / "nameless.bin").write_bytes(nameless_log())
    convert(served / "fleet", [elsewhere / name for name in CONVERTED])
    (root / "secret.bin").write_bytes(b"\x00")
    return served


def built(page, arguments=None):
    document = Document()
    page(document, arguments or {})
    return document


def test_the_folder_links_each_airframe_and_its_page_lists_the_drift(folder, monkeypatch):
    # The dataset's logs' flights come from its flights files: only the log files' are worked out.
    worked_out = []
    real = folder_page.flight_rows
    monkeypatch.setattr(folder_page, "flight_rows", lambda log, name: worked_out.append(log) or real(log, name))
    viewer = Viewer(Served.of(str(folder)))
    rows = viewer.rows.rows()
    assert [row["log"] for row in rows] == ["nameless.bin"] + SHOWN
    assert len(worked_out) == 4 and all("flights_error" not in row for row in rows)
    listed = built(viewer.folder_page).get_model_by_name("airframes").text
    assert f'<a href="airframe?id={UID}">{UID}</a> (board_uid): 6 flights, ' in listed
    assert '<a href="airframe?id=unknown">unknown</a> (no id): 1 flight, ' in listed
    assert built(viewer.folder_page).get_model_by_name("logs").source.data["log"] == [row["log"] for row in rows]

    page = built(viewer.airframe_page, {"id": [UID.encode()]})
    heading = page.get_model_by_name("airframe").text
    assert f"{UID} (board_uid): 6 flights" in heading
    drifted = [line for line in heading.split('<li class="drift">')[1:] if ": motor_relative: " in line]
    # flight 4 against the three before it, and so on: each marked from the first it steps.
    assert [line.split(" flight 1:")[0] for line in drifted] == [html.escape(name) for name in SHOWN[3:]]
    assert all("motor relative of motor 1 " in line for line in drifted)
    trends = {plot.name for plot in page.select({"type": Plot})}
    assert "motor_relative" in trends and trends <= {item.name for item in INDICATORS}
    unknown = built(viewer.airframe_page, {"id": [b"unknown"]}).get_model_by_name("airframe").text
    assert "unknown airframe (no id): 1 flight" in unknown


@pytest.fixture(scope="module")
def viewer(folder):
    return Viewer(Served.of(str(folder)))


@pytest.mark.parametrize("wanted", HOSTILE_IDS)
def test_an_id_the_folder_does_not_hold_says_so_whatever_it_holds(viewer, wanted):
    document = built(viewer.airframe_page, {"id": [wanted.encode()]})
    missing = document.get_model_by_name("missing")
    assert missing is not None and document.get_model_by_name("airframe") is None
    assert "in this folder</h2>" in missing.text and "<img" not in missing.text


def test_a_log_whose_flights_cannot_be_worked_out_keeps_its_row_and_the_folder_page_says_so(folder, tmp_path,
                                                                                            monkeypatch):
    shutil.copy(folder / "a" / "flight01.bin", tmp_path / "flight01.bin")
    monkeypatch.setattr(folder_page, "flight_rows", lambda *_: (_ for _ in ()).throw(RuntimeError("no flights")))
    viewer = Viewer(Served.of(str(tmp_path)))
    [row] = viewer.rows.rows()
    assert row["verdict"] and "error" not in row and row["flights"] == []
    page = built(viewer.folder_page)
    assert page.get_model_by_name("airframes").text == \
        '<p>Flights not worked out:</p><ul class="failed"><li>flight01.bin: no flights</li></ul>'
    assert page.get_model_by_name("logs").source.data["log"] == ["flight01.bin"]


def test_a_dataset_log_whose_flights_file_is_damaged_has_them_worked_out_from_its_tables(folder, tmp_path):
    served = tmp_path / "served"
    shutil.copytree(folder / "fleet", served / "fleet")
    path = flights_path(str(served / "fleet"), file_stem("flight04.bin"))
    kept = read_flight_file(path).to_pylist()

    def flights():
        rows = folder_page.Rows(Served.of(str(served))).rows()
        return {row["log"]: row["flights"] for row in rows}

    written = flights()["flight04.bin (dataset fleet)"]
    assert [(f["flight"], f["airframe"], f["motor_relative"]) for f in written] == \
        [(f["flight"], f["airframe"], f["motor_relative"]) for f in kept]
    shutil.copy(path, tmp_path / "elsewhere.parquet")
    with open(path, "r+b") as file:
        file.truncate(100)
    [again] = flights()["flight04.bin (dataset fleet)"]
    assert again["airframe"] == UID and again["motor_relative"] == pytest.approx(kept[0]["motor_relative"], abs=0.01)
    # A flights file that leads out of the folder refuses its log whole, as its other files do.
    os.remove(path)
    os.symlink(tmp_path / "elsewhere.parquet", path)
    assert sorted(flights()) == sorted(f"{name} (dataset fleet)" for name in CONVERTED if name != "flight04.bin")


@pytest.fixture(scope="module")
def server(folder):
    """The address of `quillon view` of the folder, started as the command is."""
    with serving(folder, folder.parent / "server.err") as address:
        yield address


def status(url):
    try:
        with urllib.request.urlopen(url, timeout=120) as response:
            return response.status
    except urllib.error.HTTPError as error:
        return error.code


def test_every_airframe_address_answers_a_page_and_a_log_outside_is_still_refused(server):
    for wanted in [UID, "unknown", *HOSTILE_IDS]:
        assert status(server + "airframe?" + urllib.parse.urlencode({"id": wanted})) == 200, wanted
    assert status(server + "airframe") == 200
    assert status(server + "airframe?id=x&id=y&name=../secret.bin") == 200
    assert status(server + "log?" + urllib.parse.urlencode({"name": "../secret.bin"})) == 403


@pytest.fixture(scope="module")
def browser(server):
    with chromium() as launched:
        yield launched


def opened(browser, url, problems):
    page = browser.new_page(viewport={"width": 1500, "height": 1000})
    page.on("console", lambda m: problems.append(m.text) if m.type == "error" else None)
    page.on("pageerror", lambda e: problems.append(str(e)))
    page.goto(url)
    page.wait_for_function(READY, timeout=120_000)
    return page


# Per plot named by an indicator: its lines' points, colours and sizes.
TRENDS = """() => {
  const found = {};
  for (const model of Bokeh.documents[0].all_models) {
    if (model.type !== "Figure" || !model.name) continue;
    found[model.name] = model.renderers.filter((r) => r.glyph.type === "Scatter").map((r) => {
      const data = r.data_source.data;
      const get = (key) => Array.from(data instanceof Map ? data.get(key) : data[key]);
      return {x: get("x"), y: get("y"), colour: get("colour"), size: get("size")};
    });
  }
  return found;
}"""
# Where in the window the point (x, y) of the plot named `name` is drawn, the plot scrolled into view.
ON_SCREEN = """([name, x, y]) => {
  const model = Bokeh.documents[0].get_model_by_name(name);
  const view = Bokeh.index.find_one(model);
  view.el.scrollIntoView({block: "center"});
  const box = view.canvas_view.el.getBoundingClientRect();
  return [box.left + view.frame.x_scale.compute(x), box.top + view.frame.y_scale.compute(y)];
}"""


def test_the_airframe_page_trends_each_indicator_and_a_drifted_point_opens_its_log(browser, server, folder):
    problems = []
    folder_view = opened(browser, server, problems)
    links = folder_view.locator("a[href^='airframe?id=']")
    assert sorted(links.all_inner_texts()) == sorted([UID, "unknown"])
    folder_view.locator(f"a:has-text('{UID}')").click()
    folder_view.wait_for_url(f"**/airframe?id={UID}")
    folder_view.wait_for_function(READY, timeout=120_000)
    page = folder_view
    trends = page.evaluate(TRENDS)
    rows = [flight for row in folder_page.Rows(Served.of(str(folder))).rows() for flight in row["flights"]
            if flight["airframe"] == UID]
    with_values = [item.name for item in INDICATORS
                   if any(_has_value(flight.get(item.name)) for flight in rows)]
    assert sorted(trends) == sorted(with_values)  # one plot per indicator with a value
    motors = trends["motor_relative"]
    assert len(motors) == 4
    red = [[x for x, colour in zip(line["x"], line["colour"]) if colour == DRIFT_COLOUR] for line in motors]
    assert red == [[4, 5, 6], [], [], []]  # motor 1, from the flight its output steps up
    assert [size for x, size in zip(motors[0]["x"], motors[0]["size"]) if x == 5] == [11]

    # The drifted fifth flight's point opens its log's page, whose name holds "#" and "&".
    fifth = motors[0]["x"].index(5)
    x, y = page.evaluate(ON_SCREEN, ["motor_relative", 5, motors[0]["y"][fifth]])
    with page.expect_popup() as popup:
        page.mouse.click(x, y)
    log_page = popup.value
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(log_page.url).query)
    assert query == {"dataset": ["fleet"], "name": [ODD]}
    log_page.wait_for_function(READY, timeout=120_000)
    assert log_page.locator("[name=error]").count() == 0
    assert page.evaluate("() => window.pwned") is None
    assert problems == []


def _has_value(value):
    values = value if isinstance(value, list) else [value]
    return any(isinstance(v, (int, float)) and math.isfinite(v) for v in values)


def test_an_odd_id_shows_the_not_in_this_folder_page_and_runs_no_script(browser, server):
    problems = []
    page = opened(browser, server + "airframe?" + urllib.parse.urlencode({"id": HOSTILE_IDS[5]}), problems)
    page.get_by_text("No airframe <img src=x onerror=pwned=1> in this folder").wait_for()
    assert page.evaluate("() => window.pwned") is None and problems == []
