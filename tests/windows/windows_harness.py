"""Running Windows programs under Wine for the tests in this folder."""

from __future__ import annotations

import os
import selectors
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

import local_s3

ENGLISH, RUSSIAN = "C.UTF-8", "ru_RU.UTF-8"
# What Windows (here Wine) makes of each: the ANSI code page is the encoding of Python's
# output into a pipe.
CODE_PAGE = {ENGLISH: "cp1252", RUSSIAN: "cp1251"}


def windows_path(path):
    """The path as Windows programs under Wine see it: the host's root is drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


@dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str

    @property
    def lines(self):
        return self.stdout.splitlines()


@dataclass
class Wine:
    """Wine with a prefix of this test run's own."""

    prefix: Path
    loader: str
    server: str

    def environment(self, locale=ENGLISH, **extra):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": os.environ.get("HOME", "/tmp"),
            "WINEPREFIX": str(self.prefix),
            "WINEDEBUG": "-all",
            # Wine 8 lacks propsys.VariantToString, and _wmi aborts the whole process when
            # botocore asks `platform` for the Windows version. Without propsys, _wmi fails to
            # load and `platform` falls back on its own; the bundle runs unchanged. (mscoree
            # and mshtml: no Mono or Gecko installers when the prefix is made.)
            "WINEDLLOVERRIDES": "propsys=;mscoree=;mshtml=",
            # Wine takes the Windows locale from these; with ru_RU.UTF-8, locale.getlocale()
            # is ('Russian_Russia', '1251').
            "LANG": locale,
            "LC_ALL": locale,
            "AWS_CONFIG_FILE": "nul",
            "AWS_SHARED_CREDENTIALS_FILE": "nul",
            "AWS_EC2_METADATA_DISABLED": "true",
        }
        env.update(extra)
        return env

    def start(self, *args, cwd, env):
        # Python under Wine aborts at start when its stdout or stderr is a regular file: the
        # output goes through pipes, as it would into any other program.
        return subprocess.Popen([self.loader, *map(str, args)], cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, preexec_fn=local_s3.die_with_parent)

    def run(self, *args, cwd, locale=ENGLISH, timeout=180, **env):
        process = self.start(*args, cwd=cwd, env=self.environment(locale, **env))
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        finally:
            process.kill()
            process.wait()
        code_page = CODE_PAGE[locale]
        return Run(process.returncode, stdout.decode(code_page, "replace"),
                   stderr.decode(code_page, "replace"))

    def read_until(self, process, text, locale=ENGLISH, timeout=120):
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
