"""Loading the module: public names, re-import, interpreter rules."""
import importlib
import importlib.util
import os
import subprocess
import sys

import pytest

import Quillon

PUBLIC = {"packet", "mavlink_reader", "data_flash_reader", "thing_to_iterable"}


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=60)


def test_public_names():
    names = {n for n in dir(Quillon) if not n.startswith("_")}
    assert names == PUBLIC
    for name in names - {"thing_to_iterable"}:
        cls = getattr(Quillon, name)
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("Quillon", name, name)
    assert issubclass(Quillon.packet, dict)


def test_docstring_names_the_binding():
    assert "pyinterop" in Quillon.__doc__


def test_reimport_gives_the_same_module():
    original = sys.modules.pop("Quillon")
    try:
        again = importlib.import_module("Quillon")
        assert again is original and again.packet is original.packet
    finally:
        sys.modules["Quillon"] = original


def test_re_executing_the_module_changes_nothing():
    spec = importlib.util.find_spec("Quillon")
    module = importlib.util.module_from_spec(spec)
    assert module is Quillon
    packet_type = Quillon.packet
    spec.loader.exec_module(module)
    assert Quillon.packet is packet_type


def test_import_with_warnings_as_errors_on_matching_python():
    result = run_python("import Quillon")
    strict = subprocess.run([sys.executable, "-W", "error", "-c", "import Quillon"],
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and strict.returncode == 0, strict.stderr


def test_second_interpreter_is_refused():
    pytest.importorskip("_xxsubinterpreters")
    result = run_python(
        "import _xxsubinterpreters as i, Quillon\n"
        "sub = i.create()\n"
        "try:\n"
        "    i.run_string(sub, 'import Quillon')\n"
        "except i.RunFailedError as e:\n"
        "    print(e)\n")
    assert "ImportError" in result.stdout
    assert ("Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.") in result.stdout


def test_missing_collections_abc_only_warns():
    result = run_python(
        "import sys, warnings\n"
        "sys.modules['collections.abc'] = None\n"
        "with warnings.catch_warnings(record=True) as caught:\n"
        "    warnings.simplefilter('always')\n"
        "    import Quillon\n"
        "print([w.category.__name__ for w in caught])\n"
        "print(callable(Quillon.thing_to_iterable))\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["['RuntimeWarning']", "True"]
    assert "ModuleNotFoundError" in result.stderr
