"""Running Windows programs under Wine for the tests in this folder."""

from __future__ import annotations

import contextlib
import os
import selectors
import shutil
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

import harness
from messages import EN, RU, WINDOWS_LOCALE

# The host locale Wine takes the Windows one from, and what Windows (here Wine) makes of it:
# the ANSI code page is the encoding of Python's output into a pipe.
LOCALE = {EN: "C.UTF-8", RU: "ru_RU.UTF-8"}
CODE_PAGE = {language: "cp" + page for language, (_, page) in WINDOWS_LOCALE.items()}


def windows_path(path):
    """The path as Windows programs under Wine see it: the host's root is drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


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
            **extra)

    def start(self, *args, cwd, env):
        return harness.start([self.loader, *args], cwd=cwd, env=env)

    def run(self, *args, cwd, locale=EN, timeout=180, **env):
        return harness.run([self.loader, *args], cwd=cwd, env=self.environment(locale, **env),
                           timeout=timeout, encoding=CODE_PAGE[locale])

    def read_until(self, process, text, locale=EN, timeout=120):
        """What the process wrote to its stdout up to the line `text`, while it runs on."""
        wanted = text.encode(CODE_PAGE[locale])
        output = b""
        with selectors.DefaultSelector() as selector:
            selector.register(process.stdout, selectors.EVENT_READ)
            deadline = time.monotonic() + timeout
            while wanted not in output:
                ready = selector.select(max(0, deadline - time.monotonic()))
                data = os.read(process.stdout.fileno(), 65536) if ready else b""
                if not data:
                    raise AssertionError(f"never printed {text!r}: {output!r}")
                output += data
        return output.decode(CODE_PAGE[locale]).splitlines()


@contextlib.contextmanager
def booted(prefix):
    """Wine with a new prefix at `prefix`; at the end, every Windows process of the prefix (bots
    included) and Wine's own services are ended and the prefix removed."""
    wine = Wine(prefix)
    try:
        subprocess.run([wine.loader, "wineboot", "-i"], env=wine.environment(), check=True,
                       capture_output=True, timeout=600)
        yield wine
    finally:
        subprocess.run([wine.server, "-k"], env=wine.environment(), timeout=60)
        shutil.rmtree(prefix, ignore_errors=True)
