"""The log `read_log` gives: the data of one log (`log.Log`) with the
answers over it — its signals, flights, facts, checks, diagnosis and
tuning — each worked out once, when first asked for."""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Tuple

import pyarrow

from .log import Log
from .names import TypesArg
from .protocols import added_columns
from .reading.inputs import Source
from .reading.passes import Piece
from .reading.read import Decoded, read
from .reading.stream import LogStream

__all__ = ["FlightLog", "LogStream", "Piece", "read_log", "read_log_with_facts", "stream_facts_log"]


class FlightLog(Log):
    """The message tables of one log (see `log.Log`), and the answers over them."""

    @property
    def info(self) -> Dict[Any, Any]:
        """What flew, when, and how: `vehicle`, `firmware` (name, version,
        git_hash), `board`, `start` (UTC datetime), `time_base`, `duration`
        (s), `armed` ([{"start", "end"}] datetimes; None when the log has no
        arming record), `flight_time` (s in the air: the sum over `flights()`
        of landing less takeoff, a flight begun in the air from its start and
        one not landed to its end), `distance` (m over ground while armed), `max_altitude` (m above
        home), `max_ground_speed` (m/s), `battery_used` (mAh drawn while the log was kept),
        `battery_since_boot` (mAh: the vehicle's counter, which counts from boot), `min_voltage`
        (V), `gps` (`satellites` and `hdop` as (min, max) with a 3D fix),
        `suspect` (fact to the reason a faulty sensor leaves it None) and
        `sysid` (MAVLink: the vehicle's system id, else None). A fact the
        log does not hold is None. The same facts of every vehicle, the
        first of which these are, are listed under `vehicles`: one for a
        log of one vehicle, one per autopilot on a tlog of several."""
        return self.cached("info", self._info)  # type: ignore[no-any-return]

    def _info(self) -> Dict[Any, Any]:
        from .info import log_info

        return log_info(self, self.views())

    def views(self) -> List[Any]:
        """A signal view per vehicle (`signals.View`): each autopilot's system id on MAVLink."""
        def build() -> List[Any]:
            from .signals import View

            return [View(self, sysid) for sysid in self.records().vehicles()]
        return self.cached("views", build)  # type: ignore[no-any-return]

    def view(self, sysid: Optional[int] = None) -> Any:
        """The signal view of vehicle `sysid` (the first by default)."""
        views = self.views()
        if sysid is None:
            return views[0]
        for view in views:
            if view.sysid == sysid:
                return view
        from .signals import View
        return View(self, sysid)

    def signal(self, name: str, sysid: Optional[int] = None, instance: Optional[int] = None) -> pyarrow.Table:
        """Quantity `name` (see `quillon_tools.signals.VOCABULARY`) as an
        Arrow table: `_time`, `_sysid` (on a MAVLink log, of the vehicle
        `sysid`, by default the first), `_instance` (the IMU, battery,
        compass, GPS or output channel) and `value` in the quantity's unit,
        which the field's metadata states; motor and servo outputs also
        carry their `min`, `max` and `function`. Empty when the log lacks it.

            log.signal("battery.voltage").to_pandas()
        """
        view = self.view(sysid)
        found: pyarrow.Table = view.signal(name, instance)
        return found

    def signals(self, sysid: Optional[int] = None) -> List[str]:
        """The quantities this log has (of vehicle `sysid`, by default the first)."""
        view = self.view(sysid)
        return view.available()  # type: ignore[no-any-return]

    def evaluate(self, expression: str, sysid: Optional[int] = None) -> pyarrow.Table:
        """`_time` and `value` of an expression over fields and signals, on
        the rows of the first name's table; each other table gives its latest
        row at or before (as `merge` lines them up). Names are signals
        (`battery.voltage`, instance `battery.voltage[1]`) or fields
        (`ATT.Roll`, instance `VIBE[1].VibeX`, array item `q[0]`); with
        numbers, + - * / ** %, comparisons (1 or 0) and the functions of
        `quillon_tools.expressions.FUNCTIONS`. Nothing in it runs as
        Python. Raises `ExpressionError` (a ValueError) with the reason.

            log.evaluate("ATT.DesRoll - ATT.Roll")
            log.evaluate("sqrt(VIBE[0].VibeX**2 + VIBE[0].VibeY**2)")
        """
        from .expressions import evaluate

        return evaluate(self, expression, sysid)

    def spectrum(self, signal: str = "gyro", instance: Optional[int] = None, start: Any = None, end: Any = None,
                 sysid: Optional[int] = None, filtered: bool = False, max_frequency: Optional[float] = None,
                 nperseg: Optional[int] = None) -> Any:
        """What frequencies the gyro ("gyro", rad/s) or accelerometer
        ("accel", m/s/s) of IMU `instance` (the lowest by default) holds:
        a `quillon_tools.tuning.Spectrum` (Welch PSD per axis with its
        rate, Nyquist limit, window, holes and dominant peaks;
        `.to_arrow()` gives the table). `start` and `end` are `_time`
        values (microseconds) or datetimes. The samples come from the best
        high-rate source: the batch sampler (ISBH/ISBD), raw IMU logging
        (GYR/ACC) or IMU, PX4 sensor_gyro/sensor_accel/sensor_combined;
        `filtered` takes the firmware's post-filter samples where logged.
        Raises `quillon_tools.tuning.NoSpectrum` (a ValueError) with the
        reason when no source reaches `max_frequency` Hz (default 50).

            log.spectrum("gyro").to_arrow().to_pandas()
        """
        from .tuning.spectrum import spectrum
        from .tuning.times import to_micros

        return spectrum(self.view(sysid), signal, instance, to_micros(start), to_micros(end), filtered,
                        max_frequency, nperseg)

    def spectrogram(self, signal: str = "gyro", instance: Optional[int] = None, start: Any = None,
                    end: Any = None, sysid: Optional[int] = None, filtered: bool = False,
                    max_frequency: Optional[float] = None, nperseg: Optional[int] = None) -> Any:
        """The spectrum window by window over time, from the same samples
        as `spectrum`: a `quillon_tools.tuning.Spectrogram` (`.to_arrow()`
        gives a row per window and frequency)."""
        from .tuning.spectrum import spectrogram
        from .tuning.times import to_micros

        return spectrogram(self.view(sysid), signal, instance, to_micros(start), to_micros(end), filtered,
                           max_frequency, nperseg)

    def filter_review(self, instance: Optional[int] = None, start: Any = None, end: Any = None,
                      params: Optional[Dict[str, Any]] = None) -> Any:
        """The gyro filters against the gyro's spectrum: ArduPilot's
        (INS_GYRO_FILTER, INS_HNTCH_*, INS_HNTC2_*) or PX4's
        (IMU_GYRO_CUTOFF, IMU_GYRO_NF*, IMU_GYRO_DNF_*/DYN_NF): a
        `quillon_tools.tuning.FilterReview` with each filter, the combined
        response with its phase and group delay, the spectrum before and
        after, and whether each dominant peak lies in a notch ("noise peak
        at 182 Hz on gyro Z, INS_HNTCH notch (harmonic 2) centred 160 Hz ±
        40: covered"). `params` ({"INS_HNTCH_FREQ": 75}) answers as if the
        parameters were set so."""
        from .tuning.reviews import review
        from .tuning.times import to_micros

        return review(self.view(None), instance, to_micros(start), to_micros(end), params)

    def rate_tracking(self, sysid: Optional[int] = None, start: Any = None, end: Any = None) -> Any:
        """How well the rate controller followed its target: a
        `quillon_tools.tuning.RateTracking` whose `.to_arrow()` gives, per
        axis, the error RMS in the air (from `start` to `end` where given)
        and per flight mode, in deg/s."""
        from .tuning.rate_tracking import rate_tracking
        from .tuning.times import to_micros

        return rate_tracking(self.view(sysid), to_micros(start), to_micros(end))

    def step_response(self, axis: str = "roll", start: Any = None, end: Any = None,
                      sysid: Optional[int] = None) -> Any:
        """The rate controller's response to a unit step of its target on
        `axis` ("roll", "pitch" or "yaw"), estimated from the flight by
        deconvolution: a `quillon_tools.tuning.StepResponse` with its
        rise time and overshoot. Raises `NoStepResponse` (a ValueError)
        with the reason when the log cannot tell."""
        from .tuning.aligned import align
        from .tuning.rate_sources import axis_rates
        from .tuning.step_response import NoStepResponse, step_response
        from .tuning.times import to_micros

        for rates in axis_rates(self.view(sysid)):
            if rates.axis == axis:
                return step_response(align(rates), to_micros(start), to_micros(end))
        raise NoStepResponse(f"the log has no desired and actual {axis} rate")

    def pid_terms(self, start: Any = None, end: Any = None, sysid: Optional[int] = None) -> Any:
        """The rate controller term by term: a
        `quillon_tools.tuning.PidTerms` whose `.to_arrow()` gives a row
        per logged PID row (`p`, `i`, `d`, `ff`, `dff`, `dmod`,
        `slew_rate`, the flags `limit`, `pd_sum_limit`, `reset`, `i_set`
        and `i_saturated` against the integrator's limit `i_max`) from
        ArduPilot's PIDR/PIDP/PIDY (a quadplane's PIQR/PIQP/PIQY) or PX4's
        rate_ctrl_status (its integrators), and `.summary()` a row per
        axis; over the time in the air unless `start` or `end` is given."""
        from .tuning.pid_terms import pid_terms
        from .tuning.times import to_micros

        return pid_terms(self.view(sysid), to_micros(start), to_micros(end))

    def throttle_spectra(self, signal: str = "gyro", instance: Optional[int] = None, start: Any = None,
                         end: Any = None, sysid: Optional[int] = None, bins: int = 10,
                         nperseg: Optional[int] = None) -> Any:
        """The spectrum per throttle bin (`bins` equal shares of full
        throttle, by the throttle commanded over each window: ArduPilot
        CTUN.ThO, PX4's thrust setpoint): a
        `quillon_tools.tuning.ThrottleSpectra` whose `.to_arrow()` gives
        a row per bin and frequency and `.peaks()` each bin's strongest
        peak per axis. Raises `NoSpectrum` (or its kind `NoThrottle`)
        with the reason."""
        from .tuning.spectrum import spectrogram
        from .tuning.throttle_spectra import throttle_spectra
        from .tuning.times import to_micros

        view = self.view(sysid)
        gram = spectrogram(view, signal, instance, to_micros(start), to_micros(end), nperseg=nperseg)
        return throttle_spectra(view, gram, bins)

    def param_diff(self, other: Optional[Log] = None, kind: str = "current setup") -> pyarrow.Table:
        """What changed. Against `other`: a row per parameter that differs
        or that one log lacks, `name`, `value`, `other` and `change`
        ("changed", "added", "removed"). Without: a row per parameter
        whose value differs from the default the log records, `name`,
        `value`, `default` (ULog default parameters of `kind`, "current
        setup" or "system"; DataFlash PARM's Default field); raises
        `quillon_tools.tuning.DefaultsUnknown` ("defaults unknown: ...")
        when the log records none."""
        from .tuning.param_diff import compare, non_default

        if other is not None:
            return compare(self.params, other.params)
        return non_default(self, kind)

    def checks(self, limits: Optional[Mapping[str, Tuple[Optional[float], Optional[float]]]] = None
               ) -> pyarrow.Table:
        """Was the flight healthy: one row per check (and per instance of
        instanced data, "vibration[0]"), with `check`, `verdict` ("pass",
        "warn", "fail", or "skipped" with the reason), `value`, `limit`,
        `unit`, `_time` (the worst moment) and `detail`; `_sysid` on a tlog
        of several vehicles. `limits` maps a check's name to (warn, fail),
        overriding the defaults (`quillon_tools.checks.DEFAULT_LIMITS`).

            log.checks(limits={"vibration": (20, 40)})
        """
        from .checks import run_checks

        if limits is None:  # the default verdicts are worked out once: the diagnosis reads them too
            return self.cached("checks", lambda: run_checks(self))
        return run_checks(self, limits)

    def diagnosis(self) -> pyarrow.Table:
        """What happened, and why: per flight, a chain of findings with its
        cause first (a finding of "unknown" where nothing on record says why
        a flight went wrong), then the rest in time order. Columns: `_time`,
        `flight`, `finding` (one of `quillon_tools.diagnosis.FINDINGS`:
        "motor_failure", "thrust_loss", "loss_of_control", "impact", ...),
        `role` ("cause", "contributing" or "consequence"), `instance` (the
        motor number, IMU, GPS, ...) and `detail` (one sentence with the
        numbers); `_sysid` on a tlog of several vehicles. No rows: no fault
        found.

            log.diagnosis().select(["finding", "role", "detail"]).to_pylist()
        """
        from .diagnosis import diagnose

        return self.cached("diagnosis", lambda: diagnose(self))

    def flights(self) -> pyarrow.Table:
        """The flights of the log, one row each (per vehicle on a tlog, with
        `_sysid`): `flight` (numbered from 1 per vehicle), `start` and `end`
        (the arm cycle's, or half way to the next takeoff where one arm cycle
        holds several; without arming records, the stretch around each time
        in the air), `takeoff` and `landing` (null where the log holds none),
        `arming` ("logged", "log start": the log begins armed, "motion": no
        arming records), `takeoff_from` ("logged" landed states or "motion"),
        `ends_in_air`, `phases` (a list of `phase`, `start`, `end`: ground,
        takeoff, airborne, landing) and `marks` (a list of `kind`, `start`,
        `end`, `value`, `detail`: "gap" (s), "reboot" (s the boot clock fell
        back), "impact" (peak m/s/s), "fall" (descent m/s at the log's end),
        "transition").

            log.flights().select(["flight", "takeoff", "landing"]).to_pylist()
        """
        def build() -> pyarrow.Table:
            from .flights import flights_table

            vehicles = [(view.sysid, self.vehicle_flights(view.sysid)) for view in self.views()]
            return flights_table(vehicles, "_sysid" in added_columns(self.protocol))
        return self.cached("flights", build)

    def flight_health(self, log_name: Optional[str] = None) -> pyarrow.Table:
        """One row per flight that `flights()` finds, for setting an
        airframe's flights side by side: `airframe` (the flight controller's
        unique id, else a fingerprint of the lasting parameters) and
        `id_source` ("board_uid", "autopilot_version", "sys_uuid",
        "parameters"; null where the log tells neither), `_log` (`log_name`),
        `_sysid`, `flight`, `start`, `duration` (s), `vehicle`, `firmware`,
        then each health indicator (`quillon_tools.flight_health.INDICATORS`, its
        unit and resolution in the field's metadata) over the flight's steady
        flight: vibration median and 95th percentile per axis, clips, each
        motor's mean hover output and its excess over the others' mean, the
        hover command as a share of the output range, the largest excess and
        `imbalance_motor`, the battery's sag per ampere and energy per minute,
        the compass's field and its change per ampere, GPS satellites and
        HDop, EKF test-ratio peaks, CPU load; then `verdict` (the worst),
        `failed_checks`, `warned_checks`, `cause` and `cause_detail` (the
        flight's first cause in the diagnosis). Null where the log cannot tell.

            log.flight_health().select(["flight", "motor_relative"]).to_pylist()
        """
        from .flight_health import flight_health

        return self.cached(f"health of {log_name}", lambda: flight_health(self, log_name))

    def vehicle_flights(self, sysid: Optional[int], every_mark: bool = True) -> List[Any]:
        """The flights of one vehicle (`flights.Flight`), worked out once;
        without `every_mark`, no gaps or reboots are marked (the checks
        need neither)."""
        from .flights import vehicle_flights

        return self.cached(f"flights of {sysid}, {every_mark}",  # type: ignore[no-any-return]
                           lambda: vehicle_flights(self.view(sysid), every_mark))


