"""quillon-dump: print the packets of a DataFlash or MAVLink log."""

from __future__ import annotations

import argparse
import fnmatch
import os
import re
import sys
from typing import Any, Dict, List, Optional, Set, TextIO

from .inputs import LogInput
from .log import LogStream, parse_patterns

PROG = "quillon-dump"

# Rows are decoded and written (or counted) this many input bytes at a time,
# so memory stays flat on logs of any size.
BATCH_BYTES = 2 << 20  # output follows the progress bar closely


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Decode a DataFlash log (.bin) or a MAVLink stream (.tlog, raw "
                    "MAVLink) and print its packets. The format is detected from "
                    "the content. Prints JSON Lines unless told otherwise.")
    parser.add_argument("logs", nargs="+", metavar="LOG",
                        help='log file, or "-" for standard input; with --parquet, any '
                             "number of log files, directories and shell patterns")
    parser.add_argument("--type", metavar="NAME[,NAME...]", dest="types",
                        help="keep only these messages: names or shell patterns such as "
                             "'XKF*' (case-insensitive)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--summary", action="store_true",
                      help="print message names, type numbers and counts")
    mode.add_argument("--csv", action="store_true",
                      help="write CSV: of the one message given with --type to standard "
                           "output, or one NAME.csv per message into --out DIR")
    mode.add_argument("--parquet", metavar="OUT",
                      help="convert the logs in parallel into the dataset OUT: "
                           "OUT/<NAME>/<log>.parquet per message name and log")
    mode.add_argument("--params", action="store_true",
                      help="print the log's parameters, NAME<TAB>VALUE, sorted")
    mode.add_argument("--messages", action="store_true",
                      help="print the log's text messages, TIME<TAB>SEVERITY<TAB>TEXT")
    mode.add_argument("--modes", action="store_true",
                      help="print the flight-mode changes, TIME<TAB>NAME")
    parser.add_argument("--out", metavar="DIR", help="directory for --csv files")
    parser.add_argument("-j", "--jobs", type=_positive, metavar="N",
                        help="with --parquet, convert N logs at a time (default: one per core)")
    parser.add_argument("--force", action="store_true",
                        help="with --parquet, convert logs that OUT already holds again")
    parser.add_argument("--scaled", action="store_true",
                        help="apply the DataFlash multipliers: values become floats in their "
                             "units (Lat in degrees, Alt in metres)")
    return parser


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive number: {text!r}")
    return int(text)


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    args.log = args.logs[0]
    if args.parquet is None:
        if len(args.logs) > 1:
            parser.error("only --parquet takes more than one LOG")
        if args.jobs is not None or args.force:
            parser.error("-j and --force go with --parquet")
    elif "-" in args.logs:
        parser.error("--parquet reads log files, not standard input")
    patterns = parse_patterns(args.types)
    if patterns is not None and not patterns:
        parser.error("--type needs at least one message name")
    if args.out is not None and not args.csv:
        parser.error("--out goes with --csv")
    if args.csv and args.out is None and (patterns is None or len(patterns) != 1):
        parser.error("--csv needs exactly one message name in --type, or --out DIR")
    for directory in (args.parquet, args.out):
        if directory is not None and not _make_directory(directory):
            return 2
    try:
        if args.parquet is not None:
            return _convert_logs(args, patterns)
        return _run(args, patterns)
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            return _broken_pipe()
        _fail(_describe(error, args.log))
    except _Refused as error:
        _fail(str(error))
    except KeyboardInterrupt:
        return 130
    return 2


class _Refused(Exception):
    """Input that the chosen output cannot take."""


def _make_directory(directory: str) -> bool:
    """Creates an output directory up front, so that a bad one fails before decoding."""
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        # makedirs reports an existing file as "File exists".
        reason = ("Not a directory" if isinstance(error, FileExistsError)
                  else error.strerror or str(error))
        _fail(f"cannot write {directory!r}: {reason}")
        return False
    return True


def _convert_logs(args: argparse.Namespace, patterns: Optional[List[str]]) -> int:
    from .dataset import Settings
    from .fleet import convert_logs

    result = convert_logs(args.parquet, args.logs, Settings(patterns, args.scaled),
                          jobs=args.jobs, force=args.force)
    if result.names:
        for pattern in patterns or ():
            if not any(_matches(pattern, name) for name in result.names):
                _warn(f"no message in the logs converted matches {pattern!r}")
    return result.status


