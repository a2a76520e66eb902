"""Reader objects: construction, manual feeding, generators, subclassing."""
import array
import collections.abc
import gc
import pickle
import weakref

import pytest

import Quillon
from dataflash_bytes import data_packet, format_packet
from draining import drain
from mavlink_bytes import frame_v1, frame_v2

READERS = [Quillon.data_flash_reader, Quillon.mavlink_reader]

REFUSAL = "no default __reduce__ due to non-trivial __cinit__"

# A small DataFlash log: one format, three data packets.
FMT = format_packet(150, "SEQ", "QB", "TimeUS,Val")
LOG = FMT + b"".join(data_packet(150, "QB", 1000 * i, i) for i in range(3))


def chunks_of(data, size):
    def source():
        for i in range(0, len(data), size):
            yield data[i:i + size]
    return source


@pytest.fixture(params=READERS, ids=lambda t: t.__name__)
def reader_type(request):
    return request.param


class TestConstruction:
    def test_names_and_module(self, reader_type):
        assert reader_type.__module__ == "Quillon"
        assert reader_type.__qualname__ == reader_type.__name__

    def test_argument_errors(self, reader_type):
        with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 1 positional argument \(0 given\)$"):
            reader_type()
        with pytest.raises(TypeError, match=r"\(2 given\)"):
            reader_type(None, None)
        with pytest.raises(TypeError):
            reader_type(None, other=1)
        reader_type(src=None)

    def test_source_converted_at_construction_through_module_attribute(self, reader_type, monkeypatch):
        seen = []

        def replacement(thing):
            seen.append(thing)
            return chunks_of(LOG, 7)

        monkeypatch.setattr(Quillon, "thing_to_iterable", replacement)
        reader = reader_type("anything")
        assert seen == ["anything"]
        assert reader is not None

    def test_failing_source_conversion_fails_construction(self, reader_type, monkeypatch):
        def refuse(thing):
            raise LookupError("refused")

        monkeypatch.setattr(Quillon, "thing_to_iterable", refuse)
        with pytest.raises(LookupError):
            reader_type(None)

    def test_no_instance_attributes(self, reader_type):
        with pytest.raises(AttributeError):
            reader_type(None).extra = 1

    def test_pickling_refused(self, reader_type):
        reader = reader_type(None)
        with pytest.raises(TypeError, match=f"^{REFUSAL}$"):
            pickle.dumps(reader)
        with pytest.raises(TypeError, match=f"^{REFUSAL}$"):
            reader.__reduce__()
        with pytest.raises(TypeError, match=f"^{REFUSAL}$"):
            reader.__setstate__(None)

    def test_methods_are_named_and_annotated(self, reader_type):
        name = reader_type.__name__
        for method in ("parseByte", "parseBuffer", "get_packet"):
            assert getattr(reader_type, method).__qualname__ == f"{name}.{method}"
            assert getattr(reader_type, method).__doc__ is None
        assert reader_type.get_packet.__annotations__ == {"return": "packet"}

    def test_docstring_tells_how_to_use(self, reader_type):
        doc = reader_type.__doc__
        assert "by passing the initializer a string filname or a \n" in doc
        assert "- Read from the Reader by calling it to obtain a \n" in doc
        assert doc.endswith(":param src: Source of bytes to parse; generator function or filename\n    ")
        assert "# do stuff" in doc and "# done!" in doc
        source = "flight.bin" if reader_type is Quillon.data_flash_reader else "flight.tlog"
        assert f'Quillon.{reader_type.__name__}("{source}")' in doc
        opens_with_title = doc.startswith("\n    Parser for DataFlash .bin files.\n")
        assert opens_with_title == (reader_type is Quillon.data_flash_reader)


class TestParseByte:
    def test_integer_conversion_errors(self, reader_type):
        reader = reader_type(None)
        for big in (256, 2**40, 2**64, 2**100, 1e30):
            with pytest.raises(OverflowError, match="^value too large to convert to uint8_t$"):
                reader.parseByte(big)
        with pytest.raises(OverflowError, match="^can't convert negative value to uint8_t$"):
            reader.parseByte(-1)
        for bad in ("a", b"a", None):
            with pytest.raises(TypeError, match="^an integer is required$"):
                reader.parseByte(bad)
        with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
            reader.parseByte()

    def test_bools_and_floats_are_fed_as_integers(self):
        # 0xA3 0x95 0x96 ... spelled with a float, a bool-backed value and a keyword.
        reader = Quillon.data_flash_reader(None)
        reader.parseBuffer(FMT)
        reader.parseByte(163.9)
        reader.parseByte(byte=0x95)
        reader.parseByte(150)
        for b in data_packet(150, "QB", 1, 1)[3:]:
            reader.parseByte(True if b == 1 else b)
        assert drain(reader) == [{"TimeUS": 1, "Val": 1}]