def _log_of(decoded: Decoded) -> FlightLog:
    return FlightLog(decoded.format, decoded.tables, decoded.formats, decoded.type_numbers, decoded.facts,
                     decoded.format_packets, decoded.stats)


def stream_facts_log(stream: LogStream) -> FlightLog:
    """A log of what a streamed log says (`params`, `messages`, `ulog_info`,
    ...) and no tables, once its batches are done."""
    formats = stream.formats
    return FlightLog(stream.facts.format, {}, lambda: formats, {}, stream.facts, stream.format_packets,
                     stream.stats)


def read_log(source: Source, types: TypesArg = None, scaled: bool = False, threads: Optional[int] = None,
             chunk_bytes: Optional[int] = None) -> FlightLog:
    """Reads a whole DataFlash log, MAVLink stream or PX4 ULog log into one
    Arrow table per message type.

    `source` is a path (str or os.PathLike), a bytes-like object holding the
    log, or a binary file object. The protocol is detected from the content.
    `types` keeps only some messages: "GPS,XKF*" or an iterable of names and
    shell patterns, case-insensitive; the others are skipped undecoded.

    Every table starts with `_index`, the packet's position in the log, and
    `_time`: on MAVLink the tlog record's time (null on raw streams), then
    `_sysid`, `_compid` and `_seq`; on DataFlash the packet's boot time (its
    own, else that of the nearest earlier packet with one), moved onto UTC
    when the log has a GPS fix. Then one column per field, raw as logged.
    ULog tables, one per message name, have `_index`, `_time` (the row's
    `timestamp`, moved onto UTC when the log holds GPS UTC time) and
    `_instance` (the multi id: `log["sensor_accel[1]"]` selects one); nested
    fields are named as "esc[0].esc_rpm", number arrays are fixed-size lists.
    A ULog log that asks for features this reader does not know raises
    `quillon_tools.errors.UnreadableLog` (a ValueError).

    With `types`, only the selected messages (and DataFlash units) are
    decoded: the log's facts (`params`, `messages`, `modes`, `events`,
    `info`, `track()`, `files`, ULog `stats`...) are read from a path or a
    bytes object again when first asked for, which raises UnreadableLog if
    the file has changed since; other sources give them at once.

    DataFlash columns carry their `unit` and `multiplier` as field metadata;
    with `scaled=True`, every column with a multiplier (boot-time columns
    apart) becomes float64 in its unit: GPS Lat in degrees, Alt in metres.
    MAVLink columns carry the units their definitions give, and ULog
    positions those PX4 defines (older GPS topics' int32 `lat` in 1e-7
    degrees, `alt` in millimetres), scaled alike.

        log = read_log("flight.bin", types="GPS,ATT", scaled=True)
        log["GPS"].to_pandas()
        log.params, log.messages, log.modes

    A log decodes on `threads` threads at once, by default every core for
    a log of PARALLEL_BYTES or more, else one; `threads=1` keeps one pass.
    The tables are the same whatever the number (a column may come in
    several chunks). Each thread holds up to `chunk_bytes` of the log
    (16 MiB by default) while it decodes; a log that one chunk holds is
    read in one pass, whatever `threads` says. The option is there for
    tests, where small values split small logs.
    """
    return _log_of(read(source, types, scaled, facts_later=True, threads=threads, chunk_bytes=chunk_bytes))


def read_log_with_facts(source: Source, types: TypesArg = None, scaled: bool = False) -> FlightLog:
    """As read_log, for a caller that will ask for the facts of its
    selection: they are gathered in the same pass (on every core for a
    large log, as read_log decides)."""
    return _log_of(read(source, types, scaled, facts_later=False, threads=None))
