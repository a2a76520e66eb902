"""quillon: one subcommand per job (dump, summary, params, messages, modes, convert)."""

from __future__ import annotations

import argparse
import sys
from typing import Callable, Dict, List, NamedTuple, Optional

from . import actions
from .common import UNUSABLE, Console, add_jobs, add_scaled, add_type, make_directory, patterns_of, run_guarded

PROG = "quillon"


class Subcommand(NamedTuple):
    summary: str  # one line, in the list of subcommands
    description: str
    example: str


SUBCOMMANDS: Dict[str, Subcommand] = {
    "dump": Subcommand(
        "print the packets as JSON Lines, or CSV",
        "Decode a DataFlash log (.bin), a MAVLink stream (.tlog, raw MAVLink) or a PX4 ULog "
        "log (.ulg) and "
        "print its packets as JSON Lines, one object per packet in log order; with "
        "--csv, the one message given with --type as CSV, or one NAME.csv per "
        "message into -o DIR. The format is detected from the content.",
        "quillon dump --type GPS flight.bin | head\n"
        "  quillon dump --csv --type GPS --scaled flight.bin > gps.csv"),
    "summary": Subcommand(
        "print message names, type numbers and counts",
        "Count the packets of each message of a log.",
        "quillon summary flight.tlog"),
    "params": Subcommand(
        "print the parameters, NAME<TAB>VALUE, sorted",
        "Print the last value of every parameter the log holds.",
        "quillon params flight.bin | grep ^BATT"),
    "messages": Subcommand(
        "print the text messages, TIME<TAB>SEVERITY<TAB>TEXT",
        "Print the log's text messages with their UTC time (or time since boot) "
        "and severity.",
        "quillon messages flight.bin"),
    "modes": Subcommand(
        "print the flight-mode changes, TIME<TAB>NAME",
        "Print each change of flight mode with its time.",
        "quillon modes flight.tlog"),
    "convert": Subcommand(
        "convert many logs into a Parquet dataset",
        "Convert logs in parallel into the dataset OUT: OUT/<NAME>/<log>.parquet per "
        "message name and log. Logs that OUT already holds are skipped unless --force.",
        "quillon convert flights/ -o dataset -j 4"),
}


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("quillon")
    except metadata.PackageNotFoundError:
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Decode drone flight logs: DataFlash (.bin), MAVLink (.tlog) and PX4 ULog (.ulg).",
        epilog="Run 'quillon SUBCOMMAND --help' for the options of one. Exit codes: 0 done, "
               "1 some logs failed, 2 usage error or nothing usable, 130 interrupted.")
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    subparsers = parser.add_subparsers(dest="command", metavar="SUBCOMMAND", required=True)
    for name, sub in SUBCOMMANDS.items():
        command = subparsers.add_parser(name, help=sub.summary, description=sub.description,
                                        epilog=f"example:\n  {sub.example}",
                                        formatter_class=argparse.RawDescriptionHelpFormatter)
        _ADD_OPTIONS[name](command)
    return parser


def _one_log(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("log", metavar="LOG", help='log file, or "-" for standard input')


def _dump_options(parser: argparse.ArgumentParser) -> None:
    _one_log(parser)
    add_type(parser)
    add_scaled(parser)
    parser.add_argument("--csv", action="store_true",
                        help="write CSV: of the one message given with --type to standard "
                             "output, or one NAME.csv per message into -o DIR")
    parser.add_argument("-o", "--out", metavar="DIR", help="directory for the CSV files")


def _summary_options(parser: argparse.ArgumentParser) -> None:
    _one_log(parser)
    add_type(parser)


def _convert_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("logs", nargs="+", metavar="LOG",
                        help="log files, directories (searched for .bin, .BIN, .tlog, .mav, "
                             ".ulg and .ULG files) and shell patterns")
    parser.add_argument("-o", "--out", metavar="OUT", required=True, help="the dataset's directory")
    add_type(parser)
    add_scaled(parser)
    add_jobs(parser, "")
    parser.add_argument("--force", action="store_true", help="convert logs that OUT already holds again")


_ADD_OPTIONS: Dict[str, Callable[[argparse.ArgumentParser], None]] = {
    "dump": _dump_options, "summary": _summary_options, "params": _one_log,
    "messages": _one_log, "modes": _one_log, "convert": _convert_options,
}


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    command = args.command
    patterns = patterns_of(parser, getattr(args, "types", None))
    console = Console(PROG)
    if command == "convert":
        if "-" in args.logs:
            parser.error("convert reads log files, not standard input")
        if not make_directory(args.out, console):
            return UNUSABLE
        request = actions.Request(args.logs[0], patterns, args.types, args.scaled)
        return run_guarded(console, None, lambda: actions.convert(
            args.out, args.logs, request, console, args.jobs, args.force))
    request = actions.Request(args.log, patterns, getattr(args, "types", None),
                              getattr(args, "scaled", False), getattr(args, "out", None))
    if command == "dump":
        if args.out is not None and not args.csv:
            parser.error("-o/--out goes with --csv")
        if args.csv and args.out is None and (patterns is None or len(patterns) != 1):
            parser.error("--csv needs exactly one message name in --type, or -o DIR")
        if args.out is not None and not make_directory(args.out, console):
            return UNUSABLE
        return run_guarded(console, args.log, lambda: actions.dump(request, console, csv=args.csv))
    if command == "summary":
        return run_guarded(console, args.log, lambda: actions.summary(request, console))
    return run_guarded(console, args.log, lambda: actions.facts(command, request, console))


if __name__ == "__main__":
    sys.exit(main())
