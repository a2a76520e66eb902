"""The high-rate sources of a format's logs, as the tuning answers read
them. Each format package's SAMPLES has this one shape: the gyro and
accelerometer samples with their own timestamps, a batch sampler, the rate
controller's targets and the rates it got, the logs of where the gyro
notches sat, ESC RPM, the firmware's own FFT peaks, the throttle and the
rate controller's terms; an entry is empty (or None) where the format's
logs hold no such source."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Mapping, NamedTuple, Optional, Tuple

import numpy

BODY_AXES = ("roll", "pitch", "yaw")


class Stage(NamedTuple):
    """How a log tells the firmware's filtered samples from the sensors'
    own: bits of an option parameter. Logging both numbers the post-filter
    instances after the sensors, which the parameters of each sensor's
    device id count."""
    option: str  # the parameter
    post_filter: int  # bit: the samples are the filtered ones
    pre_and_post: int  # bit: both, the filtered ones numbered after the sensors
    sensors: Mapping[str, Tuple[str, ...]]  # per signal, each sensor's device id parameter
    sensor_rate: int = 0  # bit: the samples are taken at the sensor's rate, not the filters'


class Packed(NamedTuple):
    """Samples packed several to a row, as integers: the row's time is that
    of its newest sample, the ones before it `step` apart."""
    used: str  # the field of how many of the array's items hold samples
    step: str  # the field of the time between samples
    step_scale: float  # to microseconds
    scale: str  # the field each integer is multiplied by to give rad/s or m/s/s


class Timed(NamedTuple):
    """Samples of a signal that carry each sample's own time."""
    message: str
    fields: Tuple[str, str, str]  # x, y, z (an array item as "name[0]")
    time: str  # the column of each sample's own time
    time_scale: float  # to microseconds
    scale: float  # to rad/s or m/s/s
    instance: Optional[int] = None  # a fixed instance, for messages numbered by name
    relative: Optional[str] = None  # a column of microseconds added to the time (sensor_combined's accel)
    stamp: Optional[str] = None  # the row's own stamp, which `_time` was made from (None: the row has none)
    stage: Optional[Stage] = None  # how filtered instances are told apart (None: never filtered)
    filter_rate: bool = False  # the samples are the filters' own input, at their rate
    packed: Optional[Packed] = None  # several samples to a row, the fields arrays of them


class Batch(NamedTuple):
    """One batch of one sensor as logged: its rate and the time of its
    first sample, how many samples it holds, and the blocks that arrived
    (numbered within the batch, in order, each once) with their values in
    rad/s or m/s/s, (blocks, block size, 3)."""
    rate: float  # Hz
    start: float  # microseconds on the log's time base
    samples: int
    blocks: numpy.ndarray
    values: numpy.ndarray


class Batches(NamedTuple):
    """A batch sampler: runs of samples of one sensor at a time, announced
    by a header and logged in blocks of `block` samples."""
    header: str
    data: str
    block: int
    types: Dict[str, int]  # the sensor type a header gives each signal
    stage: Stage
    instances: Callable[[Any, int], List[int]]  # the logged instances of a sensor type
    read: Callable[[Any, int, int], Optional[List[Batch]]]  # the batches of a type's logged instance


class RateField(NamedTuple):
    message: str
    field: str
    unit: str  # where the log states none
    time: Optional[str] = None  # the sample's own time column, when better than `_time`
    stamp: Optional[str] = None  # the row's stamp `_time` was made from, which `time` replaces
    # Where a firmware logs the field in a unit of its own: (vehicle kind, unit) pairs.
    vehicle_units: Tuple[Tuple[str, str], ...] = ()


class RatePair(NamedTuple):
    """The target and the response of one axis, each on its own times."""
    desired: RateField
    actual: RateField


# A notch's logged fundamentals: (the message read, times in microseconds,
# per time the fundamental of each source, empty where not running).
NotchCentres = Tuple[str, numpy.ndarray, List[List[float]]]


class NotchLogs(NamedTuple):
    """Where a log records the gyro notches' centres as they moved."""
    messages: Tuple[str, ...]
    centres: Callable[[Any, int], Optional[NotchCentres]]  # of notch number n, from its own logs
    fft: Callable[[Any], Optional[NotchCentres]]  # the in-flight FFT's peaks, which an FFT notch follows


class Rpm(NamedTuple):
    message: str
    fields: Tuple[str, ...]  # one per motor; an array field's items are named "field[i]"


class FftPeaks(NamedTuple):
    """The peak frequencies the firmware's own gyro FFT found, Hz."""
    message: str
    fields: Dict[str, Tuple[str, ...]]  # per axis, the peak slots


class Throttle(NamedTuple):
    """The collective throttle the vehicle commanded, from 0 (none) to 1 (full)."""
    message: str
    fields: Tuple[str, ...]  # one: the throttle; several: a thrust vector's components, whose length it is
    scale: float = 1.0  # to the share of full throttle
    vehicle_scales: Tuple[Tuple[str, float], ...] = ()  # (vehicle kind, scale) where a firmware logs its own


class PidLog(NamedTuple):
    """One axis of the rate controller as its log records its terms."""
    axis: str  # roll, pitch or yaw
    message: str
    terms: Tuple[Tuple[str, str], ...]  # (term, field): p, i, d, ff, dff, dmod, slew_rate
    flags: Optional[str] = None  # the field of the controller's state bits
    flag_bits: Tuple[Tuple[int, str], ...] = ()  # (bit, what it says) of `flags`
    limit: Optional[str] = None  # a field that is 1 while the output is limited (older layouts)
    i_max: Tuple[Tuple[str, str], ...] = ()  # (vehicle kind, parameter) of the integrator's limit


class Samples(NamedTuple):
    timed: Dict[str, Tuple[Timed, ...]]  # per signal ("gyro", "accel"), in order of preference
    fastest_first: bool  # the fastest source serves first, whatever the order above
    batches: Optional[Batches]
    rates: Tuple[Dict[str, RatePair], ...]  # per body axis, the options in order of preference
    notches: Optional[NotchLogs]
    rpm: Tuple[Rpm, ...]
    fft: Optional[FftPeaks]
    throttle: Tuple[Throttle, ...] = ()  # in order of preference
    pid_logs: Tuple[Tuple[PidLog, ...], ...] = ()  # each a controller's axes (a quadplane has two)

    def messages(self) -> Tuple[str, ...]:
        """Every message or topic these sources read."""
        found = {source.message for sources in self.timed.values() for source in sources}
        if self.batches is not None:
            found.update((self.batches.header, self.batches.data))
        found.update(field.message for option in self.rates for pair in option.values() for field in pair)
        found.update(self.notches.messages if self.notches is not None else ())
        found.update(source.message for source in self.rpm)
        found.update((self.fft.message,) if self.fft is not None else ())
        found.update(source.message for source in self.throttle)
        found.update(axis.message for controller in self.pid_logs for axis in controller)
        return tuple(sorted(found))


NO_SAMPLES = Samples({}, False, None, (), None, (), None)


def samples_of(view: Any) -> Samples:
    """The high-rate sources of the view's log format; none for a log of no format."""
    found: Samples = view.format.SAMPLES if view.format is not None else NO_SAMPLES
    return found
