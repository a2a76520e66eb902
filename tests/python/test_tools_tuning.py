"""Spectra, the gyro filter review, rate tracking and step response, and
parameter differences, on hand-built logs of known content and on the
sample corpus."""

import json
import math
import re
import struct

import numpy
import pytest
import scipy.signal

from conftest import REPO, sample_path
from dataflash_bytes import data_packet, format_packet
import ulog_bytes as u

from quillon_tools import read_log
from quillon_tools.cli.main import main
from quillon_tools.tuning import DefaultsUnknown, NoSpectrum, NoStepResponse
from quillon_tools.tuning.notch import attenuation_and_q, harmonic_centres, notch_section, response
from quillon_tools.tuning.rate_sources import AxisRates, Series
from quillon_tools.tuning.aligned import align

RATE = 1000.0  # Hz of the hand-built batch sampler
MUL = 938  # counts per rad/s
TONE, HARMONIC = 150.0, 300.0  # Hz
TONE_AMPLITUDE, HARMONIC_AMPLITUDE = 0.4, 0.15  # rad/s
ISBH, ISBD, PARM, GYR, RATE_TYPE = 130, 131, 132, 133, 134


def _parameters(values):
    return [data_packet(PARM, "QNff", 1000, name.encode(), value, math.nan) for name, value in values.items()]


def batch_sampler_log(params, batches=6, missing=((2, 10),), seed=7):
    """Gyro batches of 1024 samples at 1 kHz: a 150 Hz tone, its 300 Hz
    harmonic and noise; each (batch, block) in `missing` never logged."""
    rng = numpy.random.default_rng(seed)
    packets = [format_packet(ISBH, "ISBH", "QHBBHHQf", "TimeUS,N,type,instance,mul,smp_cnt,SampleUS,smp_rate"),
               format_packet(ISBD, "ISBD", "QHHaaa", "TimeUS,N,seqno,x,y,z"),
               format_packet(PARM, "PARM", "QNff", "TimeUS,Name,Value,Default"), *_parameters(params)]
    for batch in range(batches):
        first = 2_000_000 + batch * 1_500_000  # us; batches lie apart, as the sampler takes turns
        t = numpy.arange(1024) / RATE + batch * 1.5
        tone = TONE_AMPLITUDE * numpy.sin(2 * numpy.pi * TONE * t) + HARMONIC_AMPLITUDE * numpy.sin(2 * numpy.pi * HARMONIC * t)
        axes = [tone + rng.normal(0, 0.01, 1024), 0.5 * tone + rng.normal(0, 0.01, 1024), rng.normal(0, 0.01, 1024)]
        counts = [numpy.round(a * MUL).astype(int) for a in axes]
        packets.append(data_packet(ISBH, "QHBBHHQf", first, batch, 1, 0, MUL, 1024, first, RATE))
        for block in range(32):
            if (batch, block) in missing:
                continue
            rows = [v for c in counts for v in c[block * 32:(block + 1) * 32].tolist()]
            packets.append(data_packet(ISBD, "QHHaaa", first + 20_000 * block, batch, block, *rows))
    return b"".join(packets)


NOTCH_150 = {"INS_GYRO_FILTER": 0.0, "INS_HNTCH_ENABLE": 1, "INS_HNTCH_MODE": 0, "INS_HNTCH_FREQ": 150.0,
             "INS_HNTCH_BW": 40.0, "INS_HNTCH_ATT": 40.0, "INS_HNTCH_HMNCS": 3}
NOTCH_80_FUNDAMENTAL = {**NOTCH_150, "INS_HNTCH_FREQ": 80.0, "INS_HNTCH_HMNCS": 1}


@pytest.fixture(scope="module")
def notched_log():
    return read_log(batch_sampler_log(NOTCH_150))


def test_batch_sampler_spectrum_finds_the_tone_and_its_harmonic(notched_log):
    found = notched_log.spectrum("gyro")
    assert (found.source, found.instance, found.rate, found.nyquist) == ("ISBD", 0, RATE, RATE / 2)
    # The missing block splits batch 2 (never bridged): one hole, two stretches
    # too short for a 1024-sample window.
    assert len(found.holes) == 1 and found.samples_left_out == 1024 - 32
    hole_start, hole_end = found.holes[0]
    assert hole_end - hole_start == pytest.approx(33 * 1e3, abs=1)
    x = [p for p in found.peaks if p.axis == "x"]
    assert [round(p.frequency) for p in x] == [150, 300]
    assert x[0].amplitude == pytest.approx(TONE_AMPLITUDE, rel=0.1)
    assert x[1].amplitude == pytest.approx(HARMONIC_AMPLITUDE, rel=0.1)
    assert (x[1].harmonic_of, x[1].order) == (pytest.approx(150, abs=1), 2) and x[0].harmonic_of is None
    assert not [p for p in found.peaks if p.axis == "z"]  # noise alone has no peak
    table = found.to_arrow()
    assert table.column_names == ["frequency", "x", "y", "z"]
    assert table.column("frequency").to_numpy().max() <= found.nyquist
    assert json.loads(table.schema.metadata[b"quillon.spectrum"])["nyquist"] == RATE / 2
    gram = notched_log.spectrogram("gyro")
    assert gram.power.shape == (3, len(found.frequency), 5) and numpy.all(numpy.diff(gram.times) > 0)


