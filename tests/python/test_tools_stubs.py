"""The Quillon type stubs: consistent with the built module, and enough for
the tools to type-check strictly."""

import os
import pathlib
import shutil
import subprocess
import sys

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
