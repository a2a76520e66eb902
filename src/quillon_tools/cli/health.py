"""quillon health DATASET: each airframe's flights in time order, and a line
per indicator that drifted (JSON Lines with --json)."""

from __future__ import annotations

import json
import os
import sys
from typing import Any, Dict

from ..errors import describe_os_error
from .common import DONE, UNUSABLE, Console

DRIFTED = 1


def _line(row: Dict[str, Any]) -> str:
    which = row["indicator"] + (f"[{row['instance']}]" if row["instance"] is not None else "")
    return f"{row['airframe'] or '-'}\t{row['_log']}\tflight {row['flight']}\t{which}\t{row['detail']}"


def run(dataset: str, console: Console, as_json: bool) -> int:
    from ..fleet.flight_table import FLIGHTS
    from ..fleet.fleet_health import health

    if not os.path.isdir(os.path.join(dataset, FLIGHTS)):
        console.error(f"{dataset!r} holds no flights table ({FLIGHTS}/): convert the logs with quillon convert "
                      f"(a dataset converted before it had one is converted again)")
        return UNUSABLE
    try:
        found = health(dataset)
    except OSError as error:
        console.error(describe_os_error(error, dataset, name_reading=False))
        return UNUSABLE
    for path, why in found.damaged:
        console.warn(f"{path!r} is damaged, left out: {why}")
    if found.damaged and not found.flights.num_rows:
        return UNUSABLE
    rows = found.findings.to_pylist()
    for row in rows:
        print(json.dumps(row, ensure_ascii=True) if as_json else _line(row))
    airframes = len(set(found.flights.column("airframe").to_pylist()))
    print(f"{airframes} airframe{'' if airframes == 1 else 's'}, {found.flights.num_rows} flight"
          f"{'' if found.flights.num_rows == 1 else 's'}: {len(rows) or 'no'} finding{'' if len(rows) == 1 else 's'} "
          f"of drift", file=sys.stderr)
    return DRIFTED if rows else DONE
