"""Analyst tools for Quillon logs: whole logs as Apache Arrow tables, the
quillon command, pandas DataFrames and Parquet export.

    from quillon_tools import read_log
    log = read_log("flight.bin", types="GPS,ATT")
    log["GPS"].to_pandas().plot(x="TimeUS", y="Alt")
"""

from .export.dataframes import to_dataframes, write_parquet
from .log import Log, read_log
from .protocols import DATA_FLASH, MAVLINK, ULOG

__all__ = ["read_log", "Log", "to_dataframes", "write_parquet", "DATA_FLASH", "MAVLINK", "ULOG"]
