"""`quillon report`: the web page of one log, or of a fleet with its index."""

from __future__ import annotations

import argparse
import os
import sys

from ..export.terminal import visible
from .common import DONE, UNUSABLE, Console, install_hint, make_directory, run_guarded

# Bokeh is a dependency: missing, the installation is broken, and installing again mends it.
INSTALL_HINT = install_hint("the report needs Bokeh", "report")


def run(parser: argparse.ArgumentParser, args: argparse.Namespace, console: Console) -> int:
    if not args.fleet and len(args.logs) != 1:
        parser.error("report takes one log; give --fleet for several")
    if args.fleet and (args.out is None or "-" in args.logs):
        parser.error("--fleet reads log files and needs -o OUT, a directory")
    if args.logs == ["-"] and args.out is None:
        parser.error("a log from standard input needs -o FILE.html")
    try:
        import bokeh  # noqa: F401
        from ..report.page import NoPackets, Options
        from ..report.tuning import TuningTime
        from ..report.track import tile_origin
    except ImportError:
        console.error(INSTALL_HINT)
        return UNUSABLE
    if args.tiles is not None:
        try:
            tile_origin(args.tiles)
        except ValueError as error:
            parser.error(str(error))
    options = Options(args.tiles, args.track, TuningTime(args.flight, args.start, args.end), args.clock)
    if args.fleet:
        if not make_directory(args.out, console):
            return UNUSABLE
        return run_guarded(console, None, lambda: _fleet(args, options, console))
    log = args.logs[0]
    out = args.out or os.path.basename(log) + ".html"

    def one() -> int:
        from ..report.page import write_report

        source = sys.stdin.buffer if log == "-" else log
        title = "standard input" if log == "-" else os.path.basename(log)
        try:
            written = write_report(source, out, title, options)
        except NoPackets:
            console.error(f"no DataFlash, MAVLink or ULog data in {log!r}")
            return UNUSABLE
        from ..export.times import Clock

        clock = Clock.of(written.log, options.clock)
        if clock.refused:
            console.warn(clock.why_refused())
        print(f"{visible(out)}: {written.size / 1e6:.1f} MB")
        return DONE

    return run_guarded(console, log, one)


def _fleet(args: argparse.Namespace, options: object, console: Console) -> int:
    from ..report.fleet import report_fleet

    result = report_fleet(args.out, args.logs, options, jobs=args.jobs, force=args.force,  # type: ignore[arg-type]
                          on_problem=lambda error, text: (console.error if error else console.warn)(text))
    print(result.summary())
    return result.status