def _run(args: argparse.Namespace, patterns: Optional[List[str]]) -> int:
    out = sys.stdout
    source = sys.stdin.buffer if args.log == "-" else args.log
    with LogInput(source) as log:
        if args.params or args.messages or args.modes:
            return _print_facts(args, log, out)
        bar = _progress(log, args.log)
        stream = LogStream(log, patterns, batch_bytes=BATCH_BYTES,
                           on_bytes=bar.update if bar is not None else None, scaled=args.scaled,
                           finished=not args.summary)
        try:
            seen = _write(args, stream, out)
            out.flush()
        finally:
            if bar is not None:
                bar.close()
    if stream.protocol is None:
        _fail(f"no DataFlash or MAVLink packets in {args.log!r}")
        return 2
    for pattern in patterns or ():
        if not any(_matches(pattern, name) for name in seen):
            _warn(f"no message in {args.log!r} matches {pattern!r}")
    return 0


def _print_facts(args: argparse.Namespace, log: LogInput, out: TextIO) -> int:
    """--params, --messages or --modes: what the whole log says."""
    from . import output
    from .log import read_log

    found = read_log(log, types=())
    if found.protocol is None:
        _fail(f"no DataFlash or MAVLink packets in {args.log!r}")
        return 2
    if args.params:
        output.write_params(found.params, out)
    elif args.messages:
        output.write_messages(found.messages, out)
    else:
        output.write_modes(found.modes, out)
    out.flush()
    return 0


def _write(args: argparse.Namespace, stream: LogStream, out: TextIO) -> Set[str]:
    """Writes the chosen output; returns the names of the messages written."""
    from . import output

    seen: Set[str] = set()
    if args.summary:
        counts = output.count_rows(stream)
        if stream.protocol is not None:
            output.write_summary(counts, out)
        return {name for name, _ in counts}
    if args.csv:
        return _write_csv(args, stream, out)
    binary = getattr(out, "buffer", None)
    out.flush()  # the lines go to the bytes beneath
    for batch in stream:
        seen.update(name for name, _, _ in batch)
        lines = output.json_lines(batch, stream.detected)
        if binary is not None:
            binary.write(lines)
        else:
            out.write(lines.decode("ascii"))
    return seen


def _write_csv(args: argparse.Namespace, stream: LogStream, out: TextIO) -> Set[str]:
    from .frames import file_names
    from .output import CsvWriter

    writers: Dict[str, CsvWriter] = {}
    files: List[Any] = []
    try:
        for batch in stream:
            for name, _, table in batch:
                writer = writers.get(name)
                if writer is None:
                    if args.out is None:
                        if writers:
                            raise _Refused(f"--type {args.types!r} matches several messages "
                                           f"({', '.join([*writers, name])}); give --out DIR")
                        target = out
                    else:
                        stem = file_names([*writers, name])[name]
                        target = open(os.path.join(args.out, stem + ".csv"), "w", newline="",
                                      encoding="utf-8")
                        files.append(target)
                    writer = writers[name] = CsvWriter(target)
                writer.write(table)
    finally:
        for file in files:
            file.close()
    return set(writers)


def _matches(pattern: str, name: str) -> bool:
    """Whether a --type pattern selects a table (its numbered copies "NAME~2" included)."""
    folded = pattern.casefold()
    return any(fnmatch.fnmatchcase(candidate.casefold(), folded)
               for candidate in (name, re.sub(r"~\d+$", "", name)))


def _progress(log: LogInput, label: str) -> Any:
    """A byte-count progress bar on a terminal's standard error, else None.

    It appears only once decoding has taken half a second, so short files
    never show one.
    """
    if log.size is None or not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    try:
        columns, lines = os.get_terminal_size(sys.stderr.fileno())
    except OSError:
        columns = lines = 0
    # tqdm draws nothing on a terminal that reports no size (serial
    # consoles, fresh ptys); assume 80 by 24 there.
    return tqdm(total=log.size, unit="B", unit_scale=True, unit_divisor=1024,
                delay=0.5, leave=False, file=sys.stderr,
                desc=os.path.basename(label),
                ncols=columns or 80, nrows=lines or 24)


def _describe(error: OSError, log: str) -> str:
    reason = error.strerror or str(error)
    if error.filename is None:
        return reason
    name = os.fsdecode(error.filename)
    verb = "read" if name == log else "write"
    return f"cannot {verb} {name!r}: {reason}"


def _warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _fail(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)


def _broken_pipe() -> int:
    # The reader of our output went away (e.g. `| head`): stop quietly, and
    # keep the interpreter from reporting the failed flush at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    return 1


if __name__ == "__main__":
    sys.exit(main())
