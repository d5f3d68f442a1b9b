"""Running Windows programs under Wine for the tests in this folder."""

from __future__ import annotations

import contextlib
import fcntl
import os
import pty
import selectors
import shutil
import struct
import subprocess
import termios
import time
from dataclasses import dataclass
from pathlib import Path

import harness
from messages import EN, RU, WINDOWS_LOCALE
from project import die_with_parent

# The host locale Wine takes the Windows one from, and what Windows (here Wine) makes of it:
# the ANSI code page is the encoding of Python's output into a pipe.
LOCALE = {EN: "C.UTF-8", RU: "ru_RU.UTF-8"}
CODE_PAGE = {language: "cp" + page for language, (_, page) in WINDOWS_LOCALE.items()}
# A console window as Windows opens one for a double-click: 120 columns; and tall enough that
# nothing scrolls away.
COLUMNS, ROWS = 120, 200


def windows_path(path):
    """The path as Windows programs under Wine see it: the host's root is drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


def host_path(wine, path):
    """The host's path of a Windows path under `wine` (its drive C:, or Z:, the host's root)."""
    drive, _, rest = path.partition(":\\")
    root = {"C": wine.prefix / "drive_c", "Z": Path("/")}[drive.upper()]
    return root.joinpath(*rest.split("\\"))


def on_screen(lines):
    """`lines` as a console window COLUMNS wide shows them: a longer line goes on in the next."""
    return [line[start:start + COLUMNS].rstrip() for line in lines for start in range(0, len(line) or 1, COLUMNS)]


@dataclass
class Wine:
    """Wine with a prefix of this test run's own."""

    prefix: Path
    loader: str = shutil.which("wine64") or "/usr/lib/wine/wine64"
    server: str = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"

    def environment(self, locale=EN, **extra):
        return harness.clean_environment(
            sanitizers=False,
            WINEPREFIX=str(self.prefix),
            WINEDEBUG="-all",
            # Wine 8 lacks propsys.VariantToString, and _wmi aborts the whole process when
            # botocore asks `platform` for the Windows version. Without propsys, _wmi fails to
            # load and `platform` falls back on its own; the bundle runs unchanged. (mscoree
            # and mshtml: no Mono or Gecko installers when the prefix is made.)
            WINEDLLOVERRIDES="propsys=;mscoree=;mshtml=",
            # Wine takes the Windows locale from these; with ru_RU.UTF-8, locale.getlocale()
            # is ('Russian_Russia', '1251').
            LANG=LOCALE[locale],
            LC_ALL=LOCALE[locale],
            AWS_CONFIG_FILE="nul",
            AWS_SHARED_CREDENTIALS_FILE="nul",
            # Wine's server keeps its socket and lock in a folder of TMPDIR, and leaves the folder
            # behind: here it goes with the prefix's own folder.
            TMPDIR=str(self.prefix.parent / "tmp"),
            **extra)

    def start(self, *args, cwd, env):
        return harness.start([self.loader, *args], cwd=cwd, env=env)

    def run(self, *args, cwd, locale=EN, timeout=180, **env):
        return harness.run([self.loader, *args], cwd=cwd, env=self.environment(locale, **env),
                           timeout=timeout, encoding=CODE_PAGE[locale])

    def run_in_console(self, *args, **settings):
        """What _run_in_console_once returns; run once more when Wine itself crashed as the
        console came up (its "Unhandled page fault" as the window's first line, before any
        program of ours said anything), which it does now and then under a pseudo-terminal."""
        run = self._run_in_console_once(*args, **settings)
        if run.stdout.startswith("wine: Unhandled page fault"):
            run = self._run_in_console_once(*args, **settings)
        return run

    def _run_in_console_once(self, *args, cwd, locale=EN, timeout=180, watch=None, **env):
        """Runs a program in a console window of its own, as a double-click does: Wine draws the
        console on a terminal, its code page is the locale's (437 or 866), and a key is ready for
        `pause`. The Run's stdout is the window's text as a terminal shows it (pyte), without the
        empty lines below; its stderr is empty. `watch`, if given, sees the screen after each
        change."""
        master, terminal = pty.openpty()
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLUMNS, 0, 0))
        mode = termios.tcgetattr(terminal)
        mode[3] &= ~termios.ECHO  # the key is not shown
        termios.tcsetattr(terminal, termios.TCSANOW, mode)
        import pyte  # only the Wine tests need it, not every interpreter that collects them

        screen = pyte.Screen(COLUMNS, ROWS)
        stream = pyte.ByteStream(screen)
        try:
            process = subprocess.Popen([self.loader, *args], cwd=cwd, env=self.environment(locale, **env),
                                       stdin=terminal, stdout=terminal, stderr=terminal,
                                       preexec_fn=die_with_parent)
        finally:
            os.close(terminal)
        try:
            with harness.ended_after(process):
                os.write(master, b"\r")
                deadline = time.monotonic() + harness.limit(timeout)
                # Until every program has closed the terminal, or a second after the last ended.
                while select_read(master, 1 if process.poll() is not None else deadline - time.monotonic()):
                    try:
                        data = os.read(master, 65536)
                    except OSError:  # EIO: the terminal is closed on the other side
                        break
                    if not data:
                        break
                    stream.feed(data)
                    if watch:
                        watch(screen)
                try:
                    process.wait(max(1, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    raise AssertionError(f"still running after {timeout} s: {screen.display}") from None
        finally:
            os.close(master)
        lines = [line.rstrip() for line in screen.display]
        while lines and not lines[-1]:
            lines.pop()
        return harness.Run(process.returncode, "".join(line + "\n" for line in lines), "")

    def read_until(self, process, text, locale=EN, timeout=120):
        """What the process wrote to its stdout up to the line `text`, while it runs on."""
        wanted = text.encode(CODE_PAGE[locale])
        output = b""
        with selectors.DefaultSelector() as selector:
            selector.register(process.stdout, selectors.EVENT_READ)
            deadline = time.monotonic() + harness.limit(timeout)
            while wanted not in output:
                ready = selector.select(max(0, deadline - time.monotonic()))
                data = os.read(process.stdout.fileno(), 65536) if ready else b""
                if not data:
                    raise AssertionError(f"never printed {text!r}: {output!r}")
                output += data
        return output.decode(CODE_PAGE[locale]).splitlines()


def select_read(descriptor, timeout):
    """Whether `descriptor` has something to read within `timeout` seconds."""
    with selectors.DefaultSelector() as selector:
        selector.register(descriptor, selectors.EVENT_READ)
        return bool(selector.select(max(0, timeout)))


@contextlib.contextmanager
def booted(prefix):
    """Wine with a new prefix at `prefix`; at the end, every Windows process of the prefix (bots
    included) and Wine's own services are ended and the prefix and Wine's server folder removed."""
    wine = Wine(prefix)
    # Made with propsys: without it, Wine leaves the prefix without the system's PATH and
    # PATHEXT, with which cmd finds programs (`for /f` runs its command through CMD.EXE).
    made = wine.environment() | {"WINEDLLOVERRIDES": "mscoree=;mshtml="}
    (prefix.parent / "tmp").mkdir(parents=True, exist_ok=True)
    try:
        subprocess.run([wine.loader, "wineboot", "-i"], env=made, check=True,
                       capture_output=True, timeout=harness.limit(600))
        yield wine
    finally:
        subprocess.run([wine.server, "-k"], env=wine.environment(), timeout=60)
        shutil.rmtree(prefix, ignore_errors=True)
        shutil.rmtree(prefix.parent / "tmp", ignore_errors=True)