class TestParseBuffer:
    def test_buffer_errors(self, reader_type):
        reader = reader_type(None)
        for empty in (b"", None, bytearray(), memoryview(b"abc")[3:]):
            with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
                reader.parseBuffer(empty)
        with pytest.raises(ValueError, match=r"^Buffer dtype mismatch, expected 'const uint8_t' but got 'signed char'$"):
            reader.parseBuffer(array.array("b", [1, 2]))
        with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"):
            reader.parseBuffer(memoryview(bytes(4)).cast("B", (2, 2)))
        with pytest.raises(TypeError):
            reader.parseBuffer("text")
        with pytest.raises(TypeError):
            reader.parseBuffer(12)

    @pytest.mark.parametrize("wrap", [
        bytes, bytearray, memoryview, lambda b: array.array("B", b),
        lambda b: memoryview(bytearray(b)).toreadonly(),
    ], ids=["bytes", "bytearray", "memoryview", "array", "readonly"])
    def test_accepted_buffer_kinds(self, wrap):
        reader = Quillon.data_flash_reader(None)
        reader.parseBuffer(wrap(LOG))
        assert [p["Val"] for p in drain(reader)] == [0, 1, 2]

    def test_strided_view_feeds_exactly_its_bytes_in_order(self):
        # Interleave the log with junk that would corrupt it if read.
        mixed = bytearray(len(LOG) * 2)
        mixed[0::2] = LOG
        mixed[1::2] = b"\xa3" * len(LOG)
        reader = Quillon.data_flash_reader(None)
        reader.parseBuffer(memoryview(bytes(mixed))[0::2])
        assert [p["Val"] for p in drain(reader)] == [0, 1, 2]

    def test_reversed_view_is_fed_in_view_order(self):
        reader = Quillon.data_flash_reader(None)
        reader.parseBuffer(memoryview(LOG[::-1])[::-1])
        assert [p["Val"] for p in drain(reader)] == [0, 1, 2]

    def test_view_end_is_respected(self):
        # The view stops one byte short of the last packet: it must stay incomplete.
        reader = Quillon.data_flash_reader(None)
        reader.parseBuffer(memoryview(LOG)[:-1])
        assert [p["Val"] for p in drain(reader)] == [0, 1]
        reader.parseBuffer(LOG[-1:])
        assert [p["Val"] for p in drain(reader)] == [2]

class TestGetPacket:
    def test_empty_reader_returns_none(self, reader_type):
        assert reader_type(None).get_packet() is None
        with pytest.raises(TypeError, match=r"^get_packet\(\) takes exactly 0 positional arguments \(1 given\)$"):
            reader_type(None).get_packet(1)

    def test_packets_in_stream_order(self):
        reader = Quillon.data_flash_reader(None)
        reader.parseBuffer(LOG)
        packets = drain(reader)
        assert [dict(p) for p in packets] == [{"TimeUS": 1000 * i, "Val": i} for i in range(3)]
        assert all(p.protocol == "data_flash" and p.packet_type == 150 for p in packets)


