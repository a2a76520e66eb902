"""PX4's gyro filters as its parameters define them, their phase and
delay, and the review "as if" set otherwise: each against SciPy's own
designs (scipy.signal.butter, iirnotch, freqz, group_delay) on hand-built
logs."""

import math
import struct

import numpy
import pytest
import scipy.signal

import ulog_bytes as u

from quillon_tools import read_log
from quillon_tools.cli.main import main
from quillon_tools.tuning.filter_chain import section_response
from quillon_tools.tuning.px4_filters import low_pass_section, notch_section

RATE = 1000.0


def _scipy_chain(cutoff, centre, bandwidth, rate, frequency):
    b1, a1 = scipy.signal.butter(2, cutoff, fs=rate)
    b2, a2 = scipy.signal.iirnotch(centre, centre / bandwidth, fs=rate)
    _, h1 = scipy.signal.freqz(b1, a1, worN=frequency, fs=rate)
    _, h2 = scipy.signal.freqz(b2, a2, worN=frequency, fs=rate)
    _, d1 = scipy.signal.group_delay((b1, a1), w=frequency, fs=rate)
    _, d2 = scipy.signal.group_delay((b2, a2), w=frequency, fs=rate)
    h = h1 * h2
    return 20 * numpy.log10(numpy.abs(h)), numpy.degrees(numpy.unwrap(numpy.angle(h))), (d1 + d2) / rate * 1e3


@pytest.mark.parametrize("cutoff, centre, bandwidth, rate", [(40, 120, 30, 1000), (80, 250, 40, 8000), (30, 75, 20, 2000)])
def test_px4_low_pass_and_notch_match_scipy_in_gain_phase_and_delay(cutoff, centre, bandwidth, rate):
    frequency = numpy.linspace(1, rate / 2 * 0.95, 400)
    frequency = frequency[numpy.abs(frequency - centre) > 1]  # the notch's own zero has no phase or delay
    ours = section_response([low_pass_section(cutoff, rate), notch_section(centre, bandwidth, rate)], frequency, rate)
    gain_db, phase, delay = _scipy_chain(cutoff, centre, bandwidth, rate, frequency)
    assert 10 * numpy.log10(ours.gain) == pytest.approx(gain_db, abs=0.1)
    # The same phase but for whole turns (a notch's zero on the unit circle flips it by 180 deg).
    turn = (ours.phase - phase + 180) % 360 - 180
    assert numpy.abs(turn).max() < 1.0
    assert ours.delay == pytest.approx(delay, abs=1e-3)
    # PX4's filters are off at 0 Hz and at or above half the rate.
    assert low_pass_section(0, rate) is None and low_pass_section(rate / 2, rate) is None
    assert notch_section(0, bandwidth, rate) is None and notch_section(centre, 0, rate) is None


def px4_gyro_bytes(params, tone=90.0, seconds=4):
    """sensor_gyro at 1 kHz holding a `tone` Hz sine, its FFT's record of
    the gyro's rate, and the filter parameters."""
    out = [u.HEADER, u.flag_bits(),
           u.format_("sensor_gyro:uint64_t timestamp;uint64_t timestamp_sample;float x;float y;float z;"),
           u.format_("sensor_gyro_fft:uint64_t timestamp;float sensor_sample_rate_hz;float[3] peak_frequencies_x;"
                     "float[3] peak_frequencies_y;float[3] peak_frequencies_z;"),
           *[u.param(f"float {name}", struct.pack("<f", value)) for name, value in params.items()],
           u.subscribe(0, 0, "sensor_gyro"), u.subscribe(1, 0, "sensor_gyro_fft")]
    rng = numpy.random.default_rng(8)
    for i in range(int(seconds * RATE)):
        t = 1_000_000 + i * 1000
        value = 0.2 * math.sin(2 * math.pi * tone * i / RATE)
        out.append(u.data(0, struct.pack("<QQ3f", t + 200, t, value + rng.normal(0, 0.005), *rng.normal(0, 0.005, 2))))
        if i % 100 == 0:
            out.append(u.data(1, struct.pack("<Qf9f", t, RATE, *([math.nan] * 9))))
    return b"".join(out)


def px4_gyro_log(params, **kwargs):
    return read_log(px4_gyro_bytes(params, **kwargs))


PX4_PARAMS = {"IMU_GYRO_CUTOFF": 40.0, "IMU_DGYRO_CUTOFF": 30.0, "IMU_GYRO_NF0_FRQ": 150.0, "IMU_GYRO_NF0_BW": 20.0}


def test_px4_filter_review_and_what_if():
    log = px4_gyro_log(PX4_PARAMS)
    review = log.filter_review()
    table = review.to_arrow()
    assert table.column_names[:4] == ["frequency", "response_db", "phase_deg", "delay_ms"]
    assert review.rate == RATE and "IMU_GYRO_NF0: 150 Hz, bandwidth 20 Hz" in review.filters
    frequency = table.column("frequency").to_numpy()
    inside = (frequency > 1) & (frequency < 480) & (numpy.abs(frequency - 150) > 2)
    gain_db, phase, delay = _scipy_chain(40.0, 150.0, 20.0, RATE, frequency[inside])
    assert table.column("response_db").to_numpy()[inside] == pytest.approx(gain_db, abs=0.1)
    assert table.column("delay_ms").to_numpy()[inside] == pytest.approx(delay, abs=1e-3)
    (peak,) = [c for c in review.coverage if c.axis == "x"]
    assert round(peak.frequency) == 90 and not peak.covered
    expected = _scipy_chain(40.0, 150.0, 20.0, RATE, numpy.array([peak.frequency]))
    assert -peak.attenuation == pytest.approx(expected[0][0], abs=0.1)
    assert peak.phase_deg == pytest.approx(expected[1][0], abs=1.0)
    # As if the notch sat on the tone: SciPy's notch at 90 Hz says how much more it takes.
    moved = log.filter_review(params={"IMU_GYRO_NF0_FRQ": 90.0})
    (covered,) = [c for c in moved.coverage if c.axis == "x"]
    assert covered.covered and moved.changed == {"IMU_GYRO_NF0_FRQ": 90.0}
    # The attenuation at a peak is read off the spectrum's bins, as SciPy's is here.
    grid = moved.frequency[(moved.frequency > 80) & (moved.frequency < 100)]
    expected = numpy.interp(covered.frequency, grid, _scipy_chain(40.0, 90.0, 20.0, RATE, grid)[0])
    assert -covered.attenuation == pytest.approx(expected, abs=0.1)
    assert covered.attenuation > peak.attenuation + 20
    assert "as if set: IMU_GYRO_NF0_FRQ=90" in moved.lines()


