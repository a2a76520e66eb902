"""One vehicle of a log as the signals read it: its tables (on a tlog, the
rows of its system id and autopilot components), and each quantity built
from the first of its format's sources the log has."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Set, Tuple

import numpy
import pyarrow

from ..tables.instances import rows_where
from ..formats import format_for
from ..formats.identity import UNKNOWN
from ..formats.records import Rows
from ..formats.source import Part, micros, numbers, read
from .bounds import usable
from .gaps import Gap, logging_gaps
from .outputs import Channel, channel_parts
from .vocabulary import VOCABULARY

_TIME = pyarrow.timestamp("us", tz="UTC")
# Signals built from output and input channels rather than from sources.
CHANNEL_SIGNALS = {"motor.output": True, "servo.output": False, "rc.input": None}


def distinct(instances: numpy.ndarray) -> List[int]:
    """The instances a part's rows are of, in order: most parts are of one,
    found without sorting every row."""
    if not len(instances):
        return []
    low, high = int(instances.min()), int(instances.max())
    if low == high:
        return [low]
    return [int(i) for i in numpy.unique(instances)]


class View:
    """The signals of one vehicle of `log` (of system `sysid` on a tlog)."""

    def __init__(self, log: Any, sysid: Optional[int] = None) -> None:
        self.log = log
        self.protocol = log.protocol
        self.sysid = sysid
        self.format = format_for(self.protocol)
        self._tables: Dict[str, Optional[pyarrow.Table]] = {}
        self._parts: Dict[str, List[Part]] = {}
        self._instances: Dict[str, List[int]] = {}
        self._times: Dict[str, numpy.ndarray] = {}
        self._numbered: Dict[str, Optional[numpy.ndarray]] = {}
        self._components: Optional[List[int]] = None
        self._identity: Any = None
        self._gaps: Optional[List[Gap]] = None
        self._channels: Dict[str, List[Channel]] = {}
        self._derived: Dict[str, Any] = {}

    # Tables -------------------------------------------------------------------

    def table(self, message: str) -> Optional[pyarrow.Table]:
        """The rows of `message` of this vehicle; None when it has none."""
        if message not in self._tables:
            self._tables[message] = self._load(message)
        return self._tables[message]

    def _load(self, message: str) -> Optional[pyarrow.Table]:
        if message in self.log:
            table = self.log[message]
        else:  # not selected: the tables kept for the log's facts may hold it
            kept = self.log.facts.tables(message)
            if not kept:
                return None
            table = kept[0] if len(kept) == 1 else pyarrow.concat_tables(kept, promote_options="default")
        if self.sysid is not None and "_sysid" in table.column_names:
            table = rows_where(table, "_sysid", self.sysid)
        if self.format is not None:  # a vehicle's own rows: a tlog's gimbal or camera is not it
            table = self.format.vehicle_rows(message, table, self.components)
        return table if table.num_rows else None

    def derived(self, key: str, build: Callable[[], Any]) -> Any:
        """A value worked out from this vehicle's tables, built once: the
        answers that several questions share (such as the body rates that
        rate tracking and each axis's step response read)."""
        if key not in self._derived:
            self._derived[key] = build()
        return self._derived[key]

    def times(self, message: str) -> numpy.ndarray:
        """`_time` of a message's rows as float64 microseconds, worked out once."""
        if message not in self._times:
            table = self.table(message)
            self._times[message] = numpy.empty(0) if table is None else micros(table)
        return self._times[message]

    def gaps(self) -> List[Gap]:
        """Stretches of more than two seconds in which this vehicle logged
        none of the messages the signals read (see `gaps`)."""
        if self._gaps is None:
            self._gaps = logging_gaps(self, self.format.SIGNAL_MESSAGES if self.format is not None else ())
        return self._gaps

    def components(self) -> List[int]:
        if self._components is None:
            self._components = self.format.autopilot_components(self) if self.format is not None else []
        return self._components

    def first_instance(self, table: pyarrow.Table) -> pyarrow.Table:
        """The rows of a ULog topic's multi id 0: the vehicle's own, not a second sensor's."""
        if "_instance" not in table.column_names:
            return table
        return rows_where(table, "_instance", 0)

    # What the vehicle is and says --------------------------------------------

    @property
    def identity(self) -> Any:
        if self._identity is None:
            self._identity = UNKNOWN if self.format is None else self.format.identify(self)
        return self._identity

    @property
    def vehicle(self) -> Optional[str]:
        return self.identity.vehicle  # type: ignore[no-any-return]

    @property
    def px4(self) -> bool:
        return bool(self.identity.px4)

    @property
    def params(self) -> Dict[str, float]:
        """The vehicle's parameters, copied from the log's once: every answer reads them, and none changes them."""
        return self.derived("params", self._params)  # type: ignore[no-any-return]

    def _params(self) -> Dict[str, float]:
        params = self.log.params
        # A log of several vehicles keeps each one's parameters under its system id.
        if self.sysid is not None and isinstance(params, dict) and self.sysid in params and isinstance(params[self.sysid], dict):
            return params[self.sysid]  # type: ignore[no-any-return]
        return params  # type: ignore[no-any-return]

    # Signals ------------------------------------------------------------------

    def parts(self, name: str) -> List[Part]:
        """The rows of quantity `name`, a part per source used: the first
        source the log has, then sources of instances not yet given."""
        if name not in VOCABULARY:
            raise KeyError(f"no signal {name!r}; log.signals() lists this log's")
        if name not in self._parts:
            self._parts[name] = self._build(name)
        return self._parts[name]

    def _build(self, name: str) -> List[Part]:
        if self.format is None:
            return []
        if name in CHANNEL_SIGNALS:
            return [part for part, _ in self.channels(name)]
        unit = VOCABULARY[name].unit
        found: List[Part] = []
        given: Set[int] = set()
        for source in self.format.SOURCES.get(name, ()):
            if found and source.instance is None:
                continue  # only the first general source serves
            if source.instance is not None and source.instance in given:
                continue
            if source.derive is not None:
                part = source.derive(self)
            else:
                table = self.table(source.message)
                if table is None:
                    continue
                part = read(table, source, unit, self.row_instances(source.message, table), self.times(source.message))
            if part is None or not len(part.values):
                continue
            if not part.source:
                part = part._replace(source=source.message)
            found.append(usable(name, part))
            given.update(distinct(part.instances))
        self._instances[name] = sorted(given)  # the instances of the parts found, as `instances` gives them
        return found

    def row_instances(self, message: str, table: pyarrow.Table) -> Optional[numpy.ndarray]:
        """The instance of each row of `message` where the format numbers
        them (None where not), worked out once for all its sources: shared
        by their parts, so read only."""
        if message not in self._numbered and self.format is not None:
            column = self.format.instance_column(self, message, table)
            found = (table.column(column).to_numpy(zero_copy_only=False).astype(numpy.int64)
                     if column is not None and table.column(column).null_count == 0 else None)
            if found is not None:
                found.flags.writeable = False
            self._numbered[message] = found
        return self._numbered.get(message)

    def channels(self, name: str) -> List[Channel]:
        """The parts of each channel of a channel signal, with the channel's
        (min, max, function), worked out once."""
        if self.format is None:
            return []
        if name not in self._channels:
            if name == "rc.input":
                self._channels[name] = [(usable(name, part), extra)
                                        for (part, extra), _ in channel_parts(self, self.format.INPUT_CHANNELS)]
            else:  # every output read once, then told apart
                outputs = channel_parts(self, self.format.OUTPUT_CHANNELS)
                self._channels["motor.output"] = [(usable("motor.output", part), extra)
                                                  for (part, extra), motor in outputs if motor]
                self._channels["servo.output"] = [(usable("servo.output", part), extra)
                                                  for (part, extra), motor in outputs if not motor]
        return self._channels[name]

    def has(self, name: str) -> bool:
        return bool(self.parts(name))

    def instances(self, name: str) -> List[int]:
        if name not in self._instances:
            self._instances[name] = sorted({i for part in self.parts(name) for i in distinct(part.instances)})
        return self._instances[name]

    def series(self, name: str, instance: Optional[int] = None) -> Tuple[numpy.ndarray, numpy.ndarray]:
        """(times in microseconds, values) of one instance (the lowest when
        None), in time order as logged."""
        parts = self.parts(name)
        if not parts:
            return numpy.empty(0), numpy.empty(0)
        if instance is None:
            instance = self.instances(name)[0]
        key = f"series {name} {instance}"
        if key not in self._derived:
            times, values = [], []
            alone = self.instances(name) == [instance]  # every row of every part is of it: nothing to compare
            for part in parts:
                mine = part.instances == instance if not alone else None
                every = mine is None or bool(mine.all())
                times.append(part.times if every else part.times[mine])
                values.append(part.values if every else part.values[mine])
            found = (times[0], values[0]) if len(parts) == 1 else (numpy.concatenate(times), numpy.concatenate(values))
            for array in found:  # shared by every caller (and the parts): read only
                array.flags.writeable = False
            self._derived[key] = found
        return self._derived[key]  # type: ignore[no-any-return]

    def broken(self, name: str) -> List[Tuple[str, int, numpy.ndarray]]:
        """(message, instance, times) of the rows of quantity `name` whose
        logged value was NaN or infinite (a derived value: infinite)."""
        return [(message, instance, times) for message, instance, times, _ in self._marked(name, "broken")]

    def beyond(self, name: str) -> List[Tuple[str, int, numpy.ndarray, str]]:
        """(message, instance, times, limit) of the rows of quantity `name`
        whose value was beyond what its sensor can report, and what they
        passed ("vibration.x: 0 to 2000 m/s/s", `bounds.BOUNDS`)."""
        return self._marked(name, "beyond")

    def _marked(self, name: str, mask: str) -> List[Tuple[str, int, numpy.ndarray, str]]:
        key = f"{mask} {name}"
        if key not in self._derived:  # asked of every judged quantity of every verdict
            self._derived[key] = self._find_marked(name, mask)
        return self._derived[key]  # type: ignore[no-any-return]

    def _find_marked(self, name: str, mask: str) -> List[Tuple[str, int, numpy.ndarray, str]]:
        found = []
        for part in self.parts(name):
            bad = getattr(part, mask)  # set on every part by `bounds.usable`
            if bad is None or not bad.any():
                continue
            for instance in numpy.unique(part.instances[bad]).tolist():
                found.append((part.source, int(instance), part.times[bad & (part.instances == instance)], part.limit))
        return found

    def signal(self, name: str, instance: Optional[int] = None) -> pyarrow.Table:
        """The Arrow table of quantity `name` (see `Log.signal`)."""
        quantity = VOCABULARY.get(name)
        if quantity is None:
            raise KeyError(f"no signal {name!r}; log.signals() lists this log's")
        columns: Dict[str, List[numpy.ndarray]] = {"_time": [], "_instance": [], "value": []}
        attributes: Dict[str, List[numpy.ndarray]] = {"min": [], "max": [], "function": []}
        pieces = self.channels(name) if name in CHANNEL_SIGNALS else [(p, None) for p in self.parts(name)]
        for part, extra in pieces:
            keep = slice(None) if instance is None else part.instances == instance
            columns["_time"].append(part.times[keep])
            columns["_instance"].append(part.instances[keep])
            columns["value"].append(part.values[keep])
            if extra is not None:
                for key, value in zip(attributes, extra):
                    attributes[key].append(numpy.full(len(part.values[keep]), numpy.nan if value is None else value))
        joined = {key: numpy.concatenate(parts) if parts else numpy.empty(0) for key, parts in columns.items()}
        times = joined["_time"]
        fields = [pyarrow.field("_time", _TIME)]
        arrays = [pyarrow.array(numpy.nan_to_num(times).astype(numpy.int64), pyarrow.int64(),
                                mask=numpy.isnan(times)).cast(_TIME)]
        if self.sysid is not None:
            fields.append(pyarrow.field("_sysid", pyarrow.uint8()))
            arrays.append(pyarrow.array(numpy.full(len(times), self.sysid), pyarrow.uint8()))
        # Where a part's label could not be followed, how its values were read.
        notes = "; ".join(dict.fromkeys(part.note for part, _ in pieces if part.note))
        metadata = {b"unit": quantity.unit.encode(), **({b"note": notes.encode()} if notes else {})}
        fields += [pyarrow.field("_instance", pyarrow.int64()),
                   pyarrow.field("value", pyarrow.float64(), metadata=metadata)]
        arrays += [pyarrow.array(joined["_instance"].astype(numpy.int64)), pyarrow.array(joined["value"], pyarrow.float64())]
        if name in CHANNEL_SIGNALS and name != "rc.input":
            for key, parts in attributes.items():
                fields.append(pyarrow.field(key, pyarrow.float64()))
                arrays.append(pyarrow.array(numpy.concatenate(parts) if parts else numpy.empty(0), from_pandas=True))
        table = pyarrow.Table.from_arrays(arrays, schema=pyarrow.schema(fields))
        order = numpy.argsort(numpy.where(numpy.isnan(times), -numpy.inf, times), kind="stable")
        return table.take(pyarrow.array(order)) if len(order) and not numpy.all(numpy.diff(order) == 1) else table

    def available(self) -> List[str]:
        return [name for name in VOCABULARY if (self.channels(name) if name in CHANNEL_SIGNALS else self.parts(name))]

    # What the answers share ------------------------------------------------------

    def armed_intervals(self) -> Optional[List[Tuple[float, Optional[float]]]]:
        """The armed intervals (microseconds; an end of None while still
        armed at the log's end), worked out once; None when the log does not say."""
        from .routines import armed_intervals
        return self.derived("armed intervals", lambda: armed_intervals(self))  # type: ignore[no-any-return]

    def armed_mask(self, times: numpy.ndarray) -> numpy.ndarray:
        """Which of `times` fall while armed; all of them when the log does
        not say when it was armed."""
        from .routines import within
        return within(times, self.armed_intervals())

    def instance_series(self, name: str) -> List[Tuple[int, numpy.ndarray, numpy.ndarray]]:
        """(instance, times, values) of each instance of quantity `name`, in
        its unit; none when the log lacks it."""
        return [(instance, *self.series(name, instance)) for instance in self.instances(name)]

    def texts(self) -> List[Tuple[Optional[float], Optional[int], str]]:
        """(time in microseconds or None, severity, text) of this vehicle's text messages."""
        messages = self.log.messages
        if self.sysid is not None and "_sysid" in messages.column_names:
            messages = rows_where(messages, "_sysid", self.sysid)
        times = micros(messages) if messages.num_rows else numpy.empty(0)
        return [(None if t != t else t, s, x or "")
                for t, s, x in zip(times.tolist(), messages.column("severity").to_pylist(),
                                   messages.column("text").to_pylist())]

    def record(self, kind: str) -> Optional[Rows]:
        """This vehicle's rows of its format's record of `kind` (see
        `formats.records`), each field as numbers; None where the format
        keeps no such record, or the log holds none with every field read
        as a number."""
        module = self.format
        found = None if module is None else module.RECORDS.get(kind)
        table = None if found is None else self.table(found.message)
        if module is None or found is None or table is None \
                or not all(field in table.column_names for field in found.fields):
            return None
        values = [numbers(table.column(field)) for field in found.fields]
        if any(value is None for value in values):
            return None
        column = module.instance_column(self, found.message, table)
        instances = (table.column(column).to_numpy(zero_copy_only=False).astype(numpy.int64)
                     if column is not None and table.column(column).null_count == 0
                     else numpy.zeros(table.num_rows, dtype=numpy.int64))
        return Rows(found, self.times(found.message), instances, tuple(v for v in values if v is not None))
