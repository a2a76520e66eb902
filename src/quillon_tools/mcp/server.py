"""`quillon mcp DIR...`: a Model Context Protocol server over standard input
and output, whose tools are the answers Quillon gives, read-only, over the
logs under the folders it was started with. Each tool answers with one JSON
text; a path outside the folders, a log that cannot be read or a question
the log cannot answer is a tool error (`isError`), saying why."""

from __future__ import annotations

import functools
import json
from typing import Any, Callable, Dict, Optional

from .answers import Answers
from .folders import Folders
from .sql import query

NAME = "quillon"
INSTRUCTIONS = (
    "Quillon reads drone flight logs (ArduPilot DataFlash .bin, MAVLink .tlog, PX4 ULog .ulg). Start with "
    "list_logs, then diagnose (what happened and why, the cause first) and check (a verdict per health "
    "check). info gives the flight's facts and the signals a log holds; signal_stats the statistics of one "
    "over a window, in seconds from the log's start. Every answer states its units; times are ISO 8601 "
    "with boot_s, the seconds from boot (a log without GPS time has only that clock). Cite the times and "
    "values the answers give.")


def _server_class() -> Any:
    """The server class of the mcp package: MCPServer, FastMCP before 2.0."""
    try:
        from mcp.server.mcpserver import MCPServer

        return MCPServer
    except ImportError:
        from mcp.server.fastmcp import FastMCP  # type: ignore[attr-defined, unused-ignore]

        return FastMCP


def _tool_error() -> Any:
    try:
        from mcp.server.mcpserver.exceptions import ToolError
    except ImportError:
        from mcp.server.fastmcp.exceptions import ToolError  # type: ignore[no-redef, unused-ignore]
    return ToolError


def _answering(work: Callable[..., Any]) -> Callable[..., str]:
    """A tool: its answer as JSON text, what it cannot answer a tool error."""
    error = _tool_error()

    @functools.wraps(work)
    def tool(*args: Any, **kwargs: Any) -> str:
        try:
            answer = work(*args, **kwargs)
        except error:
            raise
        except Exception as problem:  # every failure of a question is the caller's answer
            raise error(str(problem) or type(problem).__name__) from problem
        return json.dumps(answer, allow_nan=False, default=str)
    tool.__annotations__ = {**work.__annotations__, "return": str}  # one JSON text, not a structure
    return tool


def make_server(folders: Folders) -> Any:
    """The server and its tools over `folders`."""
    from mcp.types import ToolAnnotations

    answers = Answers(folders)
    server = _server_class()(NAME, instructions=INSTRUCTIONS)
    # By the protocol's names, which every version of the package takes.
    hints: Dict[str, Any] = {"readOnlyHint": True, "destructiveHint": False, "idempotentHint": True,
                             "openWorldHint": False}
    read_only = ToolAnnotations(**hints)

    def add(description: str) -> Callable[[Callable[..., Any]], Any]:
        def register(work: Callable[..., Any]) -> Any:
            return server.tool(description=description, annotations=read_only)(_answering(work))
        return register

    @add("The logs (and converted datasets' folders) under the folders served, with their sizes.")
    def list_logs() -> Any:
        return answers.list_logs()

    @add("A log's facts: vehicle, firmware, start, duration, armed spans, flight time, distance, altitude, "
         "speed, battery, GPS, with their units; and the signals it holds with theirs. `log` is a path "
         "relative to a folder served, or absolute inside one.")
    def info(log: str) -> Any:
        return answers.info(log)

    @add("The flights of a log (arm to disarm): start, end, takeoff, landing, phases and marks (impacts, falls).")
    def flights(log: str) -> Any:
        return answers.flights(log)

    @add("The health checks of a log: a verdict (pass, warn, fail, skipped) per check with its value, limit, "
         "unit, worst moment and why.")
    def check(log: str) -> Any:
        return answers.check(log)

    @add("What happened in each flight of a log, and why: the chain of findings, the cause first, as "
         "`quillon diagnose` prints it (text) and row by row (findings).")
    def diagnose(log: str) -> Any:
        return answers.diagnose(log)

    @add("The events of a log in time order: arming, mode changes, failsafes, errors, landings.")
    def events(log: str) -> Any:
        return answers.events(log)

    @add("A log's parameters; with `diff_with` (another log), the parameters that differ between the two.")
    def params(log: str, diff_with: Optional[str] = None) -> Any:
        return answers.params(log, diff_with)

    @add("Statistics of one signal (a name info lists, e.g. attitude.roll, battery.voltage, vibration.z) over "
         "a window in seconds from the log's start (the whole log by default): count, min and max with their "
         "times, mean, standard deviation, percentiles, in the signal's unit.")
    def signal_stats(log: str, signal: str, start_s: Optional[float] = None, end_s: Optional[float] = None,
                     instance: Optional[int] = None) -> Any:
        return answers.signal_stats(log, signal, start_s, end_s, instance)

    @add("The vibration spectrum of the gyro (or signal='accel') from the log's high-rate samples: source, "
         "sample rate, Nyquist limit and the dominant peaks per axis with their harmonics.")
    def spectrum(log: str, signal: str = "gyro", instance: Optional[int] = None) -> Any:
        return answers.spectrum(log, signal, instance)

    @add("One SQL SELECT (DuckDB) over a dataset made by `quillon convert` (a folder served, or one under "
         "it): each message type is a table of every log's rows, `_log` naming the log. At most `limit` "
         "rows (up to 1000) come back.")
    def sql(dataset: str, statement: str, limit: int = 100) -> Any:
        return query(folders.resolve(dataset, directory=True), statement, limit)

    del list_logs, info, flights, check, diagnose, events, params, signal_stats, spectrum, sql
    return server


def serve(directories: Any) -> None:
    """Serves the folders over standard input and output until the client goes."""
    make_server(Folders(directories)).run("stdio")
