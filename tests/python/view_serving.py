"""`quillon view` started as the command is, in a process of its own, and
Debian's headless Chromium driven by Playwright, for the tests of its pages."""
import contextlib
import os
import signal
import subprocess
import sys

import pytest

CHROMIUM = "/usr/bin/chromium"


@contextlib.contextmanager
def serving(folder, said, *options, host="127.0.0.1"):
    """The address `quillon view FOLDER --no-browser OPTIONS` serves, what it
    says on standard error going to the file `said` (a pipe nobody reads
    would stall it when full); stopped with Ctrl-C, which stops it cleanly."""
    with open(said, "w+") as errors:
        process = subprocess.Popen([sys.executable, "-m", "quillon_tools", "view", str(folder), "--no-browser",
                                    *options], stdout=subprocess.PIPE, stderr=errors, text=True)
        try:
            line = process.stdout.readline()
            assert line.startswith(f"serving http://{host}:"), line + open(said).read()
            yield line.split()[1]
            process.send_signal(signal.SIGINT)
            assert process.wait(timeout=30) == 130
        finally:
            if process.poll() is None:
                process.kill()


@contextlib.contextmanager
def chromium():
    """Chromium, launched headless; the test is skipped without it or Playwright."""
    sync_api = pytest.importorskip("playwright.sync_api")
    if not os.path.exists(CHROMIUM):
        pytest.skip(f"no Chromium at {CHROMIUM} (apt-get install chromium)")
    with sync_api.sync_playwright() as playwright:
        launched = playwright.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield launched
        launched.close()
