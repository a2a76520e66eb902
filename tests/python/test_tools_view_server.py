"""`quillon view` against hostile clients, at the HTTP and websocket level:
a websocket from a foreign Origin is refused at the handshake, a session
the client made up opens nothing, sessions made over the websocket count
against the limit, and a dataset's log with a file linked out of the
folder is refused whole."""
import asyncio
import json
import os
import re
import shutil
import socket
import urllib.error
import urllib.parse
import urllib.request

import pytest

from conftest import BUNDLED
from view_serving import serving

pytest.importorskip("bokeh")

from quillon_tools.cli.main import main  # noqa: E402
from quillon_tools.fleet.convert import convert_logs  # noqa: E402
from quillon_tools.fleet.dataset import Settings, facts_path, manifest_path  # noqa: E402
from quillon_tools.view.paths import Refused, Served  # noqa: E402

BIN, TLOG, ULOG = "sub-4.1.0-dive.bin", "sub-4.1.1-dive.tlog", "px4-appended-multiple.ulg"
HOST = "127.0.0.2"  # a loopback address that is not 127.0.0.1: served with the rules of any named host
ALLOWED = "https://logs.example.org"


def convert(out, name):
    report = convert_logs(str(out), [str(BUNDLED / name)], Settings(None, False), jobs=1)
    assert report.failed == 0, report.problems


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """A served folder: a dataset, and three whose log has a file (a
    message's folder, the manifest, the facts) linked out of it."""
    root = tmp_path_factory.mktemp("hostile")
    served, outside = root / "served", root / "outside"
    served.mkdir()
    outside.mkdir()
    convert(served / "fleet", TLOG)
    convert(served / "by-folder", BIN)
    shutil.move(served / "by-folder" / "ATT", outside / "ATT")
    (served / "by-folder" / "ATT").symlink_to(outside / "ATT", target_is_directory=True)
    convert(served / "by-manifest", BIN)
    manifest = manifest_path(str(served / "by-manifest"), BIN)
    shutil.move(manifest, outside / "m.json")
    os.symlink(outside / "m.json", manifest)
    convert(served / "by-facts", ULOG)
    facts = facts_path(str(served / "by-facts"), ULOG)
    shutil.move(facts, outside / "f.facts")
    os.symlink(outside / "f.facts", facts)
    return served


def test_a_dataset_log_with_a_file_out_of_the_folder_is_refused_whole(folder):
    served = Served.of(str(folder))
    assert [(entry.dataset, entry.name) for entry in served.entries()] == [("fleet", TLOG)]
    assert served.resolve_dataset("fleet", TLOG)
    for dataset, name in (("by-folder", BIN), ("by-manifest", BIN), ("by-facts", ULOG)):
        with pytest.raises(Refused):
            served.resolve_dataset(dataset, name)


@pytest.fixture(scope="module")
def server(folder):
    """The address of `quillon view` of the folder on HOST."""
    with socket.socket() as probe:
        try:
            probe.bind((HOST, 0))
        except OSError:
            pytest.skip(f"cannot listen on {HOST}")
    with serving(folder, folder.parent / "server.err", "--host", HOST, "--allow-origin", ALLOWED,
                 host=HOST) as address:
        yield address


def status(url):
    try:
        with urllib.request.urlopen(url, timeout=60) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, ""


def test_the_page_of_a_dataset_log_linked_out_answers_403(server):
    assert status(server + "log?dataset=fleet&name=" + TLOG)[0] == 200
    for dataset, name in (("by-folder", BIN), ("by-manifest", BIN), ("by-facts", ULOG)):
        assert status(server + "log?" + urllib.parse.urlencode({"dataset": dataset, "name": name}))[0] == 403


async def handshake(base, origin, token):
    """What the server sends first on a websocket from `origin`: the ACK of
    an open session, None when it closes the connection, or the HTTP status
    that refused the handshake."""
    from tornado.httpclient import HTTPClientError, HTTPRequest
    from tornado.websocket import websocket_connect

    url = base.replace("http://", "ws://") + "ws"
    request = HTTPRequest(url, headers={"Origin": origin} if origin else {})
    try:
        connection = await websocket_connect(request, subprotocols=["bokeh", token])
    except HTTPClientError as error:
        return error.code
    try:
        first = await asyncio.wait_for(connection.read_message(), 30)
        return None if first is None else json.loads(first)["msgtype"] if first.startswith("{") else "message"
    finally:
        connection.close()


def page_token(url):
    """The signed session token the server put in a page it served."""
    _, page = status(url)
    return re.search(r'"token":\s*"([^"]+)"', page.replace('\\"', '"')).group(1)


def test_a_websocket_opens_only_from_the_address_served_and_with_a_token_the_server_made(server):
    from bokeh.util.token import generate_jwt_token, generate_session_id

    port = urllib.parse.urlsplit(server).port
    forged = generate_jwt_token(generate_session_id(), signed=False, extra_payload={"arguments": {}})
    refused = {origin: asyncio.run(handshake(server, origin, forged))
               for origin in ("http://evil.example", f"http://evil.example:{port}", f"http://127.0.0.1:{port}",
                              "http://logs.example.org:8080")}
    assert refused == dict.fromkeys(refused, 403)
    # From the address served, or the one allowed, the handshake is made,
    # but a session the client made up opens nothing.
    for origin in (server.rstrip("/"), ALLOWED):
        assert asyncio.run(handshake(server, origin, forged)) is None
    token = page_token(server)
    assert asyncio.run(handshake(server, server.rstrip("/"), token)) is not None


def test_sessions_made_without_a_page_request_count_against_the_limit(tmp_path, monkeypatch):
    from bokeh.server.contexts import ApplicationContext

    from quillon_tools.view import app

    monkeypatch.setattr(app, "SESSIONS", 2)
    viewer = app.Viewer(Served.of(str(tmp_path)))
    pages = ApplicationContext(viewer.applications()["/"])

    async def open_sessions(count):  # as the websocket does for a token whose session is gone
        return [await pages.create_session_if_needed(f"session-{i}") for i in range(count)]

    sessions = asyncio.run(open_sessions(3))
    assert [session.document.get_model_by_name("busy") is not None for session in sessions] == [False, False, True]
    assert len(viewer.sessions) == 2


@pytest.mark.parametrize("origin", ["*", "http://logs.example.org/path", "http://[::1]:5006", "http://a:port"])
def test_an_origin_that_names_no_single_address_is_an_error(origin, capsys):
    with pytest.raises(SystemExit) as stopped:
        main(["view", str(BUNDLED / BIN), "--no-browser", "--allow-origin", origin])
    assert stopped.value.code == 2 and "--allow-origin" in capsys.readouterr().err
