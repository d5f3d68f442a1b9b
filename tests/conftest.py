"""The builds under test (native: the platform's path rules; windows: backslash and "\\bin" on
any platform; signed: requires signed releases), from UPDATER_<STYLE>_BUILD as tools/test.sh sets
them; a real S3 server; the updater in a child interpreter with the real libraries; a bot folder."""

from __future__ import annotations

import json
import os
import socket
import sys
import time
from pathlib import Path

import pytest

from fakes import OLD
from harness import ROOT, clean_environment, limit, run  # noqa: F401 (shared with the tests)
import local_s3  # noqa: F401 (shared with the tests)
import project
import seaweedfs  # noqa: F401 (shared with the tests)
from s3_servers import BUCKET, EXE_NAME, moto_server, seaweedfs_server  # noqa: F401


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    # pytest.ini's time limit of a test, stretched by the run's load before pytest-timeout reads it.
    if config.getoption("timeout", None) is None:
        config.option.timeout = limit(float(config.getini("timeout")))


def build_dir(style):
    variable = f"UPDATER_{style.upper()}_BUILD"
    path = Path(os.environ.get(variable, ROOT / "build" / style)).resolve()
    if not any(path.glob("updater_core*")):
        pytest.exit(f"no {style} build of updater_core in {path}: run tools/test.sh", returncode=2)
    return path


@pytest.fixture(scope="session")
def native_build():
    return build_dir("native")


@pytest.fixture(scope="session")
def windows_build():
    return build_dir("windows")


def pytest_generate_tests(metafunc):
    # Moto is quick and accepts any signature; SeaweedFS checks every signature and permission,
    # so the tests marked `both_servers` (the module's keys at work) run against it as well.
    chosen = any(mark.args[0] == "s3_server" for mark in metafunc.definition.iter_markers("parametrize"))
    if "s3_server" in metafunc.fixturenames and not chosen:
        both = metafunc.definition.get_closest_marker("both_servers")
        servers = ["moto", "seaweedfs"] if both else ["moto"]
        metafunc.parametrize("s3_server", servers, indirect=True, scope="session")


def pytest_collection_modifyitems(items):
    # What each stage of CI selects: `seaweedfs` needs the real store, `real_libraries` runs the
    # module in a child with the real libraries (the progress bar among them).
    for item in items:
        params = getattr(getattr(item, "callspec", None), "params", {})
        if params.get("s3_server") == "seaweedfs":
            item.add_marker(pytest.mark.seaweedfs)
        if "run_updater" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.real_libraries)


@pytest.fixture(scope="session")
def s3_server(request, native_build):
    serving = seaweedfs_server if getattr(request, "param", "moto") == "seaweedfs" else moto_server
    with serving(native_build) as server:
        yield server


@pytest.fixture
def s3(s3_server):
    """The server with an empty bucket for each test."""
    s3_server.empty()
    return s3_server


