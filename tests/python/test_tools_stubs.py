"""The Quillon type stubs: consistent with the built module and useful to
a type checker."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import quillon_tools

STUBS = pathlib.Path(__file__).resolve().parents[2] / "Quillon-stubs"


def mypy(tmp_path, *args):
    """Runs a mypy tool with the repository's stubs first on the search path."""
    stub_dir = tmp_path / "stubs"
    stub_dir.mkdir(exist_ok=True)
    shutil.copy(STUBS / "__init__.pyi", stub_dir / "Quillon.pyi")
    env = dict(os.environ, MYPYPATH=str(stub_dir),
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=600)
    return result.returncode, result.stdout + result.stderr


def test_stubtest_passes_against_the_built_module(tmp_path):
    status, output = mypy(tmp_path, "mypy.stubtest", "Quillon",
                          "--allowlist", str(STUBS / "stubtest-allowlist.txt"),
                          "--ignore-unused-allowlist")
    assert status == 0, output


def test_tools_type_check_strictly_against_the_stubs(tmp_path):
    source = pathlib.Path(quillon_tools.__file__).parent
    shutil.copytree(source, tmp_path / "quillon_tools",
                    ignore=shutil.ignore_patterns("__pycache__"))
    status, output = mypy(tmp_path, "mypy", "--strict", "--ignore-missing-imports",
                          "-p", "quillon_tools")
    assert status == 0, output


def test_stubs_type_usage_and_reject_misuse(tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent("""\
        import Quillon
        reader = Quillon.mavlink_reader("flight.tlog")
        for p in reader():
            reveal_type(p)
            reveal_type(p.packet_type)
            p.name = "x"
        got = reader.get_packet()
        got.protocol
        Quillon.data_flash_reader(lambda: [b"\\xa3", bytearray(b"\\x95")])
        reader.parseBuffer("text")
        reader.parseByte(7.9)
        reveal_type(Quillon.thing_to_iterable("flight.bin"))
        """))
    status, output = mypy(tmp_path, "mypy", "use.py")
    found = {}
    for line in output.splitlines():
        if line.startswith("use.py:"):
            _, number, message = line.split(":", 2)
            found[int(number)] = message
    expected = {
        4: 'Revealed type is "Quillon.packet"',
        5: 'Revealed type is "builtins.int"',
        6: 'Property "name" defined in "packet" is read-only',
        8: 'Item "None" of',
        10: 'incompatible type "str"',
        12: 'Revealed type is "def () -> typing.Generator[builtins.bytes, None, None]"',
    }
    assert status == 1 and sorted(found) == sorted(expected), output
    for number, text in expected.items():
        # Newer mypy versions drop the "builtins." prefix.
        assert text in found[number] or text.replace("builtins.", "") in found[number], output
