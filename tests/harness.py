"""The process runner and the clean environment shared by the tests, the Wine tests and the
benchmarks (bench/shared.py); importing it puts the project's other Python on the path: its facts
(tools/project.py), the publisher's tools (publisher/) and the bundle's launcher (bundle/)."""

from __future__ import annotations

import contextlib
import os
import signal
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
for folder in ("tools", "publisher", "bundle"):
    if str(ROOT / folder) not in sys.path:
        sys.path.insert(0, str(ROOT / folder))
from project import die_with_parent  # noqa: E402  (the tests' children use it too)

# Every time limit of the tests is set for a machine that does little else; a run on a busy one
# (CI, its lines side by side on two cores) sets UPDATER_TIME_SCALE, and each limit is stretched
# by it. What the module itself must keep to (its waits, its messages' timing) is not.
TIME_SCALE = float(os.environ.get("UPDATER_TIME_SCALE") or 1)


def limit(seconds):
    """A time limit of `seconds` on a machine at rest, as long as this run's load needs."""
    return seconds * TIME_SCALE


# What a test run sets for every interpreter it starts (tools/test.sh): the sanitizers' runtime
# and settings, and the folder that puts progressbar2 first on the path.
RUN_SETTINGS = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "PYTHONPATH")
# And for every build a test makes: the compiler's cache (tools/common.sh, use_ccache).
BUILD_SETTINGS = ("CMAKE_CXX_COMPILER_LAUNCHER", "CCACHE_DIR", "CCACHE_BASEDIR", "CCACHE_NOHASHDIR")


def clean_environment(*, sanitizers=True, **extra):
    """An environment that reaches nothing but what the caller gives it.

    No AWS configuration or credentials of the machine, no instance metadata, no proxy
    exceptions; the run's settings (the sanitizers', progressbar2's folder) pass through unless
    `sanitizers` is false (for the servers and the build tools, which are not under test), and
    the compiler's cache always.
    """
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": os.environ.get("HOME", "/tmp"),
        "LC_ALL": "C.UTF-8",
        "AWS_CONFIG_FILE": os.devnull,
        "AWS_SHARED_CREDENTIALS_FILE": os.devnull,
        "AWS_EC2_METADATA_DISABLED": "true",
        "PYTHONDONTWRITEBYTECODE": "1",
    }
    chosen = BUILD_SETTINGS + RUN_SETTINGS if sanitizers else BUILD_SETTINGS
    env.update((name, os.environ[name]) for name in chosen if name in os.environ)
    env.update(extra)
    return env


@dataclass
class Run:
    """A finished child: its exit status and output; for the updater, what it recorded of its
    sleeps and progress bar."""

    returncode: int
    stdout: str
    stderr: str
    sleeps: list | None = None
    bar: list | None = None

    @property
    def lines(self):
        return self.stdout.splitlines()


def as_a_child():
    """Run in a child before exec: Ctrl-C at its default, whatever this process was started with
    (a shell's background job ignores it, and a child would inherit that), and ended if this
    process dies."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    die_with_parent()


def start(argv, *, cwd, env, user=None, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE):
    """A child with its output in pipes (Python under Wine aborts when it is a regular file),
    ended if this process dies; run as `user` when given (this process being root);
    `stderr=subprocess.STDOUT` puts both outputs in one pipe, as one window shows them."""
    return subprocess.Popen([str(a) for a in argv], cwd=cwd, env=env, stdin=stdin,
                            stdout=subprocess.PIPE, stderr=stderr,
                            preexec_fn=as_a_child, user=user)


@contextlib.contextmanager
def ended_after(process):
    """The process, killed at the end of the block if it still runs."""
    try:
        yield process
    finally:
        process.kill()
        process.wait()


def run(argv, *, cwd=None, env, timeout=120, encoding="utf-8", input=None, check=False):
    """Runs a child to its end, or kills it at `timeout` (stretched by the run's load; the test
    then fails); `input` is its
    standard input, and with `check` it must end with status 0."""
    stdin = subprocess.DEVNULL if input is None else subprocess.PIPE
    with ended_after(start(argv, cwd=cwd, env=env, stdin=stdin)) as process:
        stdout, stderr = process.communicate(input and input.encode(encoding), timeout=limit(timeout))
    if check and process.returncode != 0:
        raise subprocess.CalledProcessError(process.returncode, argv, stdout, stderr)
    return Run(process.returncode, stdout.decode(encoding, "replace"),
               stderr.decode(encoding, "replace"))

