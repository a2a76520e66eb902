"""Analyst tools for Quillon logs: whole logs as Apache Arrow tables, the
quillon-dump command, pandas DataFrames and Parquet export.

    from quillon_tools import read_log
    log = read_log("flight.bin", types="GPS,ATT")
    log["GPS"].to_pandas().plot(x="TimeUS", y="Alt")
"""

from .frames import to_dataframes, write_parquet
from .log import DATA_FLASH, MAVLINK, Log, read_log
from .packets import read_packets
from .source import LogSource

__all__ = ["read_log", "Log", "to_dataframes", "write_parquet", "read_packets", "LogSource",
           "DATA_FLASH", "MAVLINK"]
