"""What a tuner reads beyond the spectrum, each on a hand-built log against
an independent computation: the measured post-filter batches, PX4's
packed FIFO samples, the PID terms, the spectrum by throttle, the notch
track, and the time the report's tuning section reads."""

import math
import struct

import numpy
import pytest
import scipy.signal

from dataflash_bytes import data_packet, format_packet
import ulog_bytes as u
from test_tools_tuning import MUL, NOTCH_150, PARM, _parameters, flying, sampler_packets

from quillon_tools import read_log
from quillon_tools.cli.main import main

PIDR, CTUN, FTN, MSG = 170, 171, 172, 173


# Measured post-filter batches beside the sensor's own.

def _pre_and_post(seconds_apart=2_000_000, batches=6):
    """Gyro 0 batches (a 60 Hz and a 150 Hz tone) and, numbered after the
    two gyros, its post-filter batches with the 150 Hz tone 40 dB down."""
    def raw(t):
        return 0.1 * numpy.sin(2 * numpy.pi * 60 * t) + 0.3 * numpy.sin(2 * numpy.pi * 150 * t)

    def filtered(t):
        return 0.1 * numpy.sin(2 * numpy.pi * 60 * t) + 0.003 * numpy.sin(2 * numpy.pi * 150 * t)
    found = []
    for k in range(batches):
        found.append((2 * k, 1, 0, 1_000_000 + k * seconds_apart, 1000.0, range(32), raw))
        found.append((2 * k + 1, 1, 2, 2_000_000 + k * seconds_apart, 1000.0, range(32), filtered))
    params = {**NOTCH_150, "INS_LOG_BAT_OPT": 4, "INS_GYR_ID": 1, "INS_GYR2_ID": 2}
    data = b"".join([*sampler_packets(found), format_packet(PARM, "PARM", "QNff", "TimeUS,Name,Value,Default"),
                     *_parameters(params)])
    t = numpy.arange(1024) / 1000.0
    return read_log(data), numpy.round(raw(t) * MUL) / MUL, numpy.round(filtered(t) * MUL) / MUL


def test_post_filter_batches_are_the_measured_after_with_the_model_beside():
    log, raw, filtered = _pre_and_post()
    review = log.filter_review()
    assert review.after_measured and review.before is not None and review.modelled is not None
    table = review.to_arrow()
    assert {"modelled_x", "after_x", "before_x"} <= set(table.column_names)
    # The measured after is SciPy's Welch of the filtered samples, window for window.
    frequency, power = scipy.signal.welch(filtered, fs=1000.0, nperseg=review.spectrum.nperseg)
    after = table.column("after_x").to_numpy()
    assert numpy.allclose(after[frequency < 490], power[frequency < 490], rtol=1e-6, atol=1e-12)
    (at_150,) = [c for c in review.coverage if c.axis == "x" and abs(c.frequency - 150) < 2]
    _, raw_power = scipy.signal.welch(raw, fs=1000.0, nperseg=review.spectrum.nperseg)
    bin_ = int(numpy.argmin(abs(frequency - at_150.frequency)))
    assert at_150.measured_attenuation == pytest.approx(10 * math.log10(raw_power[bin_] / power[bin_]), abs=0.5)
    assert at_150.covered and "measured off it" in at_150.text
    assert any("the spectrum after the filters is measured, the model's beside it" in n for n in review.notes)
    # Set otherwise than logged, the measured samples say nothing of the new setting: the model alone.
    what_if = log.filter_review(params={"INS_HNTCH_FREQ": 60.0})
    assert what_if.modelled is None and not what_if.after_measured


# PX4's full-rate FIFO topics.

FIFO_FORMAT = ("{topic}:uint64_t timestamp;uint64_t timestamp_sample;uint32_t device_id;float dt;float scale;"
               "uint8_t samples;int16_t[32] x;int16_t[32] y;int16_t[32] z;uint8_t[3] _padding0;")


def fifo_log(rate=8000.0, per=20, seconds=1.5, tone=440.0, lost=(), topic="sensor_gyro_fifo"):
    """A FIFO topic at `rate` Hz, `per` samples a row (of 32 slots), x a
    `tone` Hz sine; each row number in `lost` never logged."""
    scale = math.radians(2000) / 32768
    out = [u.HEADER, u.flag_bits(), u.format_(FIFO_FORMAT.format(topic=topic)), u.subscribe(0, 0, topic)]
    count = int(rate * seconds) // per * per
    t = 1_000_000 + numpy.arange(count) * 1e6 / rate
    counts = numpy.round(0.3 * numpy.sin(2 * numpy.pi * tone * (t - t[0]) / 1e6) / scale).astype(int)
    for row, first in enumerate(range(0, count, per)):
        if row in lost:
            continue
        block = list(counts[first:first + per]) + [32767] * (32 - per)  # unused slots hold anything
        newest = int(round(t[first + per - 1]))
        out.append(u.data(0, struct.pack("<QQIffB32h32h32h3x", newest + 50, newest, 1, 1e6 / rate, scale, per,
                                         *block, *([0] * 32), *([-5] * 32))))
    return read_log(b"".join(out)), t, counts * numpy.float32(scale)


