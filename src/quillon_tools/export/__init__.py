"""Decoded logs written out: JSON Lines, CSV and text tables, pandas
DataFrames and Parquet files."""
