"""The packets of a log through the module's generator, for the dict-based
export baseline: the protocol told by the DataFlash magic bytes, the file
handed to the reader in chunks, and a selection of names."""

from __future__ import annotations

from typing import Dict, FrozenSet, Iterable, Iterator, Optional, Union

import Quillon

# Every DataFlash log opens with the format packet (type 0x80) that describes
# format packets themselves; anything else is read as a MAVLink stream.
DATA_FLASH_MAGIC = b"\xa3\x95\x80"
CHUNK_SIZE = 1 << 16

TypesArg = Union[str, Iterable[str], None]


def read_packets(path: str, types: TypesArg = None) -> Iterator[Quillon.packet]:
    """The packets of the log at `path` in stream order; with `types`
    ("GPS,ATT" or names), only those of these names, case-insensitively."""
    with open(path, "rb") as stream:
        head = stream.read(CHUNK_SIZE)

        def chunks() -> Iterator[bytes]:
            data = head
            while data:  # the readers refuse empty buffers
                yield data
                data = stream.read(CHUNK_SIZE)

        make = Quillon.data_flash_reader if head.startswith(DATA_FLASH_MAGIC) else Quillon.mavlink_reader
        wanted = _names(types)
        verdicts: Dict[str, bool] = {}
        for packet in make(chunks)():
            if wanted is not None:
                keep = verdicts.get(packet.name)
                if keep is None:
                    keep = verdicts[packet.name] = packet.name.casefold() in wanted
                if not keep:
                    continue
            yield packet


def _names(types: TypesArg) -> Optional[FrozenSet[str]]:
    if types is None:
        return None
    if isinstance(types, str):
        types = types.split(",")
    return frozenset(name.strip().casefold() for name in types if name.strip())
