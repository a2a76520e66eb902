"""Checks read_log(scaled=True) on every field of every .bin log:

- fields whose format character carries a multiplier (c, C, e, E: 0.01;
  L: 1e-7) must equal pymavlink's DFReader, which scales by format character;
- every other field must equal pymavlink's (raw) value times the multiplier
  the log's last FMTU of its type gives it, or the raw value where it gives
  none; text fields are not scaled and not compared.

Rows are matched by their position among the packets of their type. Needs
pymavlink (the "bench" extra), run as a peer; run by hand:

    python benchmarks/scaled_agreement.py [LOG.bin ...]   (default: ../shared/samples/*.bin)
"""
from __future__ import annotations

import array
import math
import sys
from collections import defaultdict
from pathlib import Path
from typing import Any, Dict, List, Tuple

from pymavlink import DFReader

from quillon_tools import read_log
from quillon_tools.formats.dataflash.units import as_decimal  # MULT logs 0.01 as a float32

SAMPLES = Path(__file__).resolve().parents[1].parent / "shared" / "samples"
SCALED_CHARACTERS = "cCeEL"
TEXT_CHARACTERS = "nNZ"
TIME_COLUMNS = ("TimeUS", "TimeMS")


class PeerLog:
    """What pymavlink reads from a log: every data packet's message object
    by type number in log order, and per type number the multipliers its
    last FMTU gives, through the log's MULT packets."""

    def __init__(self, path: Path) -> None:
        reader = DFReader.DFReader_binary(str(path), zero_time_base=True)
        self.messages: Dict[int, List[Any]] = defaultdict(list)
        mults: Dict[str, float] = {}
        mult_ids: Dict[int, str] = {}
        while (message := reader.recv_msg()) is not None:
            kind = message.get_type()
            if kind == "FMT":
                continue
            self.messages[message.fmt.type].append(message)
            if kind == "MULT":
                mults[chr(message.Id & 0xFF)] = as_decimal(message.Mult)
            elif kind == "FMTU":
                mult_ids[message.FmtType] = message.MultIds
        self.multipliers = {number: [mults.get(i) for i in ids] for number, ids in mult_ids.items()}


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, list) and isinstance(b, (list, tuple, array.array)):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return bool(a == b)


def _times(value: Any, multiplier: Any) -> Any:
    """A raw value in its unit, computed as exactly as a double allows."""
    if isinstance(value, (list, tuple, array.array)):
        return [_times(v, multiplier) for v in value]
    if not isinstance(multiplier, float) or multiplier in (0.0, 1.0) or not math.isfinite(1 / multiplier):
        return value
    divisor = round(1 / multiplier) if 0 < abs(multiplier) < 1 else 0
    if divisor and 1.0 / divisor == multiplier:
        return float(value) / divisor
    return float(value) * multiplier


def compare(path: Path) -> Tuple[int, int, int, List[str]]:
    """(fields checked against pymavlink, fields checked against pymavlink's
    raw value x FMTU, values compared, differences)."""
    scaled = read_log(path, scaled=True)
    peer = PeerLog(path)
    formats = scaled.formats.to_pylist()
    peer_fields = fmtu_fields = values = 0
    differences: List[str] = []
    by_number: Dict[int, List[str]] = defaultdict(list)
    for name in scaled:
        by_number[scaled.type_number(name)].append(name)
    for number, names in sorted(by_number.items()):
        # pymavlink gives one list of packets per type number, every layout in turn.
        names.sort(key=lambda n: scaled[n].column("_index")[0].as_py())
        messages = peer.messages.get(number, [])
        if sum(scaled[n].num_rows for n in names) != len(messages):
            differences.append(f"{names}: {sum(scaled[n].num_rows for n in names)} rows, "
                               f"pymavlink {len(messages)}")
            continue
        first = 0
        for name in names:
            table = scaled[name]
            characters = _format_of(formats, number, table)
            fields = table.column_names[table.num_columns - len(characters):]
            rows = messages[first:first + table.num_rows]
            first += table.num_rows
            multipliers = peer.multipliers.get(number, [None] * len(characters))
            for i, (character, field) in enumerate(zip(characters, fields)):
                ours = table.column(field).to_pylist()
                theirs = [getattr(m, field) for m in rows]
                if character in SCALED_CHARACTERS:
                    peer_fields += 1
                elif character in TEXT_CHARACTERS:
                    continue  # text has no unit: scaling leaves it as read_log gives it
                else:
                    fmtu_fields += 1
                    if field not in TIME_COLUMNS and len(multipliers) == len(characters):
                        theirs = [_times(v, multipliers[i]) for v in theirs]
                values += len(ours)
                wrong = [j for j, (a, b) in enumerate(zip(ours, theirs)) if not _same(a, b)]
                if wrong:
                    j = wrong[0]
                    differences.append(f"{name}.{field} ({character}): {len(wrong)} values differ, "
                                       f"first row {j}: {ours[j]!r} != {theirs[j]!r}")
    return peer_fields, fmtu_fields, values, differences


def _format_of(formats: List[Dict[str, Any]], number: int, table: Any) -> str:
    """The format characters of the layout whose columns `table` has."""
    for row in formats:
        if row["type"] == number and row["columns"] == table.column_names[-len(row["columns"]):]:
            return str(row["format"])
    raise LookupError(f"no format of type {number} has the columns of {table.column_names}")


def main() -> int:
    paths = [Path(p) for p in sys.argv[1:]] or sorted(SAMPLES.glob("*.bin"))
    failed = False
    for path in paths:
        peer, fmtu, values, differences = compare(path)
        failed |= bool(differences)
        print(f"{path.name:32} fields: {peer:4} vs pymavlink, {fmtu:5} vs raw x FMTU; "
              f"{values:9} values  {'OK' if not differences else f'{len(differences)} DIFFERENT'}")
        for line in differences[:20]:
            print(f"    {line}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
