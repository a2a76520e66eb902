"""Every format package offers the one interface the log, the signals and
the answers ask, and the log's records read what flew as its identity does."""

import typing

import pytest

pytest.importorskip("pyarrow")

from dataflash_bytes import data_packet, format_packet
from test_tools_facts import SECOND, ver_packets
from quillon_tools import read_log
from quillon_tools.formats import FORMATS, format_for
from quillon_tools.formats.base import Format
from quillon_tools.reading.registry import registered


def _interface():
    """The names a format package must define: the protocol's attributes and methods."""
    names = set(typing.get_type_hints(Format, include_extras=False))
    names |= {name for name, value in vars(Format).items() if callable(value) and not name.startswith("_")}
    return sorted(names)


@pytest.mark.parametrize("protocol", sorted(FORMATS))
def test_every_format_package_offers_the_whole_interface(protocol):
    package = format_for(protocol)
    missing = [name for name in _interface() if not hasattr(package, name)]
    assert missing == [], f"{protocol} lacks {missing}"
    methods = [name for name, value in vars(Format).items() if callable(value) and not name.startswith("_")]
    assert all(callable(getattr(package, name)) for name in methods)
    # Reading finds the package its sniffing names, under the name it gives.
    assert registered(protocol) is package and package.NAME == protocol
    assert format_for(None) is None and registered("no such format") is None


def test_the_packages_declare_their_messages_consistently():
    for protocol, package in FORMATS.items():
        # Every message the signals read is kept by a whole read, for the facts.
        assert set(package.SIGNAL_MESSAGES) <= set(package.FACT_MESSAGES), protocol
        # What finishing a table needs is always gathered.
        assert set(package.UNIT_MESSAGES) <= set(package.GATHERED), protocol
        assert package.formats_table([]).num_rows == 0
        assert package.formats_table([]).schema.equals(package.FORMATS_SCHEMA)


def test_a_version_row_alone_names_the_vehicle_and_its_modes():
    """A copter log whose only identity is its VER row: the vehicle and the
    mode names come from that banner, for `info`, `modes` and the events alike."""
    mode = (131, "MODE", "QMBB", "TimeUS,Mode,ModeNum,Rsn")
    packets = ver_packets() + [format_packet(*mode)]
    for second, number in ((2, 0), (3, 5), (4, 6)):
        packets.append(data_packet(131, "QMBB", second * SECOND, number, number, 1))
    log = read_log(b"".join(packets))
    assert log.info["vehicle"] == "copter" and log.info["firmware"]["version"] == "4.5.7"
    assert log.modes.select(["mode", "name"]).to_pylist() == [
        {"mode": 0, "name": "STABILIZE"}, {"mode": 5, "name": "LOITER"}, {"mode": 6, "name": "RTL"}]
    named = [(e["code"], e["name"]) for e in log.events.to_pylist() if e["kind"] == "mode"]
    assert named == [(0, "STABILIZE"), (5, "LOITER"), (6, "RTL")]
    # Read with a selection, the facts are gathered again and agree.
    assert read_log(b"".join(packets), types="MODE").modes.equals(log.modes)
