"""Analyst tools for Quillon logs: the quillon-dump command, pandas DataFrames
and Parquet export.

    from quillon_tools import to_dataframes
    frames = to_dataframes("flight.bin", types="GPS,ATT")
    frames["GPS"].plot(x="TimeUS", y="Alt")
"""

from .frames import to_dataframes, write_parquet
from .packets import read_packets
from .source import DATA_FLASH, MAVLINK, LogSource

__all__ = ["to_dataframes", "write_parquet", "read_packets", "LogSource",
           "DATA_FLASH", "MAVLINK"]
