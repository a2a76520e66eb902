"""thing_to_iterable and the readFile generators it makes."""
import collections.abc
import os
import pathlib

import pytest

import Quillon

DOC = "\n".join([
    "",
    "    Converts certain python objects into",
    "    generators returning bytes.",
    "    Currently accepts strings contining filenames and",
    "    things that are already generator functions, not touching them.",
    "",
    "    Both readers use this internally, but it can be useful to have access to ",
    "    on its own.",
    "",
    "    :param thing: A python object to attemt to convert",
    "    ",
])


def open_paths():
    fd_dir = "/proc/self/fd"
    paths = []
    for fd in os.listdir(fd_dir):
        try:
            paths.append(os.readlink(os.path.join(fd_dir, fd)))
        except OSError:
            pass
    return paths


def write(tmp_path, size):
    path = tmp_path / f"data{size}.bin"
    path.write_bytes(bytes(i % 251 for i in range(size)))
    return path


def test_docstring_and_names():
    assert Quillon.thing_to_iterable.__doc__ == DOC
    assert Quillon.thing_to_iterable.__module__ == "Quillon"
    assert Quillon.thing_to_iterable.__qualname__ == "thing_to_iterable"


class TestConversion:
    def test_callables_come_back_untouched(self):
        def gen():
            yield b"x"

        class WithCall:
            def __call__(self):
                return []

        obj = WithCall()
        for thing in (gen, obj, WithCall, len, [].copy):
            assert Quillon.thing_to_iterable(thing) is thing

    @pytest.mark.parametrize("thing", [
        None, b"file.bin", bytearray(b"f"), pathlib.Path("file.bin"), [b"x"], 3,
    ], ids=repr)
    def test_unsupported_sources_give_none(self, thing):
        assert Quillon.thing_to_iterable(thing) is None

    def test_generator_object_and_str_subclass_give_none(self):
        class Name(str):
            pass

        def gen():
            yield b"x"

        assert Quillon.thing_to_iterable(gen()) is None
        assert Quillon.thing_to_iterable(Name("file.bin")) is None

    def test_file_name_gives_a_fresh_readfile_function(self, tmp_path):
        path = str(write(tmp_path, 10))
        first = Quillon.thing_to_iterable(path)
        second = Quillon.thing_to_iterable(path)
        assert first is not second
        assert first.__name__ == "readFile"
        assert first.__qualname__ == "thing_to_iterable.<locals>.readFile"
        assert first.__doc__ is None

    def test_keyword_and_argument_count(self):
        assert Quillon.thing_to_iterable(thing=None) is None
        with pytest.raises(TypeError, match=r"^thing_to_iterable\(\) takes exactly 1 positional argument \(2 given\)$"):
            Quillon.thing_to_iterable(1, 2)
        with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
            Quillon.thing_to_iterable()
        with pytest.raises(TypeError):
            Quillon.thing_to_iterable(None, other=1)


class TestReadFile:
    @pytest.mark.parametrize("size,chunks", [
        (0, []), (1, [1]), (511, [511]), (512, [512]), (1024, [512, 512]),
        (1025, [512, 512, 1]),
    ])
    def test_chunks_of_512(self, tmp_path, size, chunks):
        path = write(tmp_path, size)
        got = list(Quillon.thing_to_iterable(str(path))())
        assert [len(c) for c in got] == chunks
        assert all(type(c) is bytes for c in got)
        assert b"".join(got) == path.read_bytes()

    def test_each_call_reads_from_the_beginning(self, tmp_path):
        path = write(tmp_path, 700)
        read = Quillon.thing_to_iterable(str(path))
        g1, g2 = read(), read()
        assert next(g1) == next(g2)
        assert g1.__name__ == "readFile"
        assert isinstance(g1, collections.abc.Generator)

    def test_missing_file_fails_only_on_first_advance(self, tmp_path):
        read = Quillon.thing_to_iterable(str(tmp_path / "missing.bin"))
        gen = read()
        with pytest.raises(FileNotFoundError):
            next(gen)
        with pytest.raises(StopIteration):
            next(gen)

    def test_file_open_only_while_running(self, tmp_path):
        path = str(write(tmp_path, 2000))
        gen = Quillon.thing_to_iterable(path)()
        assert path not in open_paths()
        next(gen)
        assert path in open_paths()
        list(gen)
        assert path not in open_paths()

    def test_closing_a_suspended_generator_closes_the_file(self, tmp_path):
        path = str(write(tmp_path, 2000))
        gen = Quillon.thing_to_iterable(path)()
        next(gen)
        gen.close()
        assert path not in open_paths()

    def test_exception_thrown_in_closes_the_file_and_propagates(self, tmp_path):
        path = str(write(tmp_path, 2000))
        gen = Quillon.thing_to_iterable(path)()
        next(gen)
        with pytest.raises(KeyError):
            gen.throw(KeyError("stop"))
        assert path not in open_paths()

    def test_discarding_a_suspended_generator_closes_the_file(self, tmp_path):
        path = str(write(tmp_path, 2000))
        gen = Quillon.thing_to_iterable(path)()
        next(gen)
        del gen
        assert path not in open_paths()
