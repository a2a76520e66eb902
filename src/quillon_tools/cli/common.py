"""What every command shares: exit codes, messages on standard error, the
options that mean the same everywhere, and how failures end a command."""

from __future__ import annotations

import argparse
import importlib.machinery
import os
import sys
from typing import Any, Callable, List, Optional, TextIO, cast

from ..errors import UnreadableLog, describe_os_error
from ..export.terminal import visible
from ..names import parse_patterns

# The exit codes of every command (the README has the table).
DONE = 0
SOME_FAILED = 1  # some logs failed while others were done
UNUSABLE = 2  # a usage error, or nothing usable: no log readable
INTERRUPTED = 130


class Refused(Exception):
    """Input that the chosen output cannot take."""


class Console:
    """Warnings and errors on standard error, named after the command; above
    a progress bar when one is shown."""

    def __init__(self, prog: str) -> None:
        self.prog = prog
        self.bar: Any = None

    def warn(self, message: str) -> None:
        self._say(f"{self.prog}: warning: {message}")

    def error(self, message: str) -> None:
        self._say(f"{self.prog}: error: {message}")

    def _say(self, line: str) -> None:
        # Names in these lines are quoted with repr(), which doubles backslashes already.
        line = visible(line, backslash=False)
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr)


def install_hint(needs: str, extra: str) -> str:
    """What to install for an optional part, for a clone of the repository
    and for an installed package: `needs` names what is missing."""
    return f"{needs}: pip install '.[{extra}]' in a clone of quillon, pip install 'quillon[{extra}]' otherwise"


def positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive number: {text!r}")
    return int(text)


def add_type(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--type", metavar="NAME[,NAME...]", dest="types",
                        help="keep only these messages: names or shell patterns such as "
                             "'XKF*' (case-insensitive)")


def add_scaled(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--scaled", action="store_true",
                        help="apply the DataFlash multipliers: values become floats in their "
                             "units (Lat in degrees, Alt in metres)")


def add_clock(parser: argparse.ArgumentParser) -> None:
    """--utc and --boot, for the commands that print times."""
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--utc", dest="clock", action="store_const", const="utc",
                       help="times in UTC, where the log ties its boot clock to GPS time (its default then)")
    group.add_argument("--boot", dest="clock", action="store_const", const="boot",
                       help="times as seconds from boot (T+12.345 s), the default where the log has no GPS time")


def add_jobs(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("-j", "--jobs", type=positive, metavar="N",
                        help=f"{what}convert N logs at a time (default: one per core)")


def patterns_of(parser: argparse.ArgumentParser, types: Optional[str]) -> Optional[List[str]]:
    """The --type selection; an empty one is a usage error."""
    patterns = parse_patterns(types)
    if patterns is not None and not patterns:
        parser.error("--type needs at least one message name")
    return patterns


def find_and_tell(logs: List[str], console: Console) -> Any:
    """The logs the arguments name (`fleet.discovery.find_logs`), having told
    of each argument that cannot be read and each folder without a log."""
    from ..fleet.discovery import find_logs

    found = find_logs(logs)
    for argument, reason in found.missing:
        console.error(f"cannot read {argument!r}: {reason}")
    for directory in found.empty:
        console.warn(f"no log in {directory!r}")
    return found


def make_directory(directory: str, console: Console) -> bool:
    """Creates an output directory up front, so that a bad one fails before decoding."""
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        # makedirs reports an existing file as "File exists".
        reason = ("Not a directory" if isinstance(error, FileExistsError)
                  else error.strerror or str(error))
        console.error(f"cannot write {directory!r}: {reason}")
        return False
    return True


def run_guarded(console: Console, log: Optional[str], work: Callable[[], int]) -> int:
    """Runs a command's work; a file that cannot be read or written, input
    the output refuses, or an interruption ends it with its exit code."""
    try:
        return work()
    except BrokenPipeError:
        return _broken_pipe()
    except OSError as error:
        console.error(describe_os_error(error, log))
    except Refused as error:
        console.error(str(error))
    except UnreadableLog as error:
        console.error(f"cannot read {log!r}: {error}" if log else str(error))
    except KeyboardInterrupt:
        return INTERRUPTED
    return UNUSABLE


def _broken_pipe() -> int:
    # The reader of our output went away (e.g. `| head`): stop quietly.
    silence_stdout()
    return DONE


def silence_stdout() -> None:
    """Sends what is still written to standard output nowhere: its reader
    went away. Keeps the interpreter from reporting the failed flush at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


class Output:
    """Standard output that a closed pipe silences: the work goes on, as
    its exit status is the answer."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.closed = False

    def write(self, text: str) -> None:
        if self.closed:
            return
        try:
            self.stream.write(text)
            self.stream.flush()
        except BrokenPipeError:
            self.closed = True
            if self.stream is sys.stdout:
                silence_stdout()


class _WithoutPandas:
    """Finds pandas, whose import then fails: code that asks whether pandas
    is installed (Bokeh does) is told yes and goes on; code that imports
    it (pyarrow does) does without. A finder and loader by its methods:
    importlib.abc would load importlib.resources, a tenth of the start-up."""

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> Any:
        if name.partition(".")[0] != "pandas":
            return None
        return importlib.machinery.ModuleSpec(name, cast(Any, self))  # a loader by its methods

    def create_module(self, spec: Any) -> None:
        raise ImportError("the quillon command does without pandas", name=spec.name)

    def exec_module(self, module: Any) -> None:  # never reached: create_module refuses
        raise ImportError("the quillon command does without pandas", name=module.__name__)


def as_command(main: Callable[[], int]) -> int:
    """Runs `main` as the process's own command. pyarrow imports pandas,
    when it is installed, at the first array it makes, only to ask whether
    the values are pandas objects: a third of a second of every command's
    start, for nothing, as no command hands data to pandas. So a command's
    process imports no pandas. A program that calls a command's `main`
    itself keeps its pandas."""
    if "pandas" not in sys.modules:
        sys.meta_path.insert(0, _WithoutPandas())
    return main()