class TestGenerator:
    def test_generator_identity(self, reader_type):
        reader = reader_type(None)
        gen = reader()
        assert gen.__name__ == "__call__"
        assert gen.__qualname__ == f"{reader_type.__name__}.__call__"
        assert isinstance(gen, collections.abc.Generator)
        with pytest.raises(TypeError, match=r"^__call__\(\) takes exactly 0 positional arguments \(1 given\)$"):
            reader(1)

    def test_unsupported_source_fails_on_first_advance(self, reader_type):
        gen = reader_type(b"not a source")()
        with pytest.raises(TypeError, match="not callable"):
            next(gen)

    def test_source_is_called_only_when_advanced(self):
        calls = []

        def source():
            calls.append(1)
            return [LOG]

        gen = Quillon.data_flash_reader(source)()
        assert calls == []
        assert [p["Val"] for p in gen] == [0, 1, 2]
        assert calls == [1]

    def test_yields_after_every_chunk_before_next_is_requested(self):
        requested = []

        def source():
            for i, part in enumerate([FMT + data_packet(150, "QB", 0, 0), data_packet(150, "QB", 1, 1)]):
                requested.append(i)
                yield part

        gen = Quillon.data_flash_reader(source)()
        assert next(gen)["Val"] == 0 and requested == [0]
        assert next(gen)["Val"] == 1 and requested == [0, 1]

    @pytest.mark.parametrize("size", [1, 89, 10_000])
    def test_chunk_size_does_not_change_result(self, size):
        assert [p["Val"] for p in Quillon.data_flash_reader(chunks_of(LOG, size))()] == [0, 1, 2]

    def test_mavlink_frame_behind_a_false_start_at_the_end_is_found(self):
        # The stray 0xFE reads the next byte (0xFD) as a length of 253, so the
        # good frame after it lies inside a frame that never ends. Only the
        # generator knows the stream has ended and scans those bytes again.
        first = frame_v1(0, {"custom_mode": 1})
        last = frame_v2(0, {"custom_mode": 2, "mavlink_version": 3})
        data = first + b"\xfe" + last
        streamed = list(Quillon.mavlink_reader(chunks_of(data, 4))())
        assert [(p["custom_mode"], p["mavlink_version"]) for p in streamed] == [(1, 0), (2, 3)]
        reader = Quillon.mavlink_reader(None)
        reader.parseBuffer(data)
        assert [p["custom_mode"] for p in drain(reader)] == [1]

    def test_reading_a_file_name(self, tmp_path):
        path = tmp_path / "log.bin"
        path.write_bytes(LOG * 200)
        reader = Quillon.data_flash_reader(str(path))
        assert len(list(reader())) == 600
        assert reader.get_packet() is None
        # A second call reads the file again into the same core reader.
        assert len(list(reader())) == 600

    def test_missing_file_raises_on_first_advance(self, tmp_path, reader_type):
        gen = reader_type(str(tmp_path / "missing"))()
        with pytest.raises(FileNotFoundError):
            next(gen)

    def test_empty_chunk_ends_generator_with_index_error(self):
        gen = Quillon.data_flash_reader(lambda: [LOG, b""])()
        assert [next(gen)["Val"] for _ in range(3)] == [0, 1, 2]
        with pytest.raises(IndexError, match=r"axis 0"):
            next(gen)
        with pytest.raises(StopIteration):
            next(gen)

    def test_source_errors_propagate(self):
        def source():
            yield LOG
            raise KeyError("broken")

        gen = Quillon.data_flash_reader(source)()
        assert len([next(gen) for _ in range(3)]) == 3
        with pytest.raises(KeyError):
            next(gen)

    def test_subclass_override_of_parse_buffer_sees_every_chunk(self):
        class Counting(Quillon.data_flash_reader):
            def __init__(self, src):
                self.chunks = []

            def parseBuffer(self, data):
                self.chunks.append(bytes(data))
                super().parseBuffer(data)

        reader = Counting(chunks_of(LOG, 40))
        assert [p["Val"] for p in reader()] == [0, 1, 2]
        assert b"".join(reader.chunks) == LOG and len(reader.chunks) == -(-len(LOG) // 40)

    def test_abandoned_generator_leaves_records_queued(self):
        reader = Quillon.data_flash_reader(lambda: [LOG])
        gen = reader()
        assert next(gen)["Val"] == 0
        gen.close()
        assert [p["Val"] for p in drain(reader)] == [1, 2]

    def test_manual_feeding_and_generator_share_the_queue(self):
        reader = Quillon.data_flash_reader(lambda: [data_packet(150, "QB", 9, 9)])
        reader.parseBuffer(LOG)
        # Records queued by hand come out first, then the source's.
        assert [p["Val"] for p in reader()] == [0, 1, 2, 9]

    def test_generator_keeps_reader_alive(self):
        gen = Quillon.data_flash_reader(lambda: [LOG])()
        gc.collect()
        assert len(list(gen)) == 3


def test_reference_cycle_through_source_is_collected(reader_type):
    class Source:
        def __call__(self):
            return []

    src = Source()
    reader = reader_type(src)
    src.reader = reader
    ref = weakref.ref(src)
    del src, reader
    gc.collect()
    assert ref() is None