@pytest.mark.parametrize("params, covered", [(NOTCH_150, [True, True]), (NOTCH_80_FUNDAMENTAL, [False, False])])
def test_filter_review_judges_the_peaks_against_the_notch(params, covered):
    review = read_log(batch_sampler_log(params, missing=())).filter_review()
    x = [c for c in review.coverage if c.axis == "x"]
    assert [round(c.frequency) for c in x] == [150, 300]
    assert [c.covered for c in x] == covered
    if covered[0]:
        assert "notch centred 150 Hz \u00b1 20: covered" in x[0].text
        assert "notch (harmonic 2) centred 300 Hz \u00b1 40: covered" in x[1].text
        at = numpy.argmin(abs(review.frequency - TONE))
        # The filtered tone drops by about the notch's depth; far from it nothing changes.
        assert 10 * numpy.log10(review.after[at, 0] / review.before[at, 0]) < -25
        far = numpy.argmin(abs(review.frequency - 450))
        assert review.after[far, 2] == pytest.approx(review.before[far, 2], rel=0.05)
        assert review.bands() == [("INS_HNTCH", 1, 130.0, 170.0), ("INS_HNTCH", 2, 260.0, 340.0)]
    else:
        assert "not covered" in x[0].text and x[0].centre == 80.0


def _rbj_notch(centre, bandwidth, depth, rate):
    """A notch of `depth` dB as the cookbook's peaking filter of gain -depth:
    Q from the band's edges (geometric about the centre, the lower edge at
    centre - bandwidth/2) through the octave form, and the cookbook's Q
    scaled by A so its poles match a notch whose depth sits in the zeros."""
    lower = centre - bandwidth / 2
    octaves = math.log2((centre * centre / lower) / lower)
    q = 1 / (2 * math.sinh(math.log(2) / 2 * octaves))
    a = 10 ** (-depth / 40)
    w = 2 * math.pi * centre / rate
    alpha = math.sin(w) / (2 * q / a)
    return [1 + alpha * a, -2 * math.cos(w), 1 - alpha * a], [1 + alpha / a, -2 * math.cos(w), 1 - alpha / a]


@pytest.mark.parametrize("centre, bandwidth, depth, rate, harmonics, composite", [
    (80.0, 40.0, 40.0, 1000.0, (1,), 1), (160.0, 60.0, 15.0, 2000.0, (1, 2, 3), 1),
    (97.0, 25.0, 6.0, 4000.0, (1, 2), 2), (120.0, 48.0, 30.0, 1000.0, (1, 2, 3, 4), 3)])
def test_notch_response_agrees_with_the_cookbook_form(centre, bandwidth, depth, rate, harmonics, composite):
    frequency = numpy.linspace(5, rate * 0.45, 20)
    a, q = attenuation_and_q(centre, bandwidth / composite, depth)
    ours = response([notch_section(c, a, q, rate) for _, c in
                     harmonic_centres(centre, bandwidth, harmonics, composite, rate)], frequency, rate)
    theirs = numpy.ones(len(frequency))
    spread = bandwidth / (32 * centre)
    offsets = {1: [1.0], 2: [1 - spread, 1 + spread], 3: [1 - spread, 1.0, 1 + spread]}[composite]
    for harmonic in harmonics:
        if harmonic * centre >= 0.48 * rate:
            continue
        for offset in offsets:
            b, a_ = _rbj_notch(harmonic * centre * offset, bandwidth / composite * harmonic * offset, depth, rate)
            theirs *= abs(scipy.signal.freqz(b, a_, worN=frequency, fs=rate)[1]) ** 2
    assert 10 * numpy.log10(ours) == pytest.approx(10 * numpy.log10(theirs), abs=0.1)
    # At the centre the notch takes off its depth.
    single = response([notch_section(centre, a, q, rate)], numpy.array([centre]), rate)
    assert 10 * numpy.log10(single[0]) == pytest.approx(-depth, abs=1e-6)


ARM_TYPE, STAT_TYPE = 150, 151


def flying(start_us, end_us, step_us=100_000):
    """ARM and STAT rows: armed and flying from `start_us` to `end_us`."""
    packets = [format_packet(ARM_TYPE, "ARM", "QB", "TimeUS,ArmState"), format_packet(STAT_TYPE, "STAT", "QBB", "TimeUS,isFlying,Armed"),
               data_packet(ARM_TYPE, "QB", start_us - step_us, 1)]
    packets += [data_packet(STAT_TYPE, "QBB", t, int(t < end_us), 1) for t in range(start_us, end_us + 2 * step_us, step_us)]
    return b"".join(packets + [data_packet(ARM_TYPE, "QB", end_us + 2 * step_us, 0)])


def _second_order(natural_hz, damping):
    w = 2 * math.pi * natural_hz
    return scipy.signal.TransferFunction([w * w], [1, 2 * damping * w, w * w])


