"""`quillon view`: a local server to explore a log, or a folder of logs, in the browser."""

from __future__ import annotations

import argparse
import os
import signal
import sys

from .common import DONE, INTERRUPTED, UNUSABLE, Console
from .report import INSTALL_HINT


def run(parser: argparse.ArgumentParser, args: argparse.Namespace, console: Console) -> int:
    if args.log == "-":
        parser.error("view serves log files, not standard input")
    if not 0 <= args.port <= 65535:
        parser.error(f"not a port: {args.port}")
    if not os.path.exists(args.log):
        console.error(f"cannot read {args.log!r}: {os.strerror(2)}")
        return UNUSABLE
    try:
        import bokeh  # noqa: F401
        from ..view.app import is_loopback, make_server, origin_host, url_of
        from ..view.paths import Served
    except ImportError:
        console.error(INSTALL_HINT)
        return UNUSABLE
    for origin in args.allow_origin:
        try:
            origin_host(origin)
        except ValueError as error:
            parser.error(f"--allow-origin: {error}")
    served = Served.of(args.log)
    if served.only is None and not served.entries():
        console.warn(f"no log in {args.log!r} yet")
    if not is_loopback(args.host):
        exposed = (f"every log in {served.root!r} and the datasets under it" if served.only is None
                   else repr(os.path.join(served.root, served.only)))
        console.warn(f"listening on {args.host or 'every address'}: anyone who can reach this address "
                     f"can read {exposed}, with no password")
    try:
        server = make_server(served, args.port, args.host, args.allow_origin)
    except OSError as error:
        console.error(f"cannot listen on {args.host}:{args.port}: {error.strerror or error}")
        return UNUSABLE
    url = url_of(server, args.host, served.only)
    # Ctrl-C (SIGINT) stops the server even where it was started with SIGINT
    # ignored, as a shell starts a background job: a server is stopped so.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    server.start()
    print(f"serving {url}  (Ctrl-C stops)", flush=True)
    if args.browser:
        import webbrowser

        server.io_loop.add_callback(webbrowser.open, url)
    try:
        server.io_loop.start()
    except KeyboardInterrupt:
        server.stop()
        print(file=sys.stderr)
        return INTERRUPTED
    return DONE
