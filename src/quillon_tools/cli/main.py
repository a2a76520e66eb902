"""quillon: one subcommand per job (dump, summary, params, messages, modes,
info, events, track, convert, health, check, diagnose, report, spectrum, view, mcp)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Callable, Dict, List, NamedTuple, Optional

from .common import (DONE, INTERRUPTED, UNUSABLE, Console, add_clock, add_jobs, add_scaled, add_type, as_command,
                     install_hint, make_directory, patterns_of, positive, run_guarded)

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
        "print message names, type numbers and counts, and what the log dropped",
        "Count the packets of each message of a log; under them, the bytes read and "
        "skipped as junk, DataFlash headers of unknown type, MAVLink frames that failed "
        "their checksum, and per MAVLink sender the frames received and lost; for a "
        "ULog log, the bytes skipped as damaged, message definitions dropped, the "
        "logger's dropouts and where data was appended.",
        "quillon summary flight.tlog"),
    "params": Subcommand(
        "print the parameters, NAME<TAB>VALUE, sorted; or what changed",
        "Print the last value of every parameter the log holds. With --diff A B, "
        "each parameter whose value differs between two logs, NAME<TAB>A<TAB>B (empty "
        "where a log lacks it); with --non-default, each parameter away from the "
        "default the log records, NAME<TAB>VALUE<TAB>DEFAULT (PX4 ULog default "
        "parameters, of the airframe's setup; ArduPilot PARM's Default field); a log "
        "that records no defaults is an error saying so.",
        "quillon params flight.bin | grep ^BATT\n"
        "  quillon params --diff good.bin today.bin\n"
        "  quillon params --non-default flight.ulg"),
    "messages": Subcommand(
        "print the text messages, TIME<TAB>SEVERITY<TAB>TEXT",
        "Print the log's text messages with their UTC time (or time since boot) "
        "and severity.",
        "quillon messages flight.bin"),
    "modes": Subcommand(
        "print the flight-mode changes, TIME<TAB>NAME",
        "Print each change of flight mode with its time. With --summary, the time "
        "spent in each mode per flight (arm to disarm) and its share of the flight.",
        "quillon modes flight.tlog\n  quillon modes --summary flight.bin"),
    "info": Subcommand(
        "print what flew, when and how: vehicle, firmware, times, distance, battery",
        "Print the facts of a log as KEY: VALUE lines (with --json, as one JSON "
        "object): vehicle, firmware, board, start, duration, armed intervals, flight "
        "time, distance, altitude, speed, battery and GPS. Facts the log does not hold "
        "are shown as unknown. A tlog of several vehicles gives one block per system id.",
        "quillon info flight.bin"),
    "events": Subcommand(
        "print what happened, TIME<TAB>KIND<TAB>NAME<TAB>DETAIL",
        "Print arming, mode changes, log events, errors, failsafes, warnings and landed "
        "state with their time.",
        "quillon events flight.bin"),
    "track": Subcommand(
        "write the vehicle's track as GPX, KML or GeoJSON",
        "Write one point per position fix (DataFlash POS, else GPS; MAVLink "
        "GLOBAL_POSITION_INT, else GPS_RAW_INT) to FILE.",
        "quillon track --format kml flight.tlog -o flight.kml"),
    "convert": Subcommand(
        "convert many logs into a Parquet dataset",
        "Convert logs in parallel into the dataset OUT: OUT/<NAME>/<log>.parquet per "
        "message name and log. Logs that OUT already holds are skipped unless --force; "
        "those of a dataset written by an older version of its layout are converted again. "
        "quillon view opens the logs of a dataset from its files.",
        "quillon convert flights/ -o dataset -j 4"),
    "health": Subcommand(
        "find the airframes whose flights drift: motors, vibration, battery, compass...",
        "Set each airframe's flights in a dataset quillon convert made in time order, and print "
        "one line per indicator that drifted the worse way: beyond the median and 3 scaled MADs of "
        "the airframe's own earlier flights (of all its flights while it has fewer than 3 earlier "
        "ones; its first flight starts its history), or of the fleet's other airframes of its kind, "
        "each by the median of its flights. With --json, one JSON "
        "object per finding (airframe, indicator, _log, flight, flights, instance, value, baseline, "
        "detail). Exit code 0 when nothing drifted, 1 when something did, 2 when the dataset is unusable.",
        "quillon convert flights/ -o dataset && quillon health dataset\n"
        "  quillon health --json dataset | jq .detail"),
    "check": Subcommand(
        "check each log's health: vibration, GPS, EKF, power, crash...",
        "Run the health checks on each log and print a table of verdicts per log "
        "(pass, warn, fail, or skipped with the reason). Exit code 0 when no check "
        "fails, 1 when one fails (or a log is unreadable), 2 when no log is readable.",
        "quillon check flights/ -j 4 -o health.parquet"),
    "diagnose": Subcommand(
        "say what happened in each flight, and why: a chain of findings, the cause first",
        "Work out, per flight, a time-ordered chain of findings: the cause first (a motor "
        "that failed, named from the frame's layout; lost thrust; a reboot or power lost in "
        "the air; GPS, EKF, compass or vibration trouble; a failsafe), or \"unknown\" where "
        "nothing on record says why; then what contributed and what followed (lost control, "
        "impacts). With --json, one JSON object per finding (_log, _time, boot_s, flight, finding, "
        "role, instance, detail). A healthy log says \"no fault found\".",
        "quillon diagnose flight.bin"),
    "report": Subcommand(
        "write a flight report: one web page per log, an index per fleet",
        "Write a self-contained HTML page of a log: its facts, checks, flight modes "
        "and events, track and linked plots, parameters and messages. The page makes "
        "no network request. With --fleet, one page per log into the directory OUT "
        "and OUT/index.html listing them; logs whose page is current are skipped "
        "unless --force.",
        "quillon report flight.bin -o flight.html\n"
        "  quillon report --fleet flights/ -o reports -j 4"),
    "spectrum": Subcommand(
        "print the vibration spectrum's peaks and its Nyquist limit",
        "Compute the power spectral density (Welch) of a gyro or accelerometer from the "
        "log's best high-rate samples (ArduPilot batch sampler, raw IMU logging; PX4 "
        "sensor topics) and print the source, its sample rate and Nyquist limit, and the "
        "dominant peaks per axis with their harmonics and motor orders. --json prints one "
        "object; -o writes the spectrum to FILE.parquet or FILE.csv. A log whose samples "
        "are too slow or too few is an error saying why.",
        "quillon spectrum flight.bin\n"
        "  quillon spectrum --signal accel --filters flight.bin -o accel.parquet\n"
        "  quillon spectrum --filters --set INS_HNTCH_FREQ=75 --flight 1 flight.bin"),
    "mcp": Subcommand(
        "serve the logs under folders to an AI assistant (Model Context Protocol)",
        "Start a Model Context Protocol server on standard input and output whose "
        "read-only tools are Quillon's answers over the logs under DIR...: list_logs, "
        "info, flights, check, diagnose, events, params (with a diff), signal_stats, "
        "spectrum, and sql over a dataset quillon convert made. A path outside the "
        "folders is refused. An assistant starts it as its command; it stops when "
        "standard input closes. Needs the mcp extra: pip install '.[mcp]' in a clone, "
        "pip install 'quillon[mcp]' otherwise.",
        "quillon mcp flights/\n"
        "  quillon mcp /data/logs /data/datasets"),
    "view": Subcommand(
        "explore a log, or a folder of logs, in the browser",
        "Start a local web server and open the browser on it: a log's page shows what "
        "its report shows, and plots any field of any message in its unit, the server "
        "re-sampling each line to the screen as the plots zoom; a folder's page lists its "
        "logs with date, vehicle and duration. It listens on 127.0.0.1 unless --host says "
        "otherwise; Ctrl-C stops it.",
        "quillon view flight.bin\n"
        "  quillon view flights/ --port 5006\n"
        "  quillon view flights/ --host 0.0.0.0 --no-browser"),
}


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("quillon")
    except metadata.PackageNotFoundError:
        return "unknown"


class _Version(argparse.Action):
    """--version, looked up only when asked for: finding it loads the
    package metadata machinery, which no other command needs."""

    def __init__(self, option_strings: List[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: str = "show program's version number and exit") -> None:
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> None:
        print(f"{PROG} {_version()}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Decode drone flight logs: DataFlash (.bin), MAVLink (.tlog) and PX4 ULog (.ulg).",
        epilog="Run 'quillon SUBCOMMAND --help' for the options of one. Exit codes: 0 done, "
               "1 some logs failed, 2 usage error or nothing usable, 130 interrupted.")
    parser.add_argument("--version", action=_Version)
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
    add_clock(parser)


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
    parser.add_argument("--dask", metavar="ADDRESS",
                        help="convert on the workers of the Dask cluster whose scheduler is at ADDRESS "
                             "(tcp://host:8786); they must reach the logs and OUT at the same paths")


def _health_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("dataset", metavar="DATASET", help="a dataset quillon convert made")
    parser.add_argument("--json", action="store_true", help="print JSON Lines, one object per finding")


def _info_options(parser: argparse.ArgumentParser) -> None:
    _one_log(parser)
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    add_clock(parser)


def _rows_options(parser: argparse.ArgumentParser) -> None:
    _one_log(parser)
    parser.add_argument("--json", action="store_true",
                        help="print JSON Lines: _time in ISO 8601, boot_s, then the row's fields")
    add_clock(parser)


def _modes_options(parser: argparse.ArgumentParser) -> None:
    _rows_options(parser)
    parser.add_argument("--summary", action="store_true",
                        help="the time and share of each flight spent in each mode, per flight")


def _track_options(parser: argparse.ArgumentParser) -> None:
    _one_log(parser)
    parser.add_argument("--format", choices=("gpx", "kml", "geojson"), required=True,
                        help="the file format")
    parser.add_argument("-o", "--out", metavar="FILE", required=True, help='the file to write ("-" for standard output)')


def _check_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("logs", nargs="+", metavar="LOG",
                        help="log files, directories (searched for .bin, .BIN, .tlog, .mav, "
                             ".ulg and .ULG files) and shell patterns")
    parser.add_argument("--json", action="store_true", help="print JSON Lines, one object per verdict")
    parser.add_argument("-j", "--jobs", type=positive, metavar="N", help="check N logs at a time (default: 1)")
    parser.add_argument("-o", "--out", metavar="FILE",
                        help="write every log's verdicts, with a _log column, to FILE.parquet or FILE.csv")
    add_clock(parser)


def _diagnose_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("logs", nargs="+", metavar="LOG",
                        help="log files, directories (searched for .bin, .BIN, .tlog, .mav, "
                             ".ulg and .ULG files) and shell patterns")
    parser.add_argument("--json", action="store_true", help="print JSON Lines, one object per finding")
    parser.add_argument("-j", "--jobs", type=positive, metavar="N", help="read N logs at a time (default: 1)")
    add_clock(parser)


def _report_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("logs", nargs="+", metavar="LOG",
                        help="the log; with --fleet, log files, directories and shell patterns")
    parser.add_argument("-o", "--out", metavar="OUT",
                        help="the page to write (default: the log's name with .html, here); "
                             "with --fleet, the directory of the pages")
    parser.add_argument("--fleet", action="store_true", help="a page per log and an index of them")
    parser.add_argument("--tiles", metavar="URL-TEMPLATE",
                        help="draw the track over map tiles from this URL, such as "
                             "'https://tile.example.org/{z}/{x}/{y}.png' (the page then loads them)")
    parser.add_argument("--no-track", dest="track", action="store_false",
                        help="leave every position out of the page")
    parser.add_argument("-j", "--jobs", type=positive, metavar="N",
                        help="with --fleet, report N logs at a time (default: one per core)")
    parser.add_argument("--force", action="store_true", help="with --fleet, write current pages again")
    add_clock(parser)
    _tuning_time(parser, "the tuning section reads ")


def _tuning_time(parser: argparse.ArgumentParser, what: str) -> None:
    """--flight, --start and --end: the time a tuning answer reads."""
    parser.add_argument("--flight", type=int, metavar="N", help=f"{what}flight N's time in the air (default: the time "
                                                                 "in the air of every flight)")
    parser.add_argument("--start", type=float, metavar="S", help=f"{what}from S seconds after the log's start")
    parser.add_argument("--end", type=float, metavar="S", help=f"{what}to S seconds after the log's start")


def _params_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("log", metavar="LOG", nargs="?", help='log file, or "-" for standard input')
    parser.add_argument("--diff", nargs=2, metavar=("A", "B"), help="the parameters that differ between logs A and B")
    parser.add_argument("--non-default", action="store_true",
                        help="the parameters whose value differs from the default the log records")


def _spectrum_options(parser: argparse.ArgumentParser) -> None:
    _one_log(parser)
    parser.add_argument("--signal", choices=("gyro", "accel"), default="gyro", help="the sensor (default: gyro)")
    parser.add_argument("--instance", type=int, metavar="N", help="the IMU (default: the lowest logged)")
    parser.add_argument("--filters", action="store_true",
                        help="review the gyro filters (ArduPilot's or PX4's) against the spectrum: is each peak in "
                             "a notch, how much it is attenuated and delayed")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                        help="review the filters as if the parameter were set so (repeatable; implies --filters)")
    _tuning_time(parser, "")
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    parser.add_argument("-o", "--out", metavar="FILE", help="write the spectrum to FILE.parquet or FILE.csv")
    parser.add_argument("--plot", metavar="FILE.html", help="write the spectrum's page (needs Bokeh)")


def _mcp_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("dirs", nargs="+", metavar="DIR", help="the folders whose logs (and datasets) it serves")


def _view_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("log", metavar="LOG|DIR", help="a log, or a directory searched for logs")
    parser.add_argument("--port", type=int, default=0, metavar="N", help="the port (default: a free one)")
    parser.add_argument("--host", default="127.0.0.1", metavar="H",
                        help="the address to listen on (default: 127.0.0.1, this machine alone)")
    parser.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                        help="also open pages that the browser loaded from ORIGIN (e.g. https://logs.example.org, "
                             "a proxy's address); repeatable. Pages open from the address served alone otherwise")
    parser.add_argument("--no-browser", dest="browser", action="store_false", help="do not open a browser")


_ADD_OPTIONS: Dict[str, Callable[[argparse.ArgumentParser], None]] = {
    "dump": _dump_options, "summary": _summary_options, "params": _params_options,
    "messages": _rows_options, "modes": _modes_options, "convert": _convert_options,
    "health": _health_options,
    "info": _info_options, "events": _rows_options, "track": _track_options,
    "check": _check_options, "diagnose": _diagnose_options,
    "report": _report_options, "spectrum": _spectrum_options, "view": _view_options, "mcp": _mcp_options,
}


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    command = args.command
    from . import actions  # after parsing: --help and --version need no decoder

    patterns = patterns_of(parser, getattr(args, "types", None))
    console = Console(PROG)
    if command == "convert":
        if "-" in args.logs:
            parser.error("convert reads log files, not standard input")
        if args.dask is not None:
            if args.jobs is not None:
                parser.error("-j and --dask exclude each other: the cluster's workers convert the logs")
            try:
                import distributed  # noqa: F401
            except ImportError:
                console.error(install_hint("quillon convert --dask needs Dask", "dask"))
                return UNUSABLE
        if not make_directory(args.out, console):
            return UNUSABLE
        request = actions.Request(args.logs[0], patterns, args.types, args.scaled)
        return run_guarded(console, None, lambda: actions.convert(
            args.out, args.logs, request, console, args.jobs, args.force, dask=args.dask))
    if command == "health":
        from .health import run

        return run_guarded(console, None, lambda: run(args.dataset, console, args.json))
    if command == "check":
        if "-" in args.logs:
            parser.error("check reads log files, not standard input")
        if args.out is not None and not args.out.lower().endswith((".parquet", ".csv")):
            parser.error("-o/--out must name a .parquet or .csv file")
        from .check import check

        return run_guarded(console, None, lambda: check(args.logs, console, args.json, args.jobs, args.out,
                                                          clock=args.clock))
    if command == "diagnose":
        if "-" in args.logs:
            parser.error("diagnose reads log files, not standard input")
        from .diagnose import diagnose

        return run_guarded(console, None, lambda: diagnose(args.logs, console, args.json, args.jobs,
                                                             clock=args.clock))
    if command == "report":
        from . import report

        return report.run(parser, args, console)
    if command == "view":
        from . import view

        return view.run(parser, args, console)
    if command == "mcp":
        return _mcp(args.dirs, console)
    if command == "spectrum":
        if args.out is not None and not args.out.lower().endswith((".parquet", ".csv")):
            parser.error("-o/--out must name a .parquet or .csv file")
        if (args.filters or args.set) and args.signal != "gyro":
            parser.error("--filters reviews the gyro filters: it goes with --signal gyro")
        if args.plot is not None and not args.plot.lower().endswith(".html"):
            parser.error("--plot must name a .html file")
        from . import tuning

        settings = tuning.parse_settings(parser, args.set)
        when = tuning.When(args.flight, args.start, args.end)
        return run_guarded(console, args.log, lambda: tuning.spectrum(
            args.log, args.signal, args.instance, args.json, args.out, console, args.filters or bool(settings),
            settings=settings, when=when, plot=args.plot))
    if command == "params" and (args.diff is not None or args.non_default):
        from . import tuning

        if args.diff is not None and (args.log is not None or args.non_default):
            parser.error("--diff A B takes the two logs and no other")
        if args.diff is not None:
            if "-" in args.diff:
                parser.error("--diff reads log files, not standard input")
            return run_guarded(console, None, lambda: tuning.param_diff(args.diff[0], args.diff[1], console))
        if args.log is None:
            parser.error("--non-default needs a LOG")
        return run_guarded(console, args.log, lambda: tuning.non_default(args.log, console))
    if command == "params" and args.log is None:
        parser.error("params needs a LOG, or --diff A B")
    request = actions.Request(args.log, patterns, getattr(args, "types", None),
                              getattr(args, "scaled", False), getattr(args, "out", None), getattr(args, "clock", None))
    if command == "dump":
        if args.out is not None and not args.csv:
            parser.error("-o/--out goes with --csv")
        if args.csv and args.out is None and (patterns is None or len(patterns) != 1):
            parser.error("--csv needs exactly one message name in --type, or -o DIR")
        if args.out is not None and not make_directory(args.out, console):
            return UNUSABLE
        return run_guarded(console, args.log, lambda: actions.dump(request, console, csv=args.csv))
    if command == "info":
        return run_guarded(console, args.log, lambda: actions.info(request, console, as_json=args.json))
    if command == "track":
        return run_guarded(console, args.log, lambda: actions.track(request, console, args.format, args.out))
    if command == "summary":
        return run_guarded(console, args.log, lambda: actions.summary(request, console, stats=True))
    return run_guarded(console, args.log, lambda: actions.facts(
        "mode_times" if getattr(args, "summary", False) else command, request, console,
        as_json=getattr(args, "json", False)))


def _mcp(directories: List[str], console: Console) -> int:
    for directory in directories:
        if not os.path.isdir(directory):
            console.error(f"not a folder: {directory!r}")
            return UNUSABLE
    try:
        import duckdb  # noqa: F401
        import mcp  # noqa: F401
    except ImportError:
        console.error(install_hint("quillon mcp needs the mcp package and DuckDB", "mcp"))
        return UNUSABLE
    from ..mcp.server import serve

    try:
        serve(directories)
    except KeyboardInterrupt:
        return INTERRUPTED
    return DONE


def command() -> int:
    """The `quillon` command."""
    return as_command(main)


if __name__ == "__main__":
    sys.exit(command())