DRIVER = r"""
import atexit, json, os, progressbar, re, sys, time
sys.path.insert(0, os.environ["UPDATER_BUILD"])
record = {"sleeps": [], "bar": []}
# At the end, with the peak memory of this program (KiB: VmHWM, which starts anew at exec, where
# getrusage would count the forking parent's pages).
atexit.register(lambda: open(os.environ["UPDATER_RECORD"], "w").write(json.dumps(record | {
    "peak_kib": int(re.search(r"VmHWM:\s+(\d+)", open("/proc/self/status").read())[1])})))
real_sleep, real_update = time.sleep, progressbar.ProgressBar.update
def sleep(seconds):
    record["sleeps"].append(seconds)
    # the module's own waits (60 and 3 seconds) are only recorded; the libraries' short
    # back-off waits still happen
    if seconds < 1:
        real_sleep(seconds)
# UPDATER_KILL_BAR=N kills the updater outright once its bar reaches N bytes.
kill_bar = int(os.environ.get("UPDATER_KILL_BAR", 0))
def update(self, value=None, *args, **kwargs):
    record["bar"].append(value)
    if kill_bar and (value or 0) >= kill_bar:
        os.kill(os.getpid(), 9)
    return real_update(self, value, *args, **kwargs)
time.sleep, progressbar.ProgressBar.update = sleep, update
# UPDATER_LOCALE=NAME,CODE_PAGE makes the process locale look like Windows' (messages.WINDOWS_LOCALE).
if os.environ.get("UPDATER_LOCALE"):
    import locale
    locale.getlocale = lambda *args: tuple(os.environ["UPDATER_LOCALE"].split(","))
# UPDATER_FAULT=KIND:N makes the first N renames of the new executable into place (after the
# old one was set aside) fail as a Ctrl-C ("interrupt") or a scanner holding the file ("refuse")
# would make them fail.
if os.environ.get("UPDATER_FAULT"):
    kind, left = os.environ["UPDATER_FAULT"].split(":")
    left, real_rename = [int(left)], os.rename
    def rename(source, target):
        if left[0] and str(target).endswith("kelvo_bot.exe"):
            left[0] -= 1
            raise KeyboardInterrupt if kind == "interrupt" else PermissionError(13, "held", target)
        return real_rename(source, target)
    os.rename = rename
# UPDATER_KILL=MODULE.NAME[@SUFFIX] kills the updater outright at its first call of os.NAME or
# shutil.NAME (whose last argument ends with SUFFIX, if given; for copyfileobj, the copy across
# file systems, half way through it), as a power cut or a killed task would.
if os.environ.get("UPDATER_KILL"):
    import shutil, signal
    owner, _, name = os.environ["UPDATER_KILL"].partition(".")
    name, _, suffix = name.partition("@")
    owner = shutil if owner == "shutil" else os
    real = getattr(owner, name)
    def killed(*args, **kwargs):
        if not str(args[-1]).endswith(suffix):
            return real(*args, **kwargs)
        if name == "copyfileobj":
            source, target = args[:2]
            target.write(source.read(os.fstat(source.fileno()).st_size // 2))
            target.flush()
        os.kill(os.getpid(), signal.SIGKILL)
    setattr(owner, name, killed)
# UPDATER_INTERRUPT_AT=MODULE:ATTRIBUTE.PATH makes that callable raise KeyboardInterrupt, as a
# Ctrl-C while it runs would.
if os.environ.get("UPDATER_INTERRUPT_AT"):
    import importlib
    module, _, path = os.environ["UPDATER_INTERRUPT_AT"].partition(":")
    *outer, last = path.split(".")
    holder = importlib.import_module(module)
    for part in outer:
        holder = getattr(holder, part)
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt
    setattr(holder, last, interrupted)
# UPDATER_PLANT=WHEN:PATH puts another file in the place of the bot folder's kelvo_bot.temp,
# the file about to be installed: during the copy across file systems ("copy": a link to PATH)
# or once it has been checked ("checked": PATH renamed over it), as another local program might.
if os.environ.get("UPDATER_PLANT"):
    import builtins, shutil
    when, planted = os.environ["UPDATER_PLANT"].split(":", 1)
    def plant(staged):
        os.unlink(staged)
        os.symlink(planted, staged) if when == "copy" else os.rename(planted, staged)
    if when == "copy":
        real_copy = shutil.copyfileobj
        def copyfileobj(source, target, *args):
            plant(target.name)
            return real_copy(source, target, *args)
        shutil.copyfileobj = copyfileobj
    else:
        real_print = builtins.print
        def print(*args, **kwargs):
            if args and str(args[0]).startswith("Replacing local file"):
                plant(os.path.join(os.path.dirname(os.getcwd()), "kelvo_bot.temp"))
            return real_print(*args, **kwargs)
        builtins.print = print
# UPDATER_LINES=PATH: each line the updater prints is also written to PATH at once, for a test
# that waits for one.
if os.environ.get("UPDATER_LINES"):
    import builtins
    real_print = builtins.print
    def print(*args, **kwargs):
        real_print(*args, **kwargs)
        with open(os.environ["UPDATER_LINES"], "a") as lines:
            lines.write(" ".join(map(str, args)) + "\n")
    builtins.print = print
# UPDATER_FILL_DISK=PATH: at the bar's first step of the download, another program fills the
# disk: it writes PATH until the file system has no room left.
if os.environ.get("UPDATER_FILL_DISK"):
    real_bar_update = progressbar.ProgressBar.update
    def update(self, value=None, *args, **kwargs):
        if value and not os.path.exists(os.environ["UPDATER_FILL_DISK"]):
            with open(os.environ["UPDATER_FILL_DISK"], "wb", buffering=0) as ballast:
                try:
                    while True:
                        ballast.write(bytes(1 << 16))
                except OSError:
                    pass
        return real_bar_update(self, value, *args, **kwargs)
    progressbar.ProgressBar.update = update
# UPDATER_HOLD=SECONDS: once the new executable is in place ("Done. Starting bot."), another
# process (a virus scanner, say) holds it open for writing for that long.
if os.environ.get("UPDATER_HOLD"):
    import builtins, subprocess
    print_before_hold = builtins.print
    def print(*args, **kwargs):
        if args and str(args[0]).startswith("Done. Starting bot."):
            folder = os.getcwd()[:-4] if os.getcwd().endswith("/bin") else os.getcwd()
            scanner = subprocess.Popen(
                [sys.executable, "-c", "import sys, time; held = open(sys.argv[1], 'ab'); print(flush=True); "
                 "time.sleep(float(sys.argv[2]))", os.path.join(folder, "kelvo_bot.exe"),
                 os.environ["UPDATER_HOLD"]], stdout=subprocess.PIPE)
            scanner.stdout.readline()
        return print_before_hold(*args, **kwargs)
    builtins.print = print
# UPDATER_PRINT_INTERRUPTS=1: every print is a Ctrl-C sent from C code, which Python only notes
# for later: the updater must answer it at its next chance to, not at some later line of Python.
if os.environ.get("UPDATER_PRINT_INTERRUPTS"):
    import builtins, ctypes, functools, signal
    builtins.print = functools.partial(ctypes.CDLL(None).kill, os.getpid(), signal.SIGINT)
import updater_core
"""


