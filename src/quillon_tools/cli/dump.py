"""quillon-dump: print the packets of a DataFlash, MAVLink or ULog log, with a mode
flag for the other outputs. Kept with every flag it has had, for the scripts
that call it; `quillon` offers the same jobs as subcommands."""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from .common import (UNUSABLE, Console, add_jobs, add_scaled, add_type, as_command, make_directory, patterns_of,
                     run_guarded)

PROG = "quillon-dump"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Decode a DataFlash log (.bin), a MAVLink stream (.tlog, raw "
                    "MAVLink) or a PX4 ULog log (.ulg) and print its packets. The format is detected from "
                    "the content. Prints JSON Lines unless told otherwise.")
    parser.add_argument("logs", nargs="+", metavar="LOG",
                        help='log file, or "-" for standard input; with --parquet, any '
                             "number of log files, directories and shell patterns")
    add_type(parser)
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
    add_jobs(parser, "with --parquet, ")
    parser.add_argument("--force", action="store_true",
                        help="with --parquet, convert logs that OUT already holds again")
    add_scaled(parser)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    from . import actions  # after parsing: --help and --version need no decoder

    if args.parquet is None:
        if len(args.logs) > 1:
            parser.error("only --parquet takes more than one LOG")
        if args.jobs is not None or args.force:
            parser.error("-j and --force go with --parquet")
    elif "-" in args.logs:
        parser.error("--parquet reads log files, not standard input")
    patterns = patterns_of(parser, args.types)
    if args.out is not None and not args.csv:
        parser.error("--out goes with --csv")
    if args.csv and args.out is None and (patterns is None or len(patterns) != 1):
        parser.error("--csv needs exactly one message name in --type, or --out DIR")
    console = Console(PROG)
    for directory in (args.parquet, args.out):
        if directory is not None and not make_directory(directory, console):
            return UNUSABLE
    request = actions.Request(args.logs[0], patterns, args.types, args.scaled, args.out)

    def work() -> int:
        if args.parquet is not None:
            return actions.convert(args.parquet, args.logs, request, console, args.jobs, args.force)
        for kind in actions.FACTS:
            if getattr(args, kind, False):  # quillon-dump has no flag for every kind
                return actions.facts(kind, request, console)
        if args.summary:
            return actions.summary(request, console)
        return actions.dump(request, console, csv=args.csv)

    return run_guarded(console, request.log, work)


def command() -> int:
    """The `quillon-dump` command."""
    return as_command(main)


if __name__ == "__main__":
    sys.exit(command())
