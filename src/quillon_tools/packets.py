"""Iterating over the packets of a log, optionally keeping only some names."""

from __future__ import annotations

from typing import Dict, FrozenSet, Iterable, Iterator, Optional, Union

import Quillon

from .log import DATA_FLASH
from .source import LogSource

TypesArg = Union[str, Iterable[str], None]


def parse_types(types: TypesArg) -> Optional[FrozenSet[str]]:
    """Normalises a type selection: None, "GPS,ATT" or an iterable of names.

    Names are compared case-insensitively, so "heartbeat" and "HEARTBEAT"
    select the same MAVLink message. None means every message.
    """
    if types is None:
        return None
    if isinstance(types, str):
        types = types.split(",")
    return frozenset(name.strip().casefold() for name in types if name.strip())


def read_packets(source: LogSource, types: TypesArg = None) -> Iterator[Quillon.packet]:
    """The packets of `source` in stream order, decoded by the reader that
    fits its format; with `types`, only the packets of those names."""
    reader: Union[Quillon.data_flash_reader, Quillon.mavlink_reader]
    if source.format == DATA_FLASH:
        reader = Quillon.data_flash_reader(source.chunks)
    else:
        reader = Quillon.mavlink_reader(source.chunks)
    wanted = parse_types(types)
    if wanted is None:
        return reader()
    return _selected(reader(), wanted)


def _selected(packets: Iterator[Quillon.packet],
              wanted: FrozenSet[str]) -> Iterator[Quillon.packet]:
    verdicts: Dict[str, bool] = {}
    for packet in packets:
        name = packet.name
        keep = verdicts.get(name)
        if keep is None:
            keep = verdicts[name] = name.casefold() in wanted
        if keep:
            yield packet