@pytest.fixture
def run_updater(native_build, s3_server, tmp_path):
    """Imports the native build (or `build`) in a fresh interpreter, in `cwd`, against the real
    server; a bot it starts records its starts in tmp_path / "started" unless BOT_RECORD is given;
    `prefix` goes before the interpreter's command line (a tracer)."""

    def run_in(cwd, *, proxy=None, build=None, prefix=(), **env):
        record = tmp_path / f"record-{time.monotonic_ns()}.json"
        environment = clean_environment(http_proxy=proxy or s3_server.proxy,
                                        BOT_RECORD=str(tmp_path / "started"),
                                        UPDATER_BUILD=str(build or native_build),
                                        UPDATER_RECORD=str(record)) | env
        done = run([*prefix, sys.executable, "-c", DRIVER], cwd=cwd, env=environment)
        recorded = json.loads(record.read_text()) if record.exists() else {}
        done.sleeps, done.bar = recorded.get("sleeps"), recorded.get("bar")
        done.peak_mib = recorded.get("peak_kib", 0) / 1024
        return done

    return run_in


STUB_BOT = b"""#!/bin/sh
# A stand-in bot: records where and how it was started (once per start), then exits.
{ pwd -P; printf '%s\\n' "$0" "$#"; } >> "$BOT_RECORD"
exit 0
"""


def stub_bot(version, bulk=0):
    return STUB_BOT + f"# version {version}\n".encode() + os.urandom(bulk)


def wait_for(path):
    """The bot's first start (folder, path, argument count), once it has been recorded."""
    deadline = time.monotonic() + limit(20)
    while not (path.exists() and path.read_text().count("\n") >= 3):
        if time.monotonic() > deadline:
            raise AssertionError(f"the bot never started (no {path})")
        time.sleep(0.05)
    return path.read_text().splitlines()


def bot_folder(folder, exe=OLD):
    """A bot folder with its bin and, unless None, the executable."""
    (folder / "bin").mkdir(parents=True)
    if exe is not None:
        (folder / EXE_NAME).write_bytes(exe)
    return folder


@pytest.fixture
def bots(tmp_path):
    return bot_folder(tmp_path / "bots")


# The file the updater locks in the bot folder (empty; it stays).
LOCK_FILE = project.LOCK_NAME


def contents(folder):
    """What a folder holds, but the updater's lock file: each file's bytes and each subfolder's
    contents, by name."""
    return {path.name: contents(path) if path.is_dir() else path.read_bytes()
            for path in folder.iterdir() if path.name != LOCK_FILE}


# A bot folder as a failed update must leave it.
UNCHANGED = {"bin": {}, EXE_NAME: OLD}


@pytest.fixture
def closed_port():
    """A port of 127.0.0.1 where nothing listens."""
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{closed.getsockname()[1]}"
