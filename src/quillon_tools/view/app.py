"""The Bokeh server of `quillon view`: the folder's page at "/", each
log's page at "/log?name=NAME", NAME relative to the served folder (a
dataset's log at "/log?dataset=FOLDER&name=NAME", FOLDER the dataset's
folder relative to the served one, NAME the log's name in it), and the
page of each airframe of the folder's logs at "/airframe?id=ID". A name
that does not lead to a served log is refused with 403 before any page is
made; a log that fails to decode gets a page that says so.

Sessions are signed with a key made at start-up, so a session is only ever
made from a page the server handed out: a client cannot open sessions of
its own over the websocket, nor give one arguments the page check never
saw. The pages open at once are counted as their sessions are made,
however the client arrived. A websocket whose Origin is not the address
served (or one allowed by `--allow-origin`) is refused at the handshake
with 403, so that no other web site a browser visits can open pages."""

from __future__ import annotations

import asyncio
import ipaddress
import secrets
import socket
import urllib.parse
from typing import Any, Callable, Dict, List, Optional, Sequence, Set

from bokeh.application.application import Application
from bokeh.application.handlers.handler import Handler
from bokeh.document import Document
from bokeh.application.application import SessionContext
from bokeh.server.server import Server
from tornado.httputil import HTTPServerRequest
from tornado.web import HTTPError

from .airframe_page import build_airframe_page
from .cache import Bounded
from .folder_page import Rows, build_folder_page
from .log_page import build_busy_page, build_error_page, build_log_page, read_for_view
from .paths import Refused, Served

LOCAL = "127.0.0.1"
# Sessions whose browser went away are dropped after this long.
UNUSED_SESSION_MS = 30_000
# Pages open at once, at most: each holds its plots' columns and picked lines.
SESSIONS = 64
BUSY = "too many pages are open; close some and reload"


Arguments = Dict[str, List[bytes]]


def _name(arguments: Arguments, key: str = "name") -> str:
    values = arguments.get(key) or [b""]
    return values[0].decode("utf-8", "surrogateescape")


def _path(served: Served, arguments: Arguments) -> str:
    """The file of the log the arguments name: a log, or a dataset log's manifest."""
    if "dataset" in arguments:
        return served.resolve_dataset(_name(arguments, "dataset"), _name(arguments))
    return served.resolve(_name(arguments))


class _Page(Handler):
    """One kind of page, made by `build` from the request's arguments;
    `check` refuses a request before its session is made, and `prepare`
    does the slow work (decoding) first, in a thread: the server goes on
    serving other pages meanwhile."""

    def __init__(self, build: Callable[[Document, Arguments], None], sessions: Set[str],
                 check: Optional[Callable[[Arguments], None]] = None,
                 prepare: Optional[Callable[[Arguments], None]] = None) -> None:
        super().__init__()
        self._build = build
        self._check = check
        self._prepare = prepare
        self._sessions = sessions  # shared by every kind of page
        self._refused: Set[str] = set()  # made beyond the limit: they get a page that says so

    async def on_session_created(self, session_context: SessionContext) -> None:
        # Counted here, where every session is made: a page's request is
        # checked first, but a signed token may come back over the websocket
        # once its session was dropped.
        if len(self._sessions) >= SESSIONS:
            self._refused.add(session_context.id)
            return
        self._sessions.add(session_context.id)
        if self._prepare is not None:
            await asyncio.get_running_loop().run_in_executor(None, self._prepare, _arguments(session_context))

    async def on_session_destroyed(self, session_context: SessionContext) -> None:
        self._sessions.discard(session_context.id)
        self._refused.discard(session_context.id)

    def process_request(self, request: HTTPServerRequest) -> Dict[str, Any]:
        if len(self._sessions) >= SESSIONS:
            raise HTTPError(503, reason=BUSY)
        if self._check is not None:
            try:
                self._check(request.arguments or {})
            except Refused as refused:
                raise HTTPError(403, reason=str(refused)) from None
        return {}

    def modify_document(self, doc: Document) -> None:
        context = doc.session_context
        if context is not None and context.id in self._refused:
            build_busy_page(doc, BUSY)
            return
        self._build(doc, _arguments(context))


def _arguments(context: Any) -> Arguments:
    request = getattr(context, "request", None)  # a server session's only
    return dict(request.arguments) if request is not None else {}


