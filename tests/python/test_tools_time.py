"""The log's time: boot time onto UTC through the GPS fixes, and the span of
its regular rows, which stray and damaged times do not stretch."""
import datetime
import struct

import numpy
import pyarrow
import pytest

import ulog_bytes as u
from conftest import CORPUS_MISSING, SAMPLES
from dataflash_bytes import data_packet, format_packet
from quillon_tools import read_log
from quillon_tools.api import LogStream

SECOND = 1_000_000
WEEK, WEEK_MS = 2100, 345_600_000
GPS_EPOCH = 315_964_800 * SECOND
START_UTC = GPS_EPOCH + WEEK * 7 * 86400 * SECOND + WEEK_MS * 1000 - 18 * SECOND
BOOT0 = 5 * SECOND
ATT = ("QhhH", "TimeUS,Roll,Pitch,Yaw")
GPS = ("QBIHLLe", "TimeUS,Status,GMS,GWk,Lat,Lng,Alt")


def clocked_log(rate, glitch=False, rows=1200):
    """ATT at 10 Hz of boot time and GPS at 5 Hz, on a boot clock that runs
    `rate` seconds per GPS second. Each fix is logged 0 to 60 ms after its
    time of week (receiver latency); with `glitch`, the receiver's first two
    fixes are 1.2 s behind. Returns the log and the true UTC of each ATT row."""
    out = [format_packet(129, "ATT", *ATT), format_packet(132, "GPS", *GPS)]
    truth = []
    for i in range(rows):
        boot = BOOT0 + i * 100_000
        elapsed = (boot - BOOT0) / rate  # GPS microseconds since the first row
        out.append(data_packet(129, ATT[0], boot, 0, 0, 0))
        truth.append(START_UTC + round(elapsed))
        if i % 2 == 0:
            latency = (i * 7919 % 4) * 20_000
            of_week = WEEK_MS + round((elapsed - latency) / 1000) - (1200 if glitch and i < 4 else 0)
            out.append(data_packet(132, GPS[0], boot, 3, of_week, WEEK, 1, 1, 1))
    return b"".join(out), numpy.array(truth)


def micros(table):
    return table.column("_time").cast(pyarrow.int64()).to_numpy()


@pytest.mark.parametrize("types", [None, "ATT"])
@pytest.mark.parametrize("glitch", [False, True])
def test_a_steady_boot_clock_keeps_the_first_good_fix_offset(types, glitch):
    data, _ = clocked_log(1.0, glitch)
    log = read_log(data, types=types)
    offsets = micros(log["ATT"]) - log["ATT"].column("TimeUS").to_numpy()
    # One exact offset: that of the first fix the others agree with (the
    # glitches' 1.2 s apart), with its latency.
    first_good = 4 if glitch else 0
    latency = (first_good * 7919 % 4) * 20_000
    assert set(offsets) == {START_UTC - latency - BOOT0}


@pytest.mark.parametrize("types", [None, "ATT"])
def test_a_drifting_boot_clock_is_followed_through_the_fixes(types):
    data, truth = clocked_log(0.92)  # 110 s of boot time, 120 s of GPS time
    log = read_log(data, types=types)
    late = (micros(log["ATT"]) - truth) / SECOND
    assert numpy.abs(late).max() < 0.07  # within the fixes' latency, to the last row
    first, last = log.time_span()
    assert abs(first - truth[0]) < 0.07 * SECOND and abs(last - truth[-1]) < 0.07 * SECOND
    assert log.time_base == "utc" and log["ATT"].schema.metadata[b"time_base"] == b"utc"
    # Streamed batches are moved as the whole log's tables are.
    for scaled in (False, True):
        whole = read_log(data, types=types, scaled=scaled)
        streamed = [p for batch in LogStream(data, types=types, batch_bytes=2000, scaled=scaled) for p in batch]
        assert len(streamed) > len(whole)
        for name in whole:
            parts = [p.table for p in streamed if p.name == name]
            assert pyarrow.concat_tables(parts).equals(whole[name], check_metadata=True), name
    # The facts' tables (events, track) are on the same time axis.
    assert numpy.array_equal(micros(read_log(data).track()), micros(read_log(data)["GPS"]))


DAMAGED = 1 << 63  # a TimeUS with its top bit set


