"""Rows counted by the decoder, with no table built, are the rows read_log
gives: per table and type number, selected or not, on one thread or
several, with the same stats."""
import pytest

from conftest import sample_files
from quillon_tools import read_log
from quillon_tools.reading.counting import count_rows
from quillon_tools.reading.inputs import LogInput


@pytest.mark.parametrize("path", sample_files(".bin", ".tlog", ".ulg", ".mav"), ids=lambda p: p.name)
def test_counts_are_the_rows_of_the_tables(path):
    log = read_log(path)
    tables = {(name, log.type_number(name)): table.num_rows for name, table in log.items()}
    size = path.stat().st_size
    with LogInput(path) as whole:
        counted = count_rows(whole, None, with_stats=True)
    assert counted.protocol == log.protocol and counted.counts == tables
    assert counted.stats == log.stats and counted.format_packets == log.format_packets
    with LogInput(path.read_bytes()) as held:  # fed as bytes, on three threads in small chunks
        assert count_rows(held, None, threads=3, chunk_bytes=size // 7 + 1).counts == tables
    chosen = sorted(tables)[::3]
    selection = [name for name, _ in chosen]
    with LogInput(path) as whole:
        assert count_rows(whole, selection).counts == {key: tables[key] for key in tables if key[0] in selection}


def test_nothing_found_is_no_protocol():
    with LogInput(b"\x00" * 100_000) as empty:
        assert count_rows(empty, None) == (None, {}, {}, 0)
