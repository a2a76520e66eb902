"""Analyst tools for Quillon logs: whole logs as Apache Arrow tables, the
quillon command, pandas DataFrames and Parquet export.

    from quillon_tools import read_log
    log = read_log("flight.bin", types="GPS,ATT")
    log["GPS"].to_pandas().plot(x="TimeUS", y="Alt")

The names below are imported when first used, so that a command (or a
program) that needs none of them starts without Arrow and its companions.
"""

from typing import TYPE_CHECKING, Any, List

from .protocols import DATA_FLASH, MAVLINK, ULOG

if TYPE_CHECKING:
    from .export.dataframes import to_dataframes, write_parquet
    from .api import FlightLog as Log, read_log
    from .fleet.fleet_health import health

__all__ = ["read_log", "Log", "to_dataframes", "write_parquet", "health", "DATA_FLASH", "MAVLINK", "ULOG"]
# The log `read_log` gives is the api's FlightLog, published as Log.
_NAMES = {"Log": "FlightLog"}
_WHERE = {"read_log": "api", "Log": "api", "to_dataframes": "export.dataframes", "write_parquet": "export.dataframes",
          "health": "fleet.fleet_health"}


def __getattr__(name: str) -> Any:
    where = _WHERE.get(name)
    if where is None:
        raise AttributeError(f"module 'quillon_tools' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f".{where}", __name__), _NAMES.get(name, name))
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))
