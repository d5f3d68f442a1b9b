"""What tools/test.sh adds to pytest (`-p tools.pytest_run`): a line every ten seconds while a
test, its fixtures included, runs on (each of those that run at once, under pytest-xdist), so that a long test never leaves the run silent; and, after
a run, the removal of pytest's own folder under the system's temporary folder when nothing is
left in it (pytest removes what passed, but not that folder)."""

from __future__ import annotations

import getpass
import os
import tempfile
import threading
import time
from pathlib import Path

import pytest

EVERY = 10  # seconds between two lines about one test


class Ticker:
    """Says which test still runs, from a thread of its own, while the test holds the main one.

    pytest captures the output of a running test at the descriptor, the terminal's included, so
    the lines go to a copy of the standard output made before any test runs. Each begins a line
    of its own and leaves it open: pytest's next word (PASSED) goes on a new line, as after any
    line it did not write."""

    def __init__(self, reporter):
        self.reporter = reporter
        self.out = os.dup(1)
        self.lock = threading.Lock()
        self.running = {}  # the test's id: when it began, when it was last named
        self.ended = threading.Event()
        threading.Thread(target=self.tick, daemon=True).start()

    def tick(self):
        while not self.ended.wait(1):
            with self.lock:
                now = time.monotonic()
                for test, (began, said) in self.running.items():
                    if now - said >= EVERY:
                        line = f"\n    ... still running {test} ({now - began:.0f} s)"
                        os.write(self.out, line.encode())
                        self.reporter.currentfspath = None
                        self.running[test] = began, now

    def begin(self, test):
        with self.lock:
            now = time.monotonic()
            self.running[test] = now, now

    def end(self, test):
        with self.lock:
            self.running.pop(test, None)


_ticker: Ticker | None = None


@pytest.hookimpl(trylast=True)
def pytest_configure(config):
    global _ticker
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        _ticker = Ticker(reporter)


def pytest_runtest_logstart(nodeid, location):
    if _ticker:
        _ticker.begin(nodeid)


def pytest_runtest_logfinish(nodeid, location):
    if _ticker:
        _ticker.end(nodeid)


@pytest.hookimpl(trylast=True)
def pytest_sessionfinish(session, exitstatus):
    if _ticker:
        _ticker.ended.set()
    # pytest's folder of this user (pytest-of-USER), which pytest keeps even when it is empty; a
    # failed test's folder stays in it, to look into.
    try:
        (Path(tempfile.gettempdir()) / f"pytest-of-{getpass.getuser()}").rmdir()
    except (OSError, KeyError):
        pass
