"""Iterating over the packets of a log, with name filtering and recovery."""

from __future__ import annotations

from typing import Dict, FrozenSet, Iterable, Iterator, Optional, Union

import Quillon

from .source import DATA_FLASH, LogSource


def parse_types(types: Union[str, Iterable[str], None]) -> Optional[FrozenSet[str]]:
    """Normalises a type selection: None, "GPS,ATT" or an iterable of names.

    Names are compared case-insensitively, so "heartbeat" and "HEARTBEAT"
    select the same MAVLink message.
    """
    if types is None:
        return None
    if isinstance(types, str):
        types = types.split(",")
    wanted = frozenset(name.strip().casefold() for name in types)
    return frozenset(name for name in wanted if name)


class PacketStream:
    """The packets of one log, in stream order.

    A packet whose message or field names are not valid UTF-8 (possible in a
    damaged DataFlash log, where the log defines its own names) cannot become
    a packet; instead of ending the whole log there, it is skipped, counted in
    `undecodable`, and decoding goes on with the next packet.
    """

    def __init__(self, source: LogSource,
                 types: Union[str, Iterable[str], None] = None) -> None:
        self.source = source
        self.wanted = parse_types(types)
        self.undecodable = 0

    def __iter__(self) -> Iterator[Quillon.packet]:
        packets = self._all_packets()
        if self.wanted is None:
            return packets
        return self._selected(packets, self.wanted)

    def _all_packets(self) -> Iterator[Quillon.packet]:
        reader: Union[Quillon.data_flash_reader, Quillon.mavlink_reader]
        if self.source.format == DATA_FLASH:
            reader = Quillon.data_flash_reader(self.source.chunks)
        else:
            reader = Quillon.mavlink_reader(self.source.chunks)
        while True:
            try:
                # A fresh generator continues with the source's next chunk;
                # records queued before an error come out first, in order.
                yield from reader()
                # An error on the last chunk leaves its later records queued.
                packet = reader.get_packet()
                while packet is not None:
                    yield packet
                    packet = reader.get_packet()
                return
            except UnicodeDecodeError:
                self.undecodable += 1

    @staticmethod
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