def test_px4_fifo_samples_are_unpacked_at_their_rate_and_scale():
    log, t, x = fifo_log()
    found = log.spectrum("gyro")
    assert (found.source, found.samples, found.holes) == ("sensor_gyro_fifo", len(t), [])
    assert found.rate == pytest.approx(8000.0, rel=1e-6)
    frequency, power = scipy.signal.welch(x, fs=8000.0, nperseg=found.nperseg)
    assert numpy.allclose(found.axis("x"), power, rtol=1e-5, atol=1e-14)
    (peak,) = [p for p in found.peaks if p.axis == "x" and abs(p.frequency - 440) < 5]
    assert peak.amplitude == pytest.approx(0.3, rel=0.02)
    assert found.axis("z").max() < 1e-20  # a constant -5 counts: no tone, no unused slot read
    # A row lost is a hole of `per` samples; the accelerometer's FIFO reads alike.
    holed = fifo_log(lost=(30,))[0].spectrum("gyro")
    assert len(holed.holes) == 1 and holed.samples_bridged == 0
    accel = fifo_log(topic="sensor_accel_fifo")[0].spectrum("accel")
    assert accel.source == "sensor_accel_fifo" and accel.rate == pytest.approx(8000.0, rel=1e-6)


# The PID terms.

def copter_pid_log(rows=400, rate=50, imax=0.25, seed=3):
    """Copter PIDR at `rate` Hz in the air: terms of noise, I climbing to
    its limit and held there, Flags bit 0 set while held, Dmod below 1 in
    the middle; the last 20 rows repeat the one before (a controller not running)."""
    rng = numpy.random.default_rng(seed)
    p, d, ff = rng.normal(0, 0.02, rows), rng.normal(0, 0.01, rows), rng.normal(0, 0.005, rows)
    i = numpy.minimum(numpy.linspace(0, 0.5, rows), imax).astype(numpy.float32)
    dmod = numpy.where((numpy.arange(rows) > 100) & (numpy.arange(rows) < 150), 0.5, 1.0)
    flags = numpy.where(i >= numpy.float32(imax), 1, 0) | 8 * (numpy.arange(rows) == 0)
    for series in (p, d, ff, i, dmod):
        series[-20:] = series[-21]
    flags[-20:] = flags[-21]
    start = 1_000_000
    times = start + numpy.arange(rows) * (1_000_000 // rate)
    packets = [format_packet(MSG, "MSG", "QZ", "TimeUS,Message"), data_packet(MSG, "QZ", 500_000, b"ArduCopter V4.5.7 (a)"),
               format_packet(PARM, "PARM", "QNff", "TimeUS,Name,Value,Default"),
               *_parameters({"ATC_RAT_RLL_IMAX": imax}),
               format_packet(PIDR, "PIDR", "QffffffffffB", "TimeUS,Tar,Act,Err,P,I,D,FF,DFF,Dmod,SRate,Flags")]
    packets += [data_packet(PIDR, "QffffffffffB", int(t), 0.0, 0.0, 0.0, float(p[k]), float(i[k]), float(d[k]),
                            float(ff[k]), 0.0, float(dmod[k]), 1.0, int(flags[k])) for k, t in enumerate(times)]
    data = b"".join(packets) + flying(start, int(times[-1]))
    return data, {"p": p, "i": i, "d": d, "ff": ff, "dmod": dmod, "flags": flags}


def test_pid_terms_flags_and_integrator_saturation():
    data, logged = copter_pid_log()
    log = read_log(data)
    terms = log.pid_terms()
    (row,) = terms.summary()
    live = slice(0, 380)  # the repeated rows left out
    assert row["rows"] == 380 and any("did not run" in n for n in terms.notes)
    assert row["p_rms"] == pytest.approx(float(numpy.sqrt(numpy.mean(numpy.float32(logged["p"][live]) ** 2))), rel=1e-5)
    held = numpy.float32(logged["i"][live]) >= numpy.float32(0.25)
    assert row["i_saturated_share"] == pytest.approx(held.mean()) and row["i_max"] == pytest.approx(0.25)
    assert row["limit_share"] == pytest.approx((logged["flags"][live] & 1).mean())
    assert row["dmod_below_1_share"] == pytest.approx((logged["dmod"][live] < 1).mean()) and row["dmod_min"] == 0.5
    table = terms.to_arrow()
    assert table.column_names[:3] == ["_time", "axis", "source"] and table.num_rows == 380
    assert table.column("i_set").to_pylist()[:2] == [True, False]
    assert table.column("pd_sum_limit").to_pylist()[0] is False
    assert "at it" in terms.lines()[0] and "output limited" in terms.lines()[0]
    # Over a time asked for, every row within it (the idle ones still left out).
    first = table.column("_time").cast("int64").to_numpy()[0]
    assert log.pid_terms(start=first, end=first + 1_000_000).summary()[0]["rows"] == 51


def test_px4_integrators_against_their_limit():
    out = [u.HEADER, u.flag_bits(),
           u.format_("rate_ctrl_status:uint64_t timestamp;float rollspeed_integ;float pitchspeed_integ;"
                     "float yawspeed_integ;float wheel_rate_integ;"),
           u.format_("vehicle_status:uint64_t timestamp;uint8_t system_type;"),
           u.param("float MC_RR_INT_LIM", struct.pack("<f", 0.3)), u.param("float FW_RR_IMAX", struct.pack("<f", 0.2)),
           u.subscribe(0, 0, "rate_ctrl_status"), u.subscribe(1, 0, "vehicle_status"),
           u.data(1, struct.pack("<QB", 900_000, 2))]  # a quadrotor: the multicopter's limit
    roll = numpy.float32(numpy.minimum(numpy.linspace(0, 0.6, 100), 0.3))
    out += [u.data(0, struct.pack("<Q4f", 1_000_000 + k * 20_000, float(roll[k]), 0.01 * k, 0.0, 0.0))
            for k in range(100)]
    log = read_log(b"".join(out))
    rows = {r["axis"]: r for r in log.pid_terms(start=0).summary()}
    assert rows["roll"]["i_saturated_share"] == pytest.approx(float((roll >= numpy.float32(0.3)).mean()))
    assert rows["pitch"]["i_max"] is None and rows["pitch"]["i_saturated_share"] is None
    assert rows["roll"]["p_rms"] is None  # PX4 logs the integrators alone


# The spectrum by throttle, and the notch track.

def throttle_log(seconds=12, seed=6):
    data, t, x, low = throttle_bytes(seconds, seed)
    return read_log(data), t, x, low


def throttle_bytes(seconds=12, seed=6):
    """Raw gyro GYR at 1 kHz whose tone follows the throttle (CTUN.ThO at
    10 Hz, 0.2 for the first half, 0.6 after): 80 Hz, then 80 x sqrt(3);
    FTN logs the throttle notch where it moved."""
    rng = numpy.random.default_rng(seed)
    rate = 1000
    t = numpy.arange(seconds * rate) / rate
    low = t < seconds / 2
    frequency = numpy.where(low, 80.0, 80.0 * math.sqrt(3))
    phase = 2 * numpy.pi * numpy.cumsum(frequency) / rate
    x = 0.2 * numpy.sin(phase) + rng.normal(0, 0.005, len(t))
    start = 1_000_000
    packets = [format_packet(PARM, "PARM", "QNff", "TimeUS,Name,Value,Default"),
               *_parameters({**NOTCH_150, "INS_HNTCH_MODE": 1, "INS_HNTCH_FREQ": 80.0, "INS_HNTCH_HMNCS": 1}),
               format_packet(133, "GYR", "QBQfff", "TimeUS,I,SampleUS,GyrX,GyrY,GyrZ"),
               format_packet(CTUN, "CTUN", "Qf", "TimeUS,ThO"), format_packet(FTN, "FTN", "QBBf", "TimeUS,I,NDn,NF1")]
    stamps = start + numpy.arange(len(t)) * 1000
    packets += [data_packet(133, "QBQfff", int(s) + 10, 0, int(s), float(v), 0.0, 0.0) for s, v in zip(stamps, x)]
    for k in range(seconds * 10):
        when = start + k * 100_000
        throttle = 0.2 if k < seconds * 5 else 0.6
        packets.append(data_packet(CTUN, "Qf", when, throttle))
        packets.append(data_packet(FTN, "QBBf", when, 0, 1, 80.0 * math.sqrt(throttle / 0.2) if k % 40 else 0.0))
    return b"".join(packets) + flying(start, start + seconds * 1_000_000), t, x, low


def test_the_spectrum_binned_by_throttle_follows_the_rotor_line():
    log, t, x, low = throttle_log()
    found = log.throttle_spectra()
    assert found.throttle_source == "CTUN.ThO" and found.windows.sum() + found.unbinned > 0
    peaks = {(round(p["throttle_low"], 1), p["axis"]): p["frequency"] for p in found.peaks()}
    assert peaks[(0.2, "x")] == pytest.approx(80.0, abs=found.rate / found.nperseg)
    assert peaks[(0.6, "x")] == pytest.approx(80.0 * math.sqrt(3), abs=found.rate / found.nperseg)
    # The 0.2 bin is SciPy's Welch of the windows wholly in the first half.
    gram = log.spectrogram("gyro")
    whole = gram.nperseg / gram.rate * 1e6
    inside = gram.times + whole / 2 < gram.times[0] - whole / 2 + len(t) / 2 * 1000
    bin_ = 2
    _, _, power = scipy.signal.spectrogram(x, fs=1000.0, window="hann", nperseg=gram.nperseg,
                                           noverlap=gram.nperseg // 2, detrend="constant", scaling="density")
    assert found.windows[bin_] >= inside.sum()
    assert numpy.allclose(found.power[bin_, :, 0], power[:, :found.windows[bin_]].mean(axis=1), rtol=1e-4)
    # Only the windows across the change read a throttle between.
    assert found.windows[3:6].sum() <= 2 and found.windows.sum() == found.windows[2:7].sum()
    table = found.to_arrow()
    assert set(table.column("throttle_low").to_pylist()) == {found.edges[b] for b in numpy.flatnonzero(found.windows)}


def test_the_notch_track_is_the_logged_centre_and_off_at_0_hz():
    from quillon_tools.tuning.notch_tracks import notch_lines

    log, _, _, _ = throttle_log()
    view = log.view(None)
    (line,) = notch_lines(view, 1_000_000, 13_000_000)
    assert line.notch == "INS_HNTCH" and line.harmonic == 1
    at = line.times >= 8_000_000
    finite = numpy.isfinite(line.frequency)
    assert numpy.allclose(line.frequency[at & finite], 80.0 * math.sqrt(3), rtol=1e-6)
    assert (~finite).sum() == 3  # logged at 0 Hz three times: off there
    from quillon_tools.tuning.panels import spectrogram_panel

    # From the first window on: the record in force then and those after it (0 Hz twice more).
    notches = spectrogram_panel(log).tables["notches"]
    assert notches.column("frequency").null_count == 2


# The time the tuning output reads.

def test_the_report_reads_the_time_asked_for_and_draws_the_new_panels(tmp_path):
    pytest.importorskip("bokeh")
    from bokeh.models import Div
    from quillon_tools.report.tuning import TuningTime, tuning_section

    def said(parts):
        return " ".join(part.text for part in parts if isinstance(part, Div))

    log, _, _, _ = throttle_log()
    names = {getattr(part, "name", None) for part in tuning_section(log, "")}
    assert {"spectrum", "spectrogram", "throttle-spectrum"} <= names
    text = said(tuning_section(log, "", TuningTime(start=2.0, end=5.0)))
    assert "Time read: from 2 s to 5 s of the log" in text
    missing = said(tuning_section(log, "", TuningTime(flight=4)))
    assert "no flight 4 in the air" in missing
    data, _ = copter_pid_log()
    assert "pid-terms" in {getattr(part, "name", None) for part in tuning_section(read_log(data), "")}
    page = tmp_path / "r.html"
    assert main(["report", "--start", "2", "--end", "5", "-o", str(page), str(_saved(tmp_path, data))]) == 0
    assert "Time read: from 2 s to 5 s of the log" in page.read_text()


def _saved(tmp_path, data):
    path = tmp_path / "pid.bin"
    path.write_bytes(data)
    return path


def test_the_new_tuning_panels_draw_in_chromium_without_errors(tmp_path):
    pytest.importorskip("bokeh")
    browser_test = pytest.importorskip("test_tools_report_browser")
    import os
    if not os.path.exists(browser_test.CHROMIUM):
        pytest.skip(f"no Chromium at {browser_test.CHROMIUM}")
    from quillon_tools.report.page import Options, write_report

    data, _ = copter_pid_log()
    pages = [(tmp_path / "throttle.html", throttle_bytes()[0], ("spectrogram", "throttle-spectrum")),
             (tmp_path / "pid.html", data, ("pid-terms",))]
    with browser_test.sync_api.sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=browser_test.CHROMIUM, args=["--no-sandbox"])
        try:
            for page, source, names in pages:
                write_report(source, str(page), page.stem, Options())
                loaded = browser_test.Loaded(browser, page)
                assert loaded.problems == []
                for name in names:
                    box = loaded.box(name)
                    assert box is not None and box["width"] > 100 and box["height"] > 100, name
                if "spectrogram" in names:  # the image, and the notch's centre drawn over it
                    assert loaded.page.evaluate("() => Bokeh.documents[0].get_model_by_name('spectrogram')"
                                                ".renderers.length") >= 2
            lines = loaded.page.evaluate("""() => Bokeh.documents[0].get_model_by_name('pid-terms')
                .renderers.length""")
            assert lines >= 4  # P, I, D and FF of the roll axis
        finally:
            browser.close()
