"""The quillon subcommands' output on the bundled samples and on a
hand-built faulty flight, against the expected output stored in golden/. A
change of output updates these files on purpose:
QUILLON_UPDATE_GOLDEN=1 python -m pytest test_tools_golden.py writes them
anew from the installed package."""

import os
import pathlib
import subprocess
import sys

import pytest

import evidence_logs
import faulty_flight
import faulty_plane

BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "samples"
GOLDEN = pathlib.Path(__file__).resolve().parent / "golden"
UPDATE = os.environ.get("QUILLON_UPDATE_GOLDEN") == "1"
DUMP_LINES = 20

SAMPLES = ["sub-4.1.0-dive.bin", "sub-4.1.1-dive.tlog"]
COMMANDS = ["summary", "params", "modes", "messages", "dump"]
# quillon-dump's spelling of a command, where it differs from quillon's
DUMP_COMMANDS = {"dump-summary": ["--summary"]}


def quillon(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "quillon_tools", *args], capture_output=True,
                          env=env, timeout=300, cwd=cwd)


def _matches_golden(name, output):
    golden = GOLDEN / name
    if UPDATE:
        golden.write_text(output, encoding="utf-8")
    assert output == golden.read_text(encoding="utf-8")


@pytest.mark.parametrize("sample", SAMPLES)
@pytest.mark.parametrize("command", COMMANDS + list(DUMP_COMMANDS))
def test_output_matches_the_golden_file(command, sample):
    result = quillon(*DUMP_COMMANDS.get(command, [command]), str(BUNDLED / sample))
    assert result.returncode == 0 and result.stderr == b"", result.stderr.decode()
    output = result.stdout.decode()
    if command == "dump":
        output = "".join(output.splitlines(keepends=True)[:DUMP_LINES])
    _matches_golden(f"{sample}.{command}.txt", output)


# The answers, on every bundled sample of each format: what the log says
# (info), the verdicts (check, whose exit status is part of its answer) and
# what happened (diagnose).
ANSWERED = SAMPLES + ["px4-appended-multiple.ulg"]


@pytest.mark.parametrize("sample", ANSWERED)
@pytest.mark.parametrize("command", ["info", "check", "diagnose"])
def test_answers_match_the_golden_file(command, sample):
    result = quillon(command, sample, cwd=BUNDLED)  # run beside the log: its name, not a path, is printed
    assert result.returncode in (0, 1) and result.stderr == b"", result.stderr.decode()
    _matches_golden(f"{sample}.{command}.txt", result.stdout.decode() + f"exit status {result.returncode}\n")


# The answers as JSON on a flight that goes wrong, built alike in each
# format: a quad that loses its rear-left motor, falls and strikes the ground.
FAULTY = {"lost-motor.bin": faulty_flight.dataflash, "lost-motor.tlog": faulty_flight.tlog,
          "lost-motor.ulg": faulty_flight.ulog}


@pytest.mark.parametrize("log", FAULTY)
@pytest.mark.parametrize("command", ["check", "diagnose"])
def test_answers_on_a_faulty_flight_match_the_golden_file(command, log, tmp_path):
    (tmp_path / log).write_bytes(FAULTY[log](faulty_flight.LostMotor()))
    result = quillon(command, "--json", log, cwd=tmp_path)
    assert result.returncode in (0, 1) and result.stderr == b"", result.stderr.decode()
    _matches_golden(f"{log}.{command}-json.txt", result.stdout.decode() + f"exit status {result.returncode}\n")


# The answers as JSON on a hover whose radio input is lost, and on one
# whose battery is cut in the air.
EVIDENCE = {"rc-loss.bin": evidence_logs.rc_loss_in_flight, "brownout.bin": evidence_logs.brownout_in_flight}


@pytest.mark.parametrize("log", EVIDENCE)
@pytest.mark.parametrize("command", ["check", "diagnose"])
def test_answers_on_a_lost_radio_and_a_brownout_match_the_golden_file(command, log, tmp_path):
    (tmp_path / log).write_bytes(EVIDENCE[log]())
    result = quillon(command, "--json", log, cwd=tmp_path)
    assert result.returncode in (0, 1) and result.stderr == b"", result.stderr.decode()
    _matches_golden(f"{log}.{command}-json.txt", result.stdout.decode() + f"exit status {result.returncode}\n")


@pytest.mark.parametrize("command", ["check", "diagnose"])
def test_answers_on_a_plane_with_a_reversed_elevator_match_the_golden_file(command, tmp_path):
    log = "reversed-elevator.bin"
    (tmp_path / log).write_bytes(faulty_plane.dataflash())
    result = quillon(command, "--json", log, cwd=tmp_path)
    assert result.returncode in (0, 1) and result.stderr == b"", result.stderr.decode()
    _matches_golden(f"{log}.{command}-json.txt", result.stdout.decode() + f"exit status {result.returncode}\n")
