"""The tuning answers right by the data: units as each firmware logs them,
the controller judged only where it ran and the vehicle flew, sample rates
measured stretch by stretch, peaks that hold at two resolutions, a notch
judged as logged; each against an independent computation on a hand-built log."""

import math
import struct

import numpy
import pytest
import scipy.signal

from dataflash_bytes import data_packet, format_packet
import ulog_bytes as u
from test_tools_tuning import NOTCH_150, TONE, batch_sampler_log, flying

from quillon_tools import read_log

PIDR, MSG, IMU = 160, 161, 162


def plane_pid_log(seconds=20, rate=25, frozen_from=None, seed=5):
    """ArduPlane's PIDR at `rate` Hz (deg/s): a target of random steps, the
    gyro following it with a lag and noise; from `frozen_from` s on, MANUAL:
    the controller not running, its last target and rate logged again."""
    rng = numpy.random.default_rng(seed)
    count = seconds * rate
    target = numpy.repeat(rng.uniform(-60, 60, count // 10 + 1), 10)[:count]
    actual = scipy.signal.lfilter([0.3], [1, -0.7], target) + rng.normal(0, 2, count)
    if frozen_from is not None:
        at = int(frozen_from * rate)
        target[at:], actual[at:] = target[at - 1], actual[at - 1]
    packets = [format_packet(MSG, "MSG", "QZ", "TimeUS,Message"), data_packet(MSG, "QZ", 500_000, b"ArduPlane V4.4.3 (b1219f5b)"),
               format_packet(PIDR, "PIDR", "Qff", "TimeUS,Tar,Act")]
    start = 1_000_000
    times = start + numpy.arange(count) * (1_000_000 // rate)
    packets += [data_packet(PIDR, "Qff", int(t), float(d), float(a)) for t, d, a in zip(times, target, actual)]
    return b"".join(packets) + flying(start, start + seconds * 1_000_000), target.astype(numpy.float32), \
        actual.astype(numpy.float32)


def test_plane_rates_are_logged_in_degrees_and_idle_rows_are_left_out():
    data, target, actual = plane_pid_log()
    (roll,) = [r for r in read_log(data).rate_tracking().to_arrow().to_pylist() if r["mode"] is None]
    # Not 57.3 times more: Plane's PIDR is deg/s already.
    error = target.astype(float) - actual.astype(float)
    assert roll["rms_error"] == pytest.approx(float(numpy.sqrt(numpy.mean(error ** 2))), rel=1e-4)
    assert roll["rms_desired"] == pytest.approx(float(numpy.sqrt(numpy.mean(target.astype(float) ** 2))), rel=1e-4)
    data, target, actual = plane_pid_log(frozen_from=12)
    tracking = read_log(data).rate_tracking()
    (roll,) = [r for r in tracking.to_arrow().to_pylist() if r["mode"] is None]
    live = slice(0, 12 * 25)
    error = target[live].astype(float) - actual[live].astype(float)
    assert roll["samples"] == 12 * 25
    assert roll["rms_error"] == pytest.approx(float(numpy.sqrt(numpy.mean(error ** 2))), rel=1e-4)
    assert any("did not run" in note and "left out" in note for note in tracking.notes)


def test_no_tracking_is_given_for_a_log_that_never_flew():
    data, _, _ = plane_pid_log()
    grounded = data[:data.index(format_packet(150, "ARM", "QB", "TimeUS,ArmState"))]
    tracking = read_log(grounded).rate_tracking()
    assert tracking.rows == [] and tracking.notes == ["the log holds no time in the air: no rate tracking to judge"]


def two_rate_gyro(first=(1000, 2.0), second=(800, 4.0), tone=90.0, lost=()):
    """PX4 sensor_gyro stamped by timestamp_sample: a `tone` Hz sine at one
    rate, then another; each sample index in `lost` never logged."""
    out = [u.HEADER, u.flag_bits(),
           u.format_("sensor_gyro:uint64_t timestamp;uint64_t timestamp_sample;float x;float y;float z;"),
           u.subscribe(0, 0, "sensor_gyro")]
    times = []
    t = 1_000_000.0
    for rate, seconds in (first, second):
        times += list(t + numpy.arange(int(rate * seconds)) * 1e6 / rate)
        t = times[-1] + 1e6 / rate
    times = numpy.round(numpy.array(times))
    values = 0.2 * numpy.sin(2 * numpy.pi * tone * times / 1e6)
    rng = numpy.random.default_rng(2)
    noise = rng.normal(0, 0.01, (len(times), 3))
    for i, (stamp, value) in enumerate(zip(times, values)):
        if i not in lost:
            out.append(u.data(0, struct.pack("<QQ3f", int(stamp) + 200, int(stamp), value + noise[i, 0], noise[i, 1],
                                              noise[i, 2])))
    return read_log(b"".join(out)), times, values + noise[:, 0]


def test_a_tone_at_two_rates_reads_at_its_frequency_from_the_longest_stretch():
    log, times, x = two_rate_gyro()
    found = log.spectrum("gyro")
    facts = found.facts()
    # The 800 Hz stretch is the longest: rate and Nyquist are its own, the 1 kHz one is listed and left out.
    assert facts["rate"] == pytest.approx(800.0, rel=1e-4) and facts["nyquist"] == pytest.approx(400.0, rel=1e-4)
    assert [round(r["rate"]) for r in facts["rates"]] == [1000, 800]
    assert facts["rates"][0]["start"] == times[0] and facts["rates"][1]["end"] == times[-1]
    assert "stretches at another rate left out (1000 Hz for 2.0 s): the spectrum reads those at 800 Hz" in found.note
    # SciPy's Welch over the 800 Hz samples alone, with the same window.
    second = times >= times[2000]
    frequency, power = scipy.signal.welch(x[second], fs=800.0, nperseg=found.nperseg)
    (peak,) = [p for p in found.peaks if p.axis == "x"]
    assert peak.frequency == pytest.approx(frequency[numpy.argmax(power)], abs=found.resolution)
    assert peak.frequency == pytest.approx(90.0, abs=found.resolution / 2)


def test_a_lone_lost_sample_is_bridged_and_counted():
    log, _, _ = two_rate_gyro(first=(1000, 4.0), second=(1000, 0.001), lost=(1500, 2500))
    found = log.spectrum("gyro")
    assert found.samples_bridged == 2 and found.facts()["samples_bridged"] == 2 and not found.holes
    assert "2 lone lost samples bridged" in found.note
    log, _, _ = two_rate_gyro(first=(1000, 4.0), second=(1000, 0.001), lost=(1500, 1501))
    assert log.spectrum("gyro").samples_bridged == 0 and len(log.spectrum("gyro").holes) == 1


def test_a_peak_must_stand_above_the_noise_at_a_second_resolution():
    from quillon_tools.tuning.peaks import Peak, confirmed
    rng = numpy.random.default_rng(4)
    frequency = numpy.arange(257) * 2.0  # the coarser spectrum: 2 Hz bins of 8 windows
    flat = rng.chisquare(16, (257, 3)) / 16
    peak = Peak("x", 100.0, 0.1, 1.0, 7.4)
    assert confirmed([peak], frequency, flat, 8) == []
    toned = flat.copy()
    toned[50, 0] *= 40  # the tone at 100 Hz holds there too
    assert confirmed([peak], frequency, toned, 8) == [peak]
    assert confirmed([peak._replace(axis="y")], frequency, toned, 8) == []  # on its own axis only


def test_a_notch_logged_at_0_hz_was_off_and_takes_nothing():
    params = {**NOTCH_150, "INS_HNTCH_MODE": 1}
    packets = [batch_sampler_log(params, missing=()), format_packet(140, "FTN", "QBBf", "TimeUS,I,NDn,NF1")]
    packets += [data_packet(140, "QBBf", t, 0, 1, 0.0) for t in range(1_000_000, 12_000_000, 100_000)]
    review = read_log(b"".join(packets)).filter_review()
    (at_tone,) = [c for c in review.coverage if c.axis == "x" and abs(c.frequency - TONE) < 2]
    assert at_tone.attenuation == pytest.approx(0.0, abs=0.01)
    assert any("logs it off (0 Hz)" in line for line in review.lines())
    # Configured at 150 Hz and never logged off, it takes its depth there.
    on = read_log(batch_sampler_log(params, missing=())).filter_review()
    assert [c for c in on.coverage if c.axis == "x" and abs(c.frequency - TONE) < 2][0].attenuation > 20


def ten_hertz_rates(seconds=120, seed=9):
    """RATE at 10 Hz, in the air: a broadband roll and pitch target; the
    roll rate the target 2 samples (200 ms) late, the pitch rate the target
    through a first-order low-pass at 1 Hz (bilinear)."""
    from test_tools_tuning import RATE_TYPE
    rng = numpy.random.default_rng(seed)
    count = seconds * 10
    roll = rng.normal(0, 40, count)
    pitch = rng.normal(0, 40, count)
    late = numpy.r_[numpy.zeros(2), roll[:-2]] + rng.normal(0, 0.5, count)
    b, a = scipy.signal.butter(1, 1.0, fs=10.0)
    lagged = scipy.signal.lfilter(b, a, pitch) + rng.normal(0, 0.5, count)
    packets = [format_packet(RATE_TYPE, "RATE", "Qffffff", "TimeUS,RDes,R,PDes,P,YDes,Y")]
    for i in range(count):
        packets.append(data_packet(RATE_TYPE, "Qffffff", 1_000_000 + i * 100_000, roll[i], late[i], pitch[i], lagged[i],
                                   0.0, 0.0))
    return b"".join(packets) + flying(1_000_000, 1_000_000 + seconds * 1_000_000), (b, a)


def test_rates_logged_at_10_hz_give_delay_bandwidth_and_coherence_not_a_step_response():
    data, (b, a) = ten_hertz_rates()
    log = read_log(data)
    rows = {r["axis"]: r for r in log.rate_tracking().to_arrow().to_pylist() if r["mode"] is None}
    assert rows["roll"]["delay_ms"] == pytest.approx(200.0, abs=10.0)
    assert rows["roll"]["coherence"] > 0.9 and rows["roll"]["bandwidth_hz"] is None  # a pure delay keeps its gain
    # SciPy's own response of the low-pass says where it is 3 dB down.
    frequency, h = scipy.signal.freqz(b, a, worN=numpy.linspace(0.01, 4.99, 5000), fs=10.0)
    expected = frequency[numpy.argmax(numpy.abs(h) < 0.5 ** 0.5)]
    assert rows["pitch"]["bandwidth_hz"] == pytest.approx(expected, rel=0.1)
    assert rows["pitch"]["coherence"] > 0.9
    assert rows["yaw"]["delay_ms"] is None and rows["yaw"]["bandwidth_hz"] is None  # a target that never moves
    with pytest.raises(Exception, match="logged at 10 Hz: a step response needs 50 Hz or more"):
        log.step_response("roll")
