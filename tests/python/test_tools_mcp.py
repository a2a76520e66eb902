"""`quillon mcp DIR...` as an assistant meets it: the server started as a
process of its own, spoken to by the mcp package's own client over standard
input and output."""
import asyncio
import io
import json
import os
import shutil
import sys

import pytest

from conftest import BUNDLED

from quillon_tools.cli.common import Console
from quillon_tools.cli.diagnose import diagnose
from quillon_tools.cli.main import main
from quillon_tools.fleet.convert import convert_logs
from quillon_tools.fleet.dataset import Settings
from quillon_tools.mcp.folders import Folders, OutsideFolders

MISSING = "the mcp extra is not installed (pip install '.[mcp]')"

TOOLS = {"list_logs", "info", "flights", "check", "diagnose", "events", "params", "signal_stats", "spectrum", "sql"}


def field(model, name, camel):
    """A field of the protocol's models: snake_case from mcp 2, camelCase before."""
    return getattr(model, name, getattr(model, camel, None))


def is_error(result):
    return field(result, "is_error", "isError")


def answer(result):
    assert not is_error(result), result.content[0].text
    return json.loads(result.content[0].text)


async def conversation(folder, secret):
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    env = {"PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    server = StdioServerParameters(command=sys.executable, args=["-m", "quillon_tools", "mcp", str(folder)], env=env)
    async with stdio_client(server, errlog=open(os.devnull, "w")) as (read, write):
        async with ClientSession(read, write) as session:
            await session.initialize()
            said = {"tools": {tool.name: tool for tool in (await session.list_tools()).tools}}
            ask = session.call_tool
            said["list"] = answer(await ask("list_logs", {}))
            said["diagnose"] = answer(await ask("diagnose", {"log": "sub-4.1.0-dive.bin"}))
            said["stats"] = answer(await ask("signal_stats", {"log": "sub-4.1.0-dive.bin", "signal": "attitude.roll",
                                                              "start_s": 0, "end_s": 5}))
            said["info"] = answer(await ask("info", {"log": str(folder / "sub-4.1.1-dive.tlog")}))
            said["sql"] = answer(await ask("sql", {"dataset": "fleet", "limit": 2, "statement":
                                                   "SELECT _log, count(*) AS n FROM BARO GROUP BY _log"}))
            said["outside"] = await ask("info", {"log": str(secret)})
            said["escape"] = await ask("info", {"log": "../secret.bin"})
            said["write"] = await ask("sql", {"dataset": "fleet", "statement": "COPY BARO TO 'out.csv'"})
            said["read_out"] = await ask("sql", {"dataset": "fleet", "statement":
                                                 f"SELECT * FROM read_blob('{secret}')"})
    return said


def test_an_assistant_lists_the_tools_gets_answers_and_is_refused_outside_the_folders(tmp_path):
    pytest.importorskip("mcp", reason=MISSING)
    pytest.importorskip("duckdb", reason=MISSING)
    folder = tmp_path / "logs"
    folder.mkdir()
    for name in ("sub-4.1.0-dive.bin", "sub-4.1.1-dive.tlog"):
        shutil.copy(BUNDLED / name, folder / name)
    assert convert_logs(str(folder / "fleet"), [str(folder / "sub-4.1.0-dive.bin")], Settings(None, False),
                        jobs=1).failed == 0
    secret = tmp_path / "secret.bin"
    shutil.copy(BUNDLED / "sub-4.1.0-dive.bin", secret)
    (folder / "link.bin").symlink_to(secret)
    before = sorted(p.name for p in folder.rglob("*"))

    said = asyncio.run(conversation(folder, secret))

    assert set(said["tools"]) == TOOLS
    assert all(field(tool.annotations, "read_only_hint", "readOnlyHint") for tool in said["tools"].values())
    assert {"sub-4.1.0-dive.bin", "sub-4.1.1-dive.tlog"} <= {entry["log"] for entry in said["list"]["logs"]}
    # The chain as `quillon diagnose` prints it.
    printed = io.StringIO()
    diagnose([str(BUNDLED / "sub-4.1.0-dive.bin")], Console("quillon"), stdout=printed)
    assert said["diagnose"]["text"] == printed.getvalue().split("\n", 1)[1].rstrip("\n") + "\n"
    assert "no fault found" in said["diagnose"]["text"]
    # Statistics of a window, with their unit and the moments of their extremes.
    stats = said["stats"]
    assert stats["unit"] == "deg" and 0 < stats["samples"] <= 60 and stats["min"]["value"] <= stats["mean"]
    assert stats["max"]["boot_s"] == pytest.approx(265.6, abs=5.1) and "_time" in stats["max"]
    assert said["info"]["facts"]["vehicle"] == "sub" and said["info"]["units"]["duration"] == "s"
    assert said["sql"]["rows"] == [["sub-4.1.0-dive.bin", 474]] and said["sql"]["columns"][1]["name"] == "n"
    for refused in ("outside", "escape", "write", "read_out"):
        assert is_error(said[refused]), refused
    assert "outside the folders" in said["outside"].content[0].text
    assert sorted(p.name for p in folder.rglob("*")) == before  # nothing written


def test_only_files_under_the_folders_resolve(tmp_path):
    (tmp_path / "logs" / "deep").mkdir(parents=True)
    (tmp_path / "logs" / "deep" / "a.bin").write_bytes(b"x")
    (tmp_path / "other.bin").write_bytes(b"x")
    (tmp_path / "logs" / "out.bin").symlink_to(tmp_path / "other.bin")
    folders = Folders([str(tmp_path / "logs")])
    inside = str((tmp_path / "logs" / "deep" / "a.bin").resolve())
    assert folders.resolve("deep/a.bin") == folders.resolve(inside) == inside
    for name in ("../other.bin", str(tmp_path / "other.bin"), "out.bin", "deep", "", "nothing.bin", "deep/../../other.bin"):
        with pytest.raises(OutsideFolders):
            folders.resolve(name)
    assert folders.resolve("deep", directory=True) == str((tmp_path / "logs" / "deep").resolve())


def test_without_the_extra_the_command_says_what_to_install(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "mcp", None)
    assert main(["mcp", str(tmp_path)]) == 2
    assert "pip install '.[mcp]' in a clone" in capsys.readouterr().err
    assert main(["mcp", str(tmp_path / "none")]) == 2