def test_the_command_sets_parameters_for_the_review(tmp_path, capsys):
    import json
    path = tmp_path / "px4.ulg"
    path.write_bytes(px4_gyro_bytes(PX4_PARAMS))
    assert main(["spectrum", "--filters", "--json", str(path)]) == 0
    logged = json.loads(capsys.readouterr().out)
    assert main(["spectrum", "--filters", "--json", "--set", "IMU_GYRO_NF0_FRQ=90", "--set", "IMU_GYRO_NF0_BW=20",
                 str(path)]) == 0
    moved = json.loads(capsys.readouterr().out)
    before, after = ([c for c in facts["coverage"] if c["axis"] == "x"][0] for facts in (logged, moved))
    assert not before["covered"] and after["covered"] and after["attenuation"] > before["attenuation"] + 20
    assert moved["changed"] == {"IMU_GYRO_NF0_FRQ": 90.0, "IMU_GYRO_NF0_BW": 20.0}
    assert main(["spectrum", "--filters", "--set", "IMU_GYRO_NF0_FRQ=90", str(path)]) == 0
    out = capsys.readouterr().out
    assert "as if set: IMU_GYRO_NF0_FRQ=90" in out and ": covered" in out
    with pytest.raises(SystemExit):
        main(["spectrum", "--set", "IMU_GYRO_NF0_FRQ", str(path)])


def test_the_command_reads_a_flight_alone_and_writes_the_page(tmp_path, capsys):
    import json
    from test_tools_tuning import NOTCH_150, batch_sampler_log, flying
    path = tmp_path / "flight.bin"
    # Six batches 1.5 s apart from 2 s; in the air from 5 s to 9 s only.
    path.write_bytes(batch_sampler_log(NOTCH_150, missing=()) + flying(5_000_000, 9_000_000))
    assert main(["spectrum", "--flight", "1", "--json", str(path)]) == 0
    facts = json.loads(capsys.readouterr().out)
    assert facts["selection"] == "flight 1 in the air"
    assert 5_000_000 <= facts["start"] and facts["end"] <= 9_000_000
    assert main(["spectrum", "--json", str(path)]) == 0
    assert json.loads(capsys.readouterr().out)["start"] == facts["start"]  # in the air by default
    assert main(["spectrum", "--flight", "2", str(path)]) == 2
    assert "no flight 2 in the air" in capsys.readouterr().err
    pytest.importorskip("bokeh")
    page = tmp_path / "spectrum.html"
    assert main(["spectrum", "--filters", "--plot", str(page), str(path)]) == 0
    assert "Gyro spectrum" in page.read_text()


def test_suggestions_only_where_the_data_show_them_with_their_numbers():
    import re
    from test_tools_tuning import NOTCH_150, NOTCH_80_FUNDAMENTAL, batch_sampler_log
    assert read_log(batch_sampler_log(NOTCH_150, missing=())).filter_review().suggestions == []
    log = read_log(batch_sampler_log(NOTCH_80_FUNDAMENTAL, missing=()))
    (said,) = log.filter_review().suggestions
    match = re.match(r"INS_HNTCH_FREQ=150 INS_HNTCH_BW=75 would take (\d+) dB off the 150 Hz peak on gyro X \(now (\d+) dB\)",
                     said)
    assert match, said
    moved = log.filter_review(params={"INS_HNTCH_FREQ": 150.0, "INS_HNTCH_BW": 75.0})
    x = [c for c in moved.coverage if c.axis == "x" and abs(c.frequency - 150) < 2][0]
    assert x.covered and int(match.group(1)) == round(x.attenuation) and int(match.group(2)) <= 1
    # A notch set to follow the FFT while the FFT is off stays where it was set, and is said to.
    off = read_log(batch_sampler_log({**NOTCH_150, "INS_HNTCH_MODE": 4, "FFT_ENABLE": 0}, missing=())).filter_review()
    assert "INS_HNTCH follows the in-flight FFT (MODE 4) but FFT_ENABLE is 0: the notch stays at INS_HNTCH_FREQ 150 Hz" \
        in off.suggestions


def test_px4_fft_notch_with_the_fft_off_and_a_notch_to_add():
    review = px4_gyro_log({"IMU_GYRO_CUTOFF": 40.0, "IMU_GYRO_DNF_EN": 2, "IMU_GYRO_FFT_EN": 0}).filter_review()
    assert any("IMU_GYRO_FFT_EN is 0" in s for s in review.suggestions)
    assert any(s.startswith("IMU_GYRO_NF_FREQ=90") and "off the 90 Hz peak" in s for s in review.suggestions)
    assert "not in the log, taken at PX4's defaults: IMU_GYRO_DNF_BW 15, IMU_GYRO_DNF_HMC 3, IMU_GYRO_DNF_MIN 25" \
        in review.filters
