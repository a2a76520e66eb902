"""Many logs at once: finding them, converting them into one Parquet dataset,
and reading one message of them all with Dask."""