def stray_times_log():
    """ATT every 0.1 s from 1 s to 10.9 s, with damaged TimeUS (ATT, ARM and
    MSG rows) at the start, the middle and the end, and one stray ATT row an
    hour on as the last packet."""
    out = [format_packet(129, "ATT", *ATT), format_packet(132, "GPS", *GPS),
           format_packet(133, "ARM", "QB", "TimeUS,ArmState"), format_packet(134, "MSG", "QZ", "TimeUS,Message"),
           data_packet(129, ATT[0], DAMAGED + 3, 0, 0, 0), data_packet(133, "QB", DAMAGED + 11, 1)]
    for i in range(100):
        boot = SECOND + i * 100_000
        out.append(data_packet(129, ATT[0], boot, 0, 0, 0))
        if i % 5 == 0:
            out.append(data_packet(132, GPS[0], boot, 3, WEEK_MS + i * 100, WEEK, 1, 1, 1))
        if i == 50:
            out.append(data_packet(134, "QZ", DAMAGED + 29, b"ArduCopter V4.0.0"))
    out += [data_packet(129, ATT[0], DAMAGED + 7, 0, 0, 0), data_packet(129, ATT[0], 3600 * SECOND, 0, 0, 0)]
    return b"".join(out)


def test_stray_and_damaged_times_neither_stretch_the_span_nor_break_dates():
    log = read_log(stray_times_log())
    offset = START_UTC - SECOND
    assert log.time_span() == (offset + SECOND, offset + 10_900_000)
    assert log.stats["bad_times"] == 4
    info = log.info
    assert info["duration"] == pytest.approx(9.9)
    assert info["start"].timestamp() * SECOND == pytest.approx(offset + SECOND)
    # Armed at a damaged time (taken as the log's start), still armed at the end.
    assert info["armed"] == [{"start": info["start"], "end": info["start"] + datetime.timedelta(seconds=9.9)}]
    checks = log.checks().to_pylist()
    assert not [c for c in checks if "could not be evaluated" in (c["detail"] or "")]


def ulog_published_before_logging():
    """Logging starts at 20 s: the first rows are topics' last samples,
    published from 0 s on, and one row of a topic whose timestamp is no
    publication time (1194 s); the log's rows run from 20 s to 26 s."""
    header = b"ULog\x01\x12\x35\x01" + struct.pack("<Q", 20 * SECOND)
    out = [header, u.flag_bits(), u.format_("sensor_accel:uint64_t timestamp;float x;"),
           u.format_("mission:uint64_t timestamp;uint8_t count;"),
           u.subscribe(0, 0, "sensor_accel"), u.subscribe(1, 0, "mission"),
           u.data(0, struct.pack("<Qf", 1 * SECOND, 0)), u.data(0, struct.pack("<Qf", 2 * SECOND, 0)),
           u.data(1, struct.pack("<QB", 1194 * SECOND, 3))]
    out += [u.data(0, struct.pack("<Qf", 20 * SECOND + i * 100_000, 0)) for i in range(61)]
    return b"".join(out)


def test_a_ulog_log_runs_from_its_logging_start_to_its_last_regular_row():
    log = read_log(ulog_published_before_logging())
    assert log.time_span() == (20 * SECOND, 26 * SECOND)
    assert log.info["duration"] == 6


# time_span() durations in seconds: DataFlash and tlogs as they always were;
# ULog logs from their header's timestamp (rows from before it, published
# before logging started, stretched them: px4-small.ulg to 1193 s with a
# mission row stamped 1194 s).
DURATIONS = {
    "copter-3.1.3-oldformat.bin": 332.521, "copter-4.6.2-first80k.bin": 0.409453,
    "copter-4.7.0dev-sitl.bin": 39.077696, "plane-3.8.2-truncated64k.bin": 1.05156,
    "rover-4.7.0dev-sitl.bin": 14.360087, "sub-4.1.0-dive.bin": 135.610072,
    "copter-mixed-v1-v2-signed.tlog": 64.828773, "plane-vtol-mavlink1.tlog": 207.608,
    "rover-4.7.0dev-sitl.tlog": 229.195493, "sub-4.1.1-dive.tlog": 263.43, "raw-mavlink2-3412-frames.mav": None,
    "px4-appended-multiple.ulg": 9.779961, "px4-events.ulg": 31.136, "px4-sample.ulg": 68.99333,
    "px4-small.ulg": 6.516648, "px4-tagged-default-params.ulg": 10.772,
}


@pytest.mark.parametrize("name", sorted(DURATIONS))
def test_sample_durations(name):
    path = SAMPLES / name
    if not path.is_file():
        pytest.skip(CORPUS_MISSING)
    first, last = read_log(path, types="NO_SUCH_MESSAGE").time_span()  # the span needs no rows
    assert (None if first is None else round((last - first) / SECOND, 6)) == DURATIONS[name]
    if name == "px4-small.ulg":
        assert read_log(path).info["duration"] == pytest.approx(6.5, abs=0.05)
