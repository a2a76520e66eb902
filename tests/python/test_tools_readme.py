"""The README's Python examples, run from the repository root against the
installed package, so that the README cannot drift from what the code does.
Printed output is compared with whitespace normalised; in the README's
expected output, text after two spaces and "#" is a comment."""

import contextlib
import doctest
import io
import os
import pathlib
import re
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
README = (REPO / "README.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"^```(\w*)\n(.*?)^```\n", README, re.S | re.M)
PYTHON = [code for kind, code in BLOCKS if kind == "python"]


def normalised(text):
    lines = (re.sub(r"\s{2,}#.*$", "", line) for line in text.splitlines())
    return " ".join(" ".join(lines).split())


def block_with(text):
    (code,) = [code for code in PYTHON if text in code]
    return code


def block_after(code):
    """The plain block that follows a Python block in the README: its output."""
    kinds = [kind for kind, _ in BLOCKS]
    at = [c for _, c in BLOCKS].index(code)
    assert kinds[at + 1] == ""
    return BLOCKS[at + 1][1]


def run(code):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README.md", "exec"), {"__name__": "readme"})
    return out.getvalue()


def test_the_package_imports_from_the_repository_root():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-c", "import quillon_tools; print(quillon_tools.__file__)"],
                            cwd=REPO, capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    assert REPO / "src" not in pathlib.Path(result.stdout.strip()).parents


def test_doctest_examples_print_what_the_readme_shows(monkeypatch):
    monkeypatch.chdir(REPO)
    code = block_with(">>> ")
    examples = doctest.DocTestParser().get_examples(code)
    assert examples
    namespace = {}
    for example in examples:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            compiled = compile(example.source, "README.md", "single")
            exec(compiled, namespace)
        assert normalised(out.getvalue()) == normalised(example.want), example.source


@pytest.mark.parametrize("marker", ["import Quillon", "read_log(\"samples/sub-4.1.1-dive.tlog\")",
                                    "to_dataframes("])
def test_python_examples_run(monkeypatch, marker):
    monkeypatch.chdir(REPO)
    output = run(block_with(marker))
    if marker == "import Quillon":  # the comments say what it prints
        assert output.startswith("96 data_flash ") and "heartbeat {'custom_mode': 0, 'type': 0" in output


def test_duckdb_example_on_the_converted_samples(monkeypatch, tmp_path):
    pytest.importorskip("duckdb")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    shown = re.search(r"^(quillon convert .*?)\s+#", README, re.M).group(1)
    command = shown.replace("quillon ", f"{sys.executable} -m quillon_tools ", 1).replace(
        " samples ", f" {REPO / 'samples'} ")
    result = subprocess.run(command.split(), cwd=tmp_path, capture_output=True, env=env, timeout=300)
    assert result.returncode == 0, result.stderr
    # The summary line the README quotes, up to the time it took.
    said = re.search(r"summary on standard output: `(.*?) in …`", README, re.S).group(1)
    assert result.stdout.decode().startswith(" ".join(said.split()) + " in "), result.stdout
    monkeypatch.chdir(tmp_path)
    code = block_with("import duckdb")
    assert normalised(run(code)) == normalised(block_after(code))


def test_the_quick_start_prints_what_the_readme_shows():
    """The quick start's output block: its lines, in order, the "..." standing for the lines left out."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    command = re.search(r"\.venv/bin/(quillon summary \S+)", README).group(1)
    shown = BLOCKS[[c for _, c in BLOCKS].index(next(c for k, c in BLOCKS if command in c)) + 1][1]
    result = subprocess.run([sys.executable, "-m", "quillon_tools", *command.split()[1:]], cwd=REPO,
                            capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    printed = result.stdout.splitlines()
    head, _, tail = shown.partition("...\n")
    assert printed[:len(head.splitlines())] == head.splitlines()
    assert printed[-len(tail.splitlines()):] == tail.splitlines()