class Viewer:
    """What the server serves: the logs of `served`, decoded when asked for
    and kept in a bounded cache shared by every session."""

    def __init__(self, served: Served) -> None:
        self.served = served
        self.logs = Bounded(read_for_view)
        self.rows = Rows(served)
        self.sessions: Set[str] = set()

    def check(self, arguments: Arguments) -> None:
        _path(self.served, arguments)

    def decode(self, arguments: Arguments) -> None:
        """Decodes the log asked for into the cache; its page tells what went wrong."""
        try:
            self.logs.get(_path(self.served, arguments))
        except Exception:
            pass

    def read_rows(self, arguments: Arguments) -> None:
        self.rows.rows()

    def log_page(self, doc: Document, arguments: Arguments) -> None:
        name = _name(arguments)
        try:
            path = _path(self.served, arguments)  # again: the file may have gone since the request
            log = self.logs.get(path)
        except Exception as error:  # the page tells why, the server goes on
            build_error_page(doc, name, error)
            return
        try:
            build_log_page(doc, log, name)
        except Exception as error:
            doc.clear()
            build_error_page(doc, name, error)

    def folder_page(self, doc: Document, arguments: Arguments) -> None:
        folder = self.served.root if self.served.only is None else self.served.only
        build_folder_page(doc, self.rows.rows(), folder)

    def airframe_page(self, doc: Document, arguments: Arguments) -> None:
        # The id only picks among the airframes of the served logs' rows: it names no file.
        build_airframe_page(doc, self.rows.rows(), _name(arguments, "id"))

    def applications(self) -> Dict[str, Application]:
        return {"/": Application(_Page(self.folder_page, self.sessions, prepare=self.read_rows)),
                "/log": Application(_Page(self.log_page, self.sessions, self.check, self.decode)),
                "/airframe": Application(_Page(self.airframe_page, self.sessions, prepare=self.read_rows))}


def free_port(host: str) -> int:
    """A port free on `host` now, chosen by the system."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as probe:
        probe.bind((host, 0))
        return int(probe.getsockname()[1])


def is_loopback(host: str) -> bool:
    """Whether `host` is an address of this machine alone."""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def origin_host(origin: str) -> str:
    """An origin ("https://logs.example.org", "gateway:8080") as the
    websocket's check compares it: "host:port", port 80 when none is
    given, as a browser's Origin without one is compared. Raises
    ValueError for anything else."""
    parts = urllib.parse.urlsplit(origin if "//" in origin else "//" + origin)
    try:
        port = parts.port
    except ValueError:
        raise ValueError(f"not an origin: {origin!r}") from None
    name = parts.hostname
    if not name or parts.path not in ("", "/") or parts.query or parts.fragment or parts.username \
            or "*" in name or ":" in name:
        raise ValueError(f"not an origin (a host name or IPv4 address, and a port): {origin!r}")
    return f"{name}:{port or 80}"


def served_origins(host: str, port: int) -> List[str]:
    """The origins of the pages of a server on `host`:`port`, the names
    it answers under: on every address, this machine's names and
    addresses. Bokeh's list takes no literal IPv6 address: such a server
    opens under a name."""
    if host in ("", "0.0.0.0", "::"):
        names = {LOCAL, "localhost", socket.gethostname(), socket.getfqdn()}
        try:
            names.update(socket.gethostbyname_ex(socket.gethostname())[2])
        except OSError:
            pass
    elif host in (LOCAL, "localhost", "::1"):
        names = {LOCAL, "localhost"}
    else:
        names = {host}
    return sorted(f"{name.lower()}:{port}" for name in names if name and ":" not in name)


def make_server(served: Served, port: int = 0, host: str = LOCAL, allow_origins: Sequence[str] = (),
                **options: Any) -> Server:
    """A Bokeh server of `served` on `host`:`port` (0: a free port), not yet
    started. Its pages' websockets open from the address served alone, and
    from the origins `allow_origins` names (see `origin_host`)."""
    port = port or free_port(host)
    origins = served_origins(host, port) + [origin_host(origin) for origin in allow_origins]
    return Server(Viewer(served).applications(), port=port, address=host, allow_websocket_origin=origins,
                  secret_key=secrets.token_bytes(32), sign_sessions=True,
                  unused_session_lifetime_milliseconds=UNUSED_SESSION_MS,
                  check_unused_sessions_milliseconds=UNUSED_SESSION_MS // 2, **options)


def url_of(server: Server, host: str, name: Optional[str] = None) -> str:
    """The address to open: the folder's page, or the page of log `name`."""
    from .folder_page import log_link

    shown = LOCAL if host in ("", "0.0.0.0", "::") else host
    base = f"http://{shown if ':' not in shown else f'[{shown}]'}:{server.port}/"
    return base if name is None else base + log_link(name)