def rate_log(natural_hz=6.0, damping=0.5, seconds=30, rate=400, seed=3):
    """RATE at `rate` Hz: a roll target of random steps and the roll rate a
    second-order system of known rise time and overshoot makes of it."""
    rng = numpy.random.default_rng(seed)
    levels = []
    while len(levels) < seconds * rate:
        levels += [rng.uniform(-120, 120)] * int(rng.uniform(0.15, 0.6) * rate)
    desired = numpy.array(levels[:seconds * rate])
    system = _second_order(natural_hz, damping)
    b, a, _ = scipy.signal.cont2discrete((system.num, system.den), 1 / rate, method="zoh")
    actual = scipy.signal.lfilter(b.ravel(), a, desired)
    packets = [format_packet(RATE_TYPE, "RATE", "Qffffff", "TimeUS,RDes,R,PDes,P,YDes,Y")]
    for i, (d, r) in enumerate(zip(desired, actual)):
        packets.append(data_packet(RATE_TYPE, "Qffffff", 1_000_000 + i * 1_000_000 // rate, d, r, 0.0, 0.0, 0.0, 0.0))
    return b"".join(packets) + flying(1_000_000, 1_000_000 + seconds * 1_000_000), desired, actual


def test_step_response_of_a_known_system_is_recovered():
    data, desired, actual = rate_log()
    log = read_log(data)
    found = log.step_response("roll")
    time = numpy.linspace(0, 0.5, 5001)
    _, truth = scipy.signal.step(_second_order(6.0, 0.5), T=time)
    rise = time[numpy.argmax(truth >= 0.9)] - time[numpy.argmax(truth >= 0.1)]
    overshoot = (truth.max() - 1) * 100
    assert found.rise_time == pytest.approx(rise, rel=0.1)
    assert found.overshoot == pytest.approx(overshoot, rel=0.1)
    assert found.settled == pytest.approx(1, abs=0.1)
    # The pitch target never moves: nothing to deconvolve.
    with pytest.raises(NoStepResponse, match="moves 10 deg/s"):
        log.step_response("pitch")
    errors = log.rate_tracking().to_arrow().to_pylist()
    roll = [row for row in errors if row["axis"] == "roll"]
    assert len(roll) == 1 and roll[0]["phase"] == "in air" and roll[0]["samples"] == len(desired)
    assert roll[0]["rms_error"] == pytest.approx(float(numpy.sqrt(numpy.mean((desired - actual) ** 2))), rel=1e-5)


def test_actual_rates_are_interpolated_at_the_targets_times_and_not_across_holes():
    actual_times = numpy.r_[numpy.arange(0, 1e6, 2500.0), numpy.arange(1.5e6, 2e6, 2500.0)]
    ramp = actual_times / 1e4  # deg/s rising steadily
    times = numpy.arange(1000.0, 2e6, 20000.0)
    aligned = align(AxisRates("roll", "test", Series(times, numpy.zeros(len(times))), Series(actual_times, ramp)))
    assert not numpy.any((aligned.times > 1e6) & (aligned.times < 1.5e6))  # the hole stays a hole
    assert aligned.actual == pytest.approx(aligned.times / 1e4)
    assert len(aligned.times) == len(times) - numpy.sum((times > 997500) & (times < 1.5e6)) - numpy.sum(times > 1997500)


def test_a_source_too_slow_is_refused_with_the_nyquist_limit():
    packets = [format_packet(GYR, "GYR", "QBQfff", "TimeUS,I,SampleUS,GyrX,GyrY,GyrZ")]
    packets += [data_packet(GYR, "QBQfff", 1000 + i * 25_000, 0, 1000 + i * 25_000, 0.1, 0.0, 0.0) for i in range(400)]
    log = read_log(b"".join(packets))
    with pytest.raises(NoSpectrum, match="GYR samples at 40 Hz, so its spectrum stops at 20 Hz"):
        log.spectrum("gyro")
    assert log.spectrum("gyro", max_frequency=15).nyquist == pytest.approx(20)
    with pytest.raises(NoSpectrum, match="no high-rate accel samples"):
        log.spectrum("accel")
    with pytest.raises(ValueError, match="signal must be one of"):
        log.spectrum("gyroscope")


def _parm_log(rows, default=True):
    fmt, labels = ("QNff", "TimeUS,Name,Value,Default") if default else ("QNf", "TimeUS,Name,Value")
    packets = [format_packet(PARM, "PARM", fmt, labels)]
    packets += [data_packet(PARM, fmt, 1000 * (i + 1), name.encode(), *values[:len(fmt) - 2])
                for i, (name, *values) in enumerate(rows)]
    return read_log(b"".join(packets))


def test_parameter_differences_between_logs_and_from_defaults():
    good = _parm_log([("ATC_RAT_RLL_P", 0.135, 0.135), ("INS_GYRO_FILTER", 20.0, 20.0), ("OLD", 1.0, 0.0)])
    today = _parm_log([("ATC_RAT_RLL_P", 0.135, 0.135), ("INS_GYRO_FILTER", 20.0, 20.0),
                       ("INS_GYRO_FILTER", 40.0, 20.0), ("NEW", 2.0, math.nan), ("COMPASS_DEC", 0.2, 0.0)])
    assert today.param_diff(good).to_pylist() == [
        {"name": "COMPASS_DEC", "value": pytest.approx(0.2), "other": None, "change": "added"},
        {"name": "INS_GYRO_FILTER", "value": 40.0, "other": 20.0, "change": "changed"},
        {"name": "NEW", "value": 2.0, "other": None, "change": "added"},
        {"name": "OLD", "value": None, "other": 1.0, "change": "removed"}]
    changed = today.param_diff()
    assert changed.to_pylist() == [{"name": "COMPASS_DEC", "value": pytest.approx(0.2), "default": 0.0},
                                   {"name": "INS_GYRO_FILTER", "value": 40.0, "default": 20.0}]
    assert changed.schema.metadata[b"without_default"] == b"1"  # NEW's default is not known
    with pytest.raises(DefaultsUnknown, match="defaults unknown"):
        _parm_log([("A", 1.0)], default=False).param_diff()


def test_ulog_defaults_are_the_recorded_ones_else_the_value():
    data = (u.HEADER + u.flag_bits() + u.param("float MPC_XY_VEL", struct.pack("<f", 1.5))
            + u.param("int32_t COM_ARM", struct.pack("<i", 1)) + u.param("float MC_ROLL_P", struct.pack("<f", 6.5))
            + u.default_param(1, "float MPC_XY_VEL", struct.pack("<f", 2.0))
            + u.default_param(3, "float MC_ROLL_P", struct.pack("<f", 6.0)))
    log = read_log(data)
    assert log.param_diff().to_pylist() == [{"name": "MC_ROLL_P", "value": 6.5, "default": 6.0}]
    assert [r["name"] for r in log.param_diff(kind="system").to_pylist()] == ["MC_ROLL_P", "MPC_XY_VEL"]


def test_commands(tmp_path, capsys):
    path = tmp_path / "notch.bin"
    path.write_bytes(batch_sampler_log(NOTCH_150))
    assert main(["spectrum", "--filters", str(path), "-o", str(tmp_path / "psd.parquet")]) == 0
    out = capsys.readouterr().out
    assert "Nyquist limit 500 Hz" in out and "harmonic 2 of 150.0 Hz" in out and ": covered" in out
    assert (tmp_path / "psd.parquet").stat().st_size > 0
    assert main(["spectrum", "--json", "--signal", "gyro", str(path)]) == 0
    assert json.loads(capsys.readouterr().out)["nyquist"] == RATE / 2
    slow = tmp_path / "slow.bin"
    slow.write_bytes(rate_log(seconds=1)[0])
    assert main(["spectrum", str(slow)]) == 2
    assert "no high-rate gyro samples" in capsys.readouterr().err
    other = tmp_path / "other.bin"
    other.write_bytes(batch_sampler_log(NOTCH_80_FUNDAMENTAL, batches=1))
    assert main(["params", "--diff", str(path), str(other)]) == 0
    assert capsys.readouterr().out.splitlines() == ["INS_HNTCH_FREQ\t150\t80", "INS_HNTCH_HMNCS\t3\t1"]
    assert main(["params", "--non-default", str(slow)]) == 2
    assert "defaults unknown" in capsys.readouterr().err


# The corpus: real logs, checked against what their raw data show.

def test_px4_sensor_combined_spectrum_stops_at_its_nyquist_limit():
    found = read_log(sample_path("px4-sample.ulg")).spectrum("gyro")
    assert found.source == "sensor_combined" and 123 < found.nyquist < 125.5
    assert found.frequency[-1] <= found.nyquist and len(found.holes) == 8  # the logger's dropouts


def test_rover_and_copter_batch_sampler_spectra():
    rover = read_log(sample_path("rover-4.7.0dev-sitl.bin"))
    for signal, rate in (("gyro", 1000.0), ("accel", 1000.0)):
        found = rover.spectrum(signal)
        assert found.source == "ISBD" and found.rate == pytest.approx(rate, rel=1e-3) and found.windows >= 3
    assert rover.spectrum("gyro", instance=1).rate == pytest.approx(760.46, abs=0.1)
    copter = read_log(sample_path("copter-4.6.2-first80k.bin")).spectrum("gyro")
    assert copter.samples == 18 * 32 and copter.rate == pytest.approx(2000.3, abs=0.1)


def test_rover_parameters_of_the_bin_against_its_tlog():
    bin_log, tlog = read_log(sample_path("rover-4.7.0dev-sitl.bin")), read_log(sample_path("rover-4.7.0dev-sitl.tlog"))
    a, b = bin_log.params, tlog.params
    direct = {name for name in set(a) | set(b) if a.get(name) != b.get(name)}
    table = bin_log.param_diff(tlog)
    assert set(table.column("name").to_pylist()) == direct
    assert all(a.get(n) == v and b.get(n) == o for n, v, o in
               zip(*(table.column(c).to_pylist() for c in ("name", "value", "other"))))
    with pytest.raises(DefaultsUnknown, match="MAVLink"):
        tlog.param_diff()
    # An ArduPilot stream carries the filter parameters, but none of how the filters ran.
    from quillon_tools.tuning.filter_review import NoFilters
    assert "INS_GYRO_FILTER" in b and bin_log.filter_review().filters
    with pytest.raises(NoFilters, match="DataFlash"):
        tlog.filter_review()


def test_readme_example_prints_what_the_readme_says(monkeypatch, capsys):
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    code, printed = re.search(r"```python\n((?:(?!```).)*?log\.spectrum\((?:(?!```).)*)```\n\nprints `(.*?)`",
                              readme, re.S).groups()
    monkeypatch.chdir(REPO)
    exec(compile(code, "README.md", "exec"), {})
    assert capsys.readouterr().out.strip() == printed


# Sources and sensors: which samples a spectrum is made of.

def sampler_packets(batches):
    """ISBH/ISBD packets of (N, type, instance, first_us, rate, blocks, value_fn) batches."""
    packets = [format_packet(ISBH, "ISBH", "QHBBHHQf", "TimeUS,N,type,instance,mul,smp_cnt,SampleUS,smp_rate"),
               format_packet(ISBD, "ISBD", "QHHaaa", "TimeUS,N,seqno,x,y,z")]
    for number, kind, instance, first, rate, blocks, value in batches:
        packets.append(data_packet(ISBH, "QHBBHHQf", first, number, kind, instance, MUL, 1024, first, rate))
        for block in blocks:
            t = (numpy.arange(32) + block * 32) / (rate if math.isfinite(rate) else RATE)
            counts = numpy.round(value(t) * MUL).astype(int).tolist()
            packets.append(data_packet(ISBD, "QHHaaa", first + 1000 * block, number, block, *(counts * 3)))
    return packets


def tone(frequency):
    return lambda t: 0.3 * numpy.sin(2 * numpy.pi * frequency * t)


def test_batches_are_told_apart_by_sensor_filter_stage_and_batch_number():
    every = range(32)
    packets = sampler_packets([
        (0, 1, 0, 1_000_000, 1000.0, every, tone(100)),  # gyro 0, before the filters
        (1, 0, 0, 2_000_000, 1000.0, every, tone(40)),  # accel 0
        (2, 1, 3, 3_000_000, 1000.0, every, tone(200)),  # gyro 0 after the filters: 0 + three gyros
        (3, 1, 1, 4_000_000, 2000.0, every, tone(300)),  # gyro 1
        # Batch numbers wrap: a later batch 0 owns the blocks after its own header; a
        # block logged twice counts once, one numbered beyond the batch not at all.
        (0, 1, 0, 5_000_000, 1000.0, [*every, 5, 40], tone(100))])
    params = {"INS_LOG_BAT_OPT": 4, "INS_GYR_ID": 1, "INS_GYR2_ID": 2, "INS_GYR3_ID": 3}
    log = read_log(b"".join([*packets, format_packet(PARM, "PARM", "QNff", "TimeUS,Name,Value,Default"),
                             *_parameters(params)]))
    cases = [(log.spectrum("gyro"), 100, 0, False, 2048), (log.spectrum("accel"), 40, 0, False, 1024),
             (log.spectrum("gyro", filtered=True), 200, 0, True, 1024),
             (log.spectrum("gyro", instance=1), 300, 1, False, 1024)]
    for found, frequency, instance, post, samples in cases:
        # (an exact tone's rounding to counts repeats too, far weaker: the strongest peak is the tone)
        assert round(max(found.peaks, key=lambda p: p.amplitude).frequency) == frequency
        assert (found.instance, found.post_filter, found.samples + found.samples_left_out) == (instance, post, samples)
    with pytest.raises(NoSpectrum, match="no high-rate gyro 2 samples"):
        log.spectrum("gyro", instance=2)


def test_a_time_window_keeps_its_samples_only():
    log = read_log(batch_sampler_log(NOTCH_150, batches=4, missing=()))
    whole = log.spectrum("gyro")
    first = whole.start
    later = log.spectrum("gyro", start=first + 1_000_000)  # after the first batch
    assert later.windows == whole.windows - 1 and later.start >= first + 1_000_000
    import datetime
    at = datetime.datetime.fromtimestamp((first + 2_900_000) / 1e6, datetime.timezone.utc)
    assert log.spectrum("gyro", end=at).windows == 2
    with pytest.raises(NoSpectrum, match="in the time asked for"):
        log.spectrum("gyro", start=first + 100e6)


def ulog_gyro_log(rates_hz=(("sensor_combined", 250), ("sensor_gyro", 1000)), seconds=4, esc_rpm=None):
    """PX4 topics: each gyro topic at its rate carrying a 90 Hz tone (sensor_gyro
    stamped by timestamp_sample), ESC RPM when given."""
    out = [u.HEADER, u.flag_bits(),
           u.format_("sensor_combined:uint64_t timestamp;float[3] gyro_rad;uint32_t gyro_integral_dt;"),
           u.format_("sensor_gyro:uint64_t timestamp;uint64_t timestamp_sample;float x;float y;float z;"),
           u.format_("esc_report:uint64_t timestamp;int32_t esc_rpm;"),
           u.format_("esc_status:uint64_t timestamp;uint8_t esc_count;esc_report[2] esc;")]
    ids = {"sensor_combined": 0, "sensor_gyro": 1}
    rng = numpy.random.default_rng(11)
    out += [u.subscribe(ids[name], 0, name) for name, _ in rates_hz] + [u.subscribe(2, 0, "esc_status")]
    for name, rate in rates_hz:
        for i in range(seconds * rate):
            t = 1_000_000 + i * 1_000_000 // rate
            value = 0.2 * math.sin(2 * math.pi * 90 * (t / 1e6)) + rng.normal(0, 0.01)
            row = (struct.pack("<Q3fI", t, value, 0, 0, 0) if name == "sensor_combined"
                   else struct.pack("<QQ3f", t + 300, t, value, 0, 0))
            out.append(u.data(ids[name], row))
    for t in range(1_000_000, 1_000_000 + seconds * 1_000_000, 100_000) if esc_rpm else ():
        out.append(u.data(2, struct.pack("<QBQiQi", t, 2, t, esc_rpm, t, esc_rpm)))
    return b"".join(out)


def test_px4_takes_its_fastest_gyro_topic_and_flags_motor_orders():
    found = read_log(ulog_gyro_log(esc_rpm=2700)).spectrum("gyro")  # motors at 45 Hz: 90 Hz is their 2nd
    assert (found.source, round(found.rate)) == ("sensor_gyro", 1000)
    assert found.motor_frequency == pytest.approx(45.0)
    (peak,) = [p for p in found.peaks if p.axis == "x"]
    assert round(peak.frequency) == 90 and peak.motor_order == 2
    slow = read_log(ulog_gyro_log(rates_hz=(("sensor_combined", 250),))).spectrum("gyro")
    assert slow.source == "sensor_combined" and slow.nyquist == pytest.approx(125) and slow.motor_frequency is None


# The filter review's moving notch, and its options.

def test_a_tracked_notch_is_judged_where_the_log_says_it_was():
    params = {**NOTCH_150, "INS_HNTCH_MODE": 1, "INS_HNTCH_FREQ": 80.0, "INS_HNTCH_HMNCS": 3}
    packets = [batch_sampler_log(params, missing=()),
               format_packet(140, "FTN", "QBBff", "TimeUS,I,NDn,NF1,NF2")]
    # The throttle moved the notch to 150 Hz (the second source of NDn=1 is not in use).
    packets += [data_packet(140, "QBBff", t, 0, 1, 150.0, 999.0) for t in range(1_000_000, 12_000_000, 100_000)]
    review = read_log(b"".join(packets)).filter_review()
    x = [c for c in review.coverage if c.axis == "x"]
    assert [c.covered for c in x] == [True, True] and review.centres == {"INS_HNTCH": [150.0]}
    assert "INS_HNTCH: centre followed over time from FTN" in review.lines()
    # Q is kept as the notch moves: its band widens with the centre.
    assert x[0].half_band == pytest.approx(20 * 150 / 80)
    untracked = read_log(batch_sampler_log(params, missing=())).filter_review()
    # At 80 Hz, its second harmonic's band (160 +- 40) holds 150 Hz; nothing holds 300 Hz.
    assert [(c.covered, c.harmonic) for c in untracked.coverage if c.axis == "x"] == [(True, 2), (False, 2)]
    assert any("does not record where the notch moved: judged at 80 Hz" in line for line in untracked.lines())


@pytest.mark.parametrize("options, low_pass, notches_at_tone", [(0, 0.0, 1), (1, 0.0, 2), (16, 0.0, 3), (0, 40.0, 1)])
def test_double_triple_and_low_pass_shape_the_response(options, low_pass, notches_at_tone):
    params = {**NOTCH_150, "INS_HNTCH_OPTS": options, "INS_GYRO_FILTER": low_pass}
    review = read_log(batch_sampler_log(params, batches=1, missing=())).filter_review()
    (notch,) = review.notches
    assert notch.composite == notches_at_tone
    at = numpy.argmin(abs(review.frequency - 450))
    # The two-pole Butterworth made digital by the bilinear transform, warped at its cutoff:
    # |H|^2 = 1 / (1 + (tan(pi f / fs) / tan(pi fc / fs))^4).
    expected = (-10 * math.log10(1 + (math.tan(math.pi * 450 / RATE) / math.tan(math.pi * low_pass / RATE)) ** 4)
                if low_pass else 0.0)
    assert review.response[at] == pytest.approx(expected, abs=0.1)
    assert min(review.response[numpy.abs(review.frequency - TONE) < 3]) < -20


# Rates: where they come from, and what the tracking reports.

def test_px4_rates_are_deg_per_second_and_judged_in_the_air_per_mode():
    out = [u.HEADER, u.flag_bits(),
           u.format_("vehicle_rates_setpoint:uint64_t timestamp;float roll;float pitch;float yaw;"),
           u.format_("vehicle_angular_velocity:uint64_t timestamp;uint64_t timestamp_sample;float[3] xyz;"),
           u.format_("vehicle_land_detected:uint64_t timestamp;bool landed;"),
           u.format_("vehicle_status:uint64_t timestamp;uint8_t nav_state;"),
           u.subscribe(0, 0, "vehicle_rates_setpoint"), u.subscribe(1, 0, "vehicle_angular_velocity"),
           u.subscribe(2, 0, "vehicle_land_detected"), u.subscribe(3, 0, "vehicle_status")]
    out += [u.data(2, struct.pack("<Q?", t, landed)) for t, landed in ((1_000_000, True), (2_000_000, False))]
    out += [u.data(3, struct.pack("<QB", t, mode)) for t, mode in ((1_000_000, 0), (3_000_000, 2))]
    for i in range(400):  # 4 s; the response lags by 0.1 rad/s while flying in manual, 0.2 in position
        t = 1_000_000 + i * 10_000
        lag = 0.0 if t < 2_000_000 else 0.1 if t < 3_000_000 else 0.2
        out.append(u.data(0, struct.pack("<Q3f", t, 1.0, 0.0, 0.0)))
        jitter = 1e-4 * (-1) ** i  # a gyro read afresh never repeats to the bit
        out.append(u.data(1, struct.pack("<QQ3f", t + 500, t, 1.0 - lag + jitter, jitter, jitter)))
    rows = read_log(b"".join(out)).rate_tracking().to_arrow().to_pylist()
    roll = {row["mode"]: row for row in rows if row["axis"] == "roll"}
    assert {row["phase"] for row in rows} == {"in air"}
    assert roll["MANUAL"]["rms_error"] == pytest.approx(math.degrees(0.1), rel=1e-3)
    assert roll["POSCTL"]["rms_error"] == pytest.approx(math.degrees(0.2), rel=1e-3)
    assert roll[None]["samples"] == 300 and roll[None]["max_error"] == pytest.approx(math.degrees(0.2), rel=1e-3)


def test_a_response_the_target_does_not_drive_gives_no_rise_time():
    rng = numpy.random.default_rng(5)
    rate, count = 400, 400 * 20
    desired = numpy.repeat(rng.uniform(-100, 100, count // 80), 80)
    unrelated = scipy.signal.lfilter([0.05], [1, -0.95], rng.normal(0, 50, count))
    times = 1e6 + numpy.arange(count) * 1e6 / rate
    from quillon_tools.tuning.step_response import step_response
    found = step_response(align(AxisRates("roll", "test", Series(times, desired), Series(times, unrelated))))
    assert found.rise_time is None and found.overshoot is None and "does not drive" in found.note


# What a report draws.

def test_panels_give_tables_or_the_reason():
    from quillon_tools.tuning import panels
    log = read_log(batch_sampler_log(NOTCH_150, missing=()))
    psd = panels.spectrum_panel(log)
    assert psd.reason is None and psd.tables["bands"].num_rows == 2 and psd.tables["psd"].num_rows == 513
    assert panels.spectrogram_panel(log).tables["spectrogram"].num_rows == 513 * 6
    parameters = panels.parameter_panel(log).tables["parameters"]
    assert parameters.num_rows == len(NOTCH_150) and parameters.column("changed").null_count == len(NOTCH_150)
    assert panels.rate_panel(log).reason == "the log has no desired and actual body rates"
    steps = panels.step_panel(read_log(rate_log(seconds=10)[0]))
    assert steps.tables["step"].num_rows == 200 and steps.facts["roll"]["rise_time"] > 0
    assert "moves 10 deg/s" in steps.facts["yaw"]["reason"]


def test_damaged_batches_are_left_out_not_bridged_or_fatal():
    every = range(32)
    packets = sampler_packets([(0, 1, 0, 1_000_000, 1000.0, every, tone(100)),
                               (1, 1, 0, 2_000_000, float("nan"), every, tone(100)),  # no rate
                               (2, 1, 0, 3_000_000, 1000.0, every, tone(100))])
    orphans = [data_packet(ISBD, "QHHaaa", 4_000_000, 9, block, *([5] * 96)) for block in range(32)]  # no header
    found = read_log(b"".join([*packets, *orphans])).spectrum("gyro")
    assert found.samples == 2048 and round(found.peaks[0].frequency) == 100
    # A header whose blocks never came gives nothing at all.
    with pytest.raises(NoSpectrum, match="no high-rate gyro samples"):
        read_log(b"".join(sampler_packets([(0, 1, 0, 1_000_000, 1000.0, [], tone(1))]))).spectrum("gyro")


@pytest.mark.parametrize("argv", [["params", "--diff", "a.bin", "b.bin", "c.bin"], ["params"],
                                  ["params", "--non-default"], ["spectrum", "--filters", "--signal", "accel", "x.bin"],
                                  ["spectrum", "x.bin", "-o", "x.txt"]])
def test_command_usage_errors(argv, capsys):
    with pytest.raises(SystemExit) as stopped:
        main(argv)
    assert stopped.value.code == 2 and "error:" in capsys.readouterr().err


def test_mavlink_rates_from_attitude_target_and_attitude():
    log = read_log(_mavlink_rates_log())
    roll = [r for r in log.rate_tracking().to_arrow().to_pylist() if r["axis"] == "roll"]
    assert roll[0]["source"] == "ATTITUDE_TARGET / ATTITUDE" and roll[0]["phase"] == "in air"
    assert roll[0]["rms_error"] == pytest.approx(math.degrees(0.05), rel=1e-3)
    with pytest.raises(NoStepResponse, match="logged at 20 Hz"):
        log.step_response("roll")


def test_times_and_window_lengths_as_callers_give_them():
    from quillon_tools.tuning.times import to_micros
    assert to_micros(numpy.datetime64("1970-01-01T00:00:01")) == to_micros(1_000_000) == 1e6
    with pytest.raises(TypeError, match="microseconds"):
        to_micros("yesterday")
    log = read_log(batch_sampler_log(NOTCH_150, batches=2, missing=()))
    assert log.spectrum("gyro", nperseg=256).resolution == pytest.approx(RATE / 256)
    with pytest.raises(ValueError, match="nperseg must be at least 8"):
        log.spectrum("gyro", nperseg=4)


# What each format declares of its samples, and what the tuning reads of them.

def _mavlink_rates_log():
    """10 s at 20 Hz, armed and in the air: the vehicle rolls 0.05 rad/s slower than asked."""
    from mavlink_bytes import NUMBERS, frame_v2
    out = b""
    for i in range(200):
        t = 1_700_000_000_000_000 + i * 50_000
        jitter = 1e-4 * (-1) ** i  # a gyro read afresh never repeats to the bit
        target = {"time_boot_ms": i * 50, "body_roll_rate": 0.5, "body_pitch_rate": 0.0, "body_yaw_rate": 0.0}
        attitude = {"time_boot_ms": i * 50, "rollspeed": 0.45 + jitter, "pitchspeed": jitter, "yawspeed": jitter}
        out += struct.pack(">Q", t) + frame_v2(NUMBERS["attitude_target"], target)
        out += struct.pack(">Q", t + 10_000) + frame_v2(NUMBERS["attitude"], attitude)
        if i % 20 == 0:
            heartbeat = {"custom_mode": 0, "type": 2, "autopilot": 3, "base_mode": 128 | 1, "system_status": 4,
                         "mavlink_version": 3}
            out += struct.pack(">Q", t + 20_000) + frame_v2(NUMBERS["heartbeat"], heartbeat)
            out += struct.pack(">Q", t + 30_000) + frame_v2(NUMBERS["extended_sys_state"],
                                                             {"vtol_state": 0, "landed_state": 2})
    return out


def _answers(log):
    """What the tuning answers say of a log, as plain values."""
    found = {"rates": log.rate_tracking().to_arrow().to_pylist()}
    try:
        spectrum = log.spectrum("gyro")
        found["spectrum"] = (spectrum.source, spectrum.rate, spectrum.motor_frequency,
                             [(p.axis, round(p.frequency, 3)) for p in spectrum.peaks])
    except NoSpectrum as error:
        found["spectrum"] = str(error)
    try:
        found["filters"] = log.filter_review().lines()
    except NoSpectrum as error:
        found["filters"] = str(error)
    return found


def _tracked_notch_log():
    params = {**NOTCH_150, "INS_HNTCH_MODE": 1, "INS_HNTCH_FREQ": 80.0}
    packets = [batch_sampler_log(params, missing=()), format_packet(140, "FTN", "QBBf", "TimeUS,I,NDn,NF1"),
               format_packet(141, "ESC", "QBi", "TimeUS,Instance,RPM")]
    packets += [data_packet(140, "QBBf", t, 0, 1, 150.0) for t in range(1_000_000, 12_000_000, 100_000)]
    packets += [data_packet(141, "QBi", t, 0, 4500) for t in range(1_000_000, 12_000_000, 100_000)]
    return b"".join(packets)


@pytest.mark.parametrize("data", [_tracked_notch_log(), rate_log(seconds=5)[0], ulog_gyro_log(esc_rpm=2700),
                                  _mavlink_rates_log()], ids=["dataflash", "rates", "ulog", "mavlink"])
def test_a_log_read_for_its_report_gives_the_answers_of_the_whole_log(data):
    from quillon_tools.report.page import report_types
    whole = read_log(data)
    selected = read_log(data, report_types(whole.protocol))
    answers = _answers(whole)
    assert _answers(selected) == answers
    assert answers["rates"] or not isinstance(answers["spectrum"], str)  # each log answers something


def _raw_gyro_log(params, seconds=3):
    """GYR instances 0 and 1 at 1 kHz, a 100 Hz tone on the first, 200 Hz on the second."""
    packets = [format_packet(GYR, "GYR", "QBQfff", "TimeUS,I,SampleUS,GyrX,GyrY,GyrZ"),
               format_packet(PARM, "PARM", "QNff", "TimeUS,Name,Value,Default"), *_parameters(params)]
    for i in range(seconds * 1000):
        t = 1_000_000 + i * 1000
        for instance, frequency in ((0, 100), (1, 200)):
            value = 0.3 * math.sin(2 * math.pi * frequency * i / 1000)
            packets.append(data_packet(GYR, "QBQfff", t, instance, t, value, value, value))
    return read_log(b"".join(packets))


def _strongest(found):
    return round(max(found.peaks, key=lambda p: p.amplitude).frequency)


def test_raw_imu_logging_tells_filtered_instances_by_its_option_bits():
    both = _raw_gyro_log({"INS_RAW_LOG_OPT": 8, "INS_GYR_ID": 1, "INS_GYR2_ID": 0})  # pre- and post-filter
    raw, filtered = both.spectrum("gyro"), both.spectrum("gyro", filtered=True)
    assert (raw.source, raw.instance, raw.post_filter, _strongest(raw)) == ("GYR", 0, False, 100)
    assert (filtered.instance, filtered.post_filter, _strongest(filtered)) == (0, True, 200)
    plain = _raw_gyro_log({"INS_RAW_LOG_OPT": 0})
    assert _strongest(plain.spectrum("gyro", instance=1)) == 200
    with pytest.raises(NoSpectrum, match="no high-rate post-filter gyro samples"):
        plain.spectrum("gyro", filtered=True)


def test_the_filters_run_at_the_rate_of_their_own_input():
    # Raw logging and the batch sampler log the filters' input, at their rate; a batch
    # sampler set to the sensor's rate does not, and INS_GYRO_RATE tells the filters'.
    raw = _raw_gyro_log({**NOTCH_150, "INS_GYRO_RATE": 1}).filter_review()
    assert raw.rate == pytest.approx(1000, rel=1e-3) and raw.spectrum.source == "GYR"
    batches = read_log(batch_sampler_log({**NOTCH_150, "INS_GYRO_RATE": 1}, missing=())).filter_review()
    assert batches.rate == RATE
    sensor_rate = read_log(batch_sampler_log({**NOTCH_150, "INS_GYRO_RATE": 1, "INS_LOG_BAT_OPT": 1},
                                             missing=())).filter_review()
    assert sensor_rate.rate == 2000.0 and "the filters run at 2000 Hz, the samples at 1000 Hz" in sensor_rate.notes


@pytest.mark.parametrize("mode, followed", [(4, True), (1, False)])
def test_an_fft_notch_follows_the_fft_peak(mode, followed):
    params = {**NOTCH_150, "INS_HNTCH_MODE": mode, "INS_HNTCH_FREQ": 80.0}
    packets = [batch_sampler_log(params, missing=()), format_packet(142, "FTN1", "Qf", "TimeUS,PkAvg")]
    packets += [data_packet(142, "Qf", t, 150.0) for t in range(1_000_000, 12_000_000, 100_000)]
    review = read_log(b"".join(packets)).filter_review()
    if followed:
        assert review.centres == {"INS_HNTCH": [150.0]}
        assert "INS_HNTCH: centre followed over time from FTN1" in review.lines()
    else:  # a throttle notch logs no centre of its own: the FFT's is not where it sat
        assert review.centres == {"INS_HNTCH": [80.0]}
        assert any("does not record where the notch moved" in line for line in review.lines())
