"""One message type across many logs as a Dask DataFrame (see `quillon_tools.fleet.dask`).

    from quillon_tools.dask import read_logs
    gps = read_logs("flights/", "GPS")
"""

from .fleet.dask import align, read_logs

__all__ = ["read_logs", "align"]
