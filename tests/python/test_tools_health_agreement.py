"""The health agreement script's comparison and its recomputation of a
flight's indicators, on a hand-built log whose cells and vibration are known."""
import pathlib
import sys

import pytest

from quillon_tools import read_log
from test_tools_cell_voltages import copter_with_cells

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "benchmarks"))
import health_agreement  # noqa: E402


def test_values_agree_within_the_resolution_and_unknown_only_with_unknown():
    agree = health_agreement.agree
    assert agree(None, None, 0.1) and agree(3.7, 3.7005, 0.001) and agree(3.7, 3.701, 0.001)
    assert not agree(3.7, 3.7021, 0.001) and not agree(None, 0.0, 0.1) and not agree(0.0, None, 0.1)
    assert agree([1500.0, None], [1500.4, None], 1.0)
    assert not agree([1500.0, 1510.0], [1500.0], 1.0) and not agree([1500.0], 1500.0, 1.0)
    assert not agree([1500.0, None], [1500.0, 1490.0], 1.0)


def test_the_recomputation_reads_a_hand_built_flight_as_the_health_table_does(monkeypatch, tmp_path):
    path = tmp_path / "cells.bin"
    path.write_bytes(copter_with_cells(monkeypatch))
    log = read_log(str(path))
    flight = log.flights().to_pylist()[0]
    theirs = health_agreement.recompute(health_agreement.DataFlash(log, None), flight)
    ours = log.flight_health(path.name).to_pylist()[0]
    assert theirs["cell_min"] == pytest.approx(ours["cell_min"], abs=1e-9) and theirs["cell_min"] > 3.4
    assert theirs["battery_sag"] == pytest.approx(0.02, rel=0.05)
    disagreements = []
    assert health_agreement.compare_log(path, disagreements)[0] == 1 and disagreements == []
