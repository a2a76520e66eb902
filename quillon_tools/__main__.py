"""quillon-dump: print the packets of a DataFlash or MAVLink log."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, List, Optional

from .output import count_packets, write_csv, write_json_lines, write_summary
from .packets import parse_types, read_packets
from .source import LogSource
from .tables import Table, collect

PROG = "quillon-dump"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Decode a DataFlash log (.bin) or a MAVLink stream (.tlog, raw "
                    "MAVLink) and print its packets. The format is detected from "
                    "the content. Prints JSON Lines unless told otherwise.")
    parser.add_argument("log", help='log file, or "-" for standard input')
    parser.add_argument("--type", metavar="NAME[,NAME...]", dest="types",
                        help="keep only these messages (case-insensitive)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--summary", action="store_true",
                      help="print message names, type numbers and counts")
    mode.add_argument("--csv", action="store_true",
                      help="print CSV of the one message given with --type")
    mode.add_argument("--parquet", metavar="DIR",
                      help="write one Parquet file per message name into DIR")
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    wanted = parse_types(args.types)
    if wanted is not None and not wanted:
        parser.error("--type needs at least one message name")
    if args.csv and (wanted is None or len(wanted) != 1):
        parser.error("--csv needs exactly one message name in --type")
    if args.parquet is not None:
        try:
            import pyarrow.parquet  # noqa: F401
        except ImportError:
            _fail("--parquet needs pyarrow: pip install 'quillon[parquet]'")
            return 2
        try:  # before decoding, so that a bad directory fails at once
            os.makedirs(args.parquet, exist_ok=True)
        except OSError as error:
            # makedirs reports an existing file as "File exists".
            reason = ("Not a directory" if isinstance(error, FileExistsError)
                      else error.strerror or str(error))
            _fail(f"cannot write {args.parquet!r}: {reason}")
            return 2
    try:
        return _run(args)
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            return _broken_pipe()
        _fail(_describe(error, args.log))
    except KeyboardInterrupt:
        return 130
    return 2


def _run(args: argparse.Namespace) -> int:
    out = sys.stdout
    with LogSource.open(args.log) as source:
        bar = _progress(source)
        packets = read_packets(source, args.types)
        try:
            if args.summary:
                write_summary(count_packets(packets), out)
                found = True
            elif args.csv:
                table = Table()
                for packet in packets:
                    table.add(packet)
                found = table.rows > 0
                if found:
                    write_csv(table, out)
            elif args.parquet is not None:
                from .frames import write_parquet
                tables = collect(packets)
                found = bool(tables)
                write_parquet(tables, args.parquet)
            else:
                found = write_json_lines(packets, out) > 0
            out.flush()
        finally:
            if bar is not None:
                bar.close()
    if not found and args.types is not None:
        _warn(f"no packets named {args.types} in {source.display_name}")
    return 0


def _progress(source: LogSource) -> Any:
    """A byte-count progress bar on a terminal's standard error, else None.

    It appears only once decoding has taken half a second, so short files
    never show one.
    """
    if source.size is None or not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    try:
        columns, lines = os.get_terminal_size(sys.stderr.fileno())
    except OSError:
        columns = lines = 0
    # tqdm draws nothing on a terminal that reports no size (serial
    # consoles, fresh ptys); assume 80 by 24 there.
    bar = tqdm(total=source.size, unit="B", unit_scale=True, unit_divisor=1024,
               delay=0.5, leave=False, file=sys.stderr,
               desc=os.path.basename(source.display_name),
               ncols=columns or 80, nrows=lines or 24)
    source.on_chunk = bar.update
    return bar


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
