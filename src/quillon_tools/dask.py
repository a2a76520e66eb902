"""One message type, or the flights' health, across many logs as a Dask
DataFrame (see `quillon_tools.fleet.dask`).

    from quillon_tools.dask import flight_health, read_logs
    gps = read_logs("flights/", "GPS")
    health = flight_health("flights/")
"""

from .fleet.dask import align, flight_health, read_logs

__all__ = ["read_logs", "align", "flight_health"]
