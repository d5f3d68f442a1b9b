"""The cross-built module in the official Windows CPython 3.13, under Wine, started as the person
running the bot starts it: update.cmd from the bundle, through `cmd /c`, from another folder.

Paths are real Windows paths here (Z:\\...), the bot is a real Windows program and the locale is
Windows' own, so these runs check what the Windows-style Linux build only imitates.
"""

import contextlib
import re
import shutil
import threading
import time

import nacl.signing
import pytest
import seaweedfs
import harness
from harness import clean_environment, limit
from messages import EN, RU, identical_lines, text
from project import EXE_NAME
from relay import Relay
from harness import ended_after
from windows_harness import host_path, on_screen, windows_path

# What update.cmd's pause prints, in Wine's language.
PAUSE = {EN: "Press any key to continue", RU: "Нажмите любую клавишу для продолжения"}


class BotFolder:
    """A bot folder with the bundle in `bin` (or in the folder itself), as a publisher ships it."""

    def __init__(self, path, bundle, in_bin=True):
        self.path = path
        self.exe = path / EXE_NAME
        self.launcher_dir = path / "bin" if in_bin else path
        self.temp = self.launcher_dir / "kelvo_bot.temp"
        self.log = self.launcher_dir / "update.log"
        self.record = path.parent / f"{path.name}-started.txt"
        # The launcher's files are copied; the interpreter is shared between the tests' folders
        # (Windows programs see the link as an ordinary folder).
        shutil.copytree(bundle, self.launcher_dir, ignore=shutil.ignore_patterns("python"))
        (self.launcher_dir / "python").symlink_to(bundle / "python")

    def starts(self, expected=0):
        """The bot's starts (working folder, own path and command line of each), once there
        are `expected` of them or 20 seconds have passed."""
        deadline = time.monotonic() + 20
        while True:
            lines = self.record.read_text("utf-8").splitlines() if self.record.exists() else []
            if len(lines) >= expected or time.monotonic() > deadline:
                return [line.split("|") for line in lines]
            time.sleep(0.1)

    def update(self, wine, proxy, locale=EN, *, args=(), console=False, **env):
        """update.cmd's run, its output through pipes, or in a console window (`console`)."""
        # Started from elsewhere: update.cmd moves into its own folder first.
        run = wine.run_in_console if console else wine.run
        return run("cmd", "/c", windows_path(self.launcher_dir / "update.cmd"), *args,
                   cwd=self.path.parent, locale=locale, http_proxy=proxy,
                   KELVO_BOT_RECORD=windows_path(self.record), **env)

    def logged(self):
        """The launcher's log of failures."""
        return self.log.read_text("utf-8-sig")

    def start_updater(self, wine, proxy, locale=EN, before=""):
        """The bundle's interpreter importing the module, unbuffered so that its lines can be
        read while it runs."""
        return wine.start(windows_path(self.launcher_dir / "python" / "python.exe"), "-u", "-c",
                          before + "import updater_core", cwd=self.launcher_dir,
                          env=wine.environment(locale, http_proxy=proxy,
                                               KELVO_BOT_RECORD=windows_path(self.record)))


@pytest.fixture(scope="module")
def store_with_other_keys():
    """SeaweedFS that knows other module keys than the bundle's: it refuses the bundle's."""
    with seaweedfs.serving(("kelvo-other-module", "another-secret-altogether"),
                           env=clean_environment(sanitizers=False)) as store:
        yield store


@pytest.mark.parametrize("name, in_bin, had_exe, locale, leftovers", [
    ("bots", True, True, EN, False),
    ("bots", False, False, EN, False),
    ("Мой бот", True, True, RU, False),
    ("bots", True, True, EN, True),
], ids=["changed, from bin", "missing, from the bot folder", "space and Cyrillic, Russian",
        "read-only executable, a folder at the set-aside name"])
def test_installs_starts_the_bot_and_then_finds_it_current(
        wine, bundle, s3, sample_bot, tmp_path, name, in_bin, had_exe, locale, leftovers):
    bots = BotFolder(tmp_path / name, bundle, in_bin)
    if had_exe:
        bots.exe.write_bytes(sample_bot(1))
    if leftovers:
        bots.exe.chmod(0o444)  # Windows sees the file as read-only, and refuses to remove it
        (bots.path / "kelvo_bot.exe.old").mkdir()
    new = sample_bot(2, bulk=300_000)
    s3.publish(new)

    run = bots.update(wine, s3.proxy, locale)
    assert run.returncode == 0, run.stdout + run.stderr
    exe = windows_path(bots.exe)
    # update.cmd's own line first: without a console (here, pipes) it has no code page to tell
    # the language by, and says it in English.
    said = [text("launcher")] + [text(key, locale, exe=exe, size=f"{len(new) / 1024 / 1024:.2f}") for key in (
        # Signed, a bot that has an executable first asks for a patch from it: none is published.
        ["check"] + (["differs", "no patch"] if had_exe else ["missing", "start"]) + ["download", "done", "replacing"]
        + (["deleting"] * had_exe + ["moving"]) * in_bin + ["started"])]
    assert run.lines == said
    assert bots.exe.read_bytes() == new and not bots.temp.exists()
    # The bundle requires signed releases: the release installed is recorded beside the bot.
    assert sorted(p.name for p in bots.path.iterdir()) == sorted(
        [EXE_NAME, "kelvo_bot.release"] + ["bin"] * in_bin
        + ["update.cmd", "launcher.py", "python"] * (not in_bin) + ["kelvo_bot.exe.old"] * leftovers)
    # Started once, in the bot folder, by its full path, spaces and all. (The command line is
    # the path unquoted; Windows hands it to the bot as given, Wine quotes it.)
    [(folder, program, command_line)] = bots.starts(expected=1)
    assert (folder, program, command_line.strip('"')) == (windows_path(bots.path), exe, exe)

    # The same interpreter and module, read while it waits its 60 seconds: the bot is current,
    # nothing changes and nothing starts.
    with ended_after(bots.start_updater(wine, s3.proxy, locale)) as waiting:
        lines = wine.read_until(waiting, text("identical", locale)[-1], locale)
        assert lines == identical_lines(exe, locale)
        assert waiting.poll() is None
    assert bots.exe.read_bytes() == new and len(bots.starts()) == 1


@pytest.mark.parametrize("failure, locale, asked", [
    pytest.param("unreachable", EN, {}, id="unreachable server, English"),
    pytest.param("unreachable", RU, {}, id="unreachable server, Russian"),
    pytest.param("keys", EN, {}, id="keys refused, English"),
    pytest.param("keys", RU, {}, id="keys refused, Russian"),
    pytest.param("cut short", EN, {}, id="download cut short"),
    pytest.param("dripped", RU, {}, id="download dripped, Russian"),
    pytest.param("signed by another key", EN, {}, id="signed by another key"),
    pytest.param("cannot start", RU, {}, id="a new executable that cannot start, Russian"),
    pytest.param("unreachable", EN, {"args": ["--details"]}, id="unreachable server, --details"),
    pytest.param("keys", RU, {"UPDATER_DETAILS": "1"}, id="keys refused, UPDATER_DETAILS=1, Russian"),
])
def test_a_failure_keeps_the_old_executable_and_the_window_open_with_what_to_do(
        wine, bundle, s3, sample_bot, closed_port, tmp_path, request, failure, locale, asked):
    bots = BotFolder(tmp_path / "bots", bundle)
    old, new = sample_bot(1), b"hello\n" if failure == "cannot start" else sample_bot(2, bulk=300_000)
    bots.exe.write_bytes(old)
    # The bundle's module requires the tests' release key; its PyNaCl checks the signature.
    other_key = nacl.signing.SigningKey(bytes(range(32)))
    s3.publish(new, **({"signing_key": other_key} if failure == "signed by another key" else {}))
    if failure in ("cut short", "dripped"):
        relay = Relay(s3.port, **({"keep": 100_000} if failure == "cut short" else {"drip": {"kelvo_bot.exe": 5}}))
        request.addfinalizer(relay.close)
        proxy = relay.proxy
    elif failure == "keys":
        proxy = request.getfixturevalue("store_with_other_keys").proxy
    else:
        proxy = closed_port if failure == "unreachable" else s3.proxy
    run = bots.update(wine, proxy, locale, console=True, AWS_MAX_ATTEMPTS="1", **asked)
    assert run.returncode == 1
    assert bots.exe.read_bytes() == old and bots.starts() == []
    # The window: update.cmd's line at once, in the console's language, before the updater's
    # own first line; the updater's messages; what happened and what to do; that the bot still
    # works; where the error is.
    window = run.lines
    assert window[:2] == [text("launcher", locale), text("check", locale)]
    hint, error = {"unreachable": ("unreachable", "ProxyConnectionError"),
                   "keys": ("keys", "InvalidAccessKeyId"),
                   "cut short": ("unreachable", "IncompleteReadError"),
                   # Given up after the statement was accepted: the record now names it.
                   "dripped": ("stalled", text("stalled, recorded", locale, release=1)),
                   "signed by another key": ("unsigned", "BadSignatureError"),
                   "cannot start": ("not_started", "OSError: [WinError 193]")}[failure]
    # What happened and what to do, that the bot still works, and where the error is, each line
    # as the window shows it (a long path takes two); then the pause.
    said = on_screen(text("hint " + hint, locale) + [text("bot kept", locale, folder=windows_path(bots.path)),
                                                      text("log", locale, log=windows_path(bots.log))])
    assert window[-len(said) - 1:-1] == said
    assert window[-1].startswith(PAUSE[locale])
    before_hint = window[2:-len(said) - 1]
    # The error whole, with the date and time, in the log; in the window only when asked for.
    logged = bots.logged()
    assert re.match(r"==== \d{4}-\d\d-\d\d \d\d:\d\d:\d\d[+-]\d\d:\d\d\nTraceback \(most recent call last\):\n",
                    logged) and error in logged
    if asked:
        assert "Traceback (most recent call last):" in window and error in run.stdout
    else:
        assert error not in run.stdout and not any("Traceback" in line for line in window)
    if failure in ("unreachable", "keys") and not asked:
        # Refused connections are tried three times in all, each failure said; refused keys once.
        assert before_hint == [text("still trying", locale)] * 2 * (failure == "unreachable") + [""]
    if failure == "dripped":
        # The download is given up on in time, and the window is never quiet for long.
        # The lines go below the progress bar, which stays as it stood.
        assert before_hint[:3] + before_hint[4:] == [text(key, locale, size=f"{len(new) / 1024 / 1024:.2f}") for key in (
            "differs", "no patch", "download")] + [text("still trying", locale)] * 3 + [""]
        assert window[5].lstrip().startswith("0% [") and window[5].endswith(" B/s"), window
    if failure in ("cut short", "dripped"):
        assert text("done", locale) not in window
    # Whatever ended it, the download goes with what it wrote.
    assert not bots.temp.exists()
    if failure == "signed by another key":
        assert f"RuntimeError: {text('unsigned')}" in logged
    if failure == "cannot start":
        assert f"RuntimeError: {text('not started', locale)}" in logged and not (bots.path / "kelvo_bot.exe.old").exists()


def test_a_running_bot_keeps_its_executable_and_no_second_bot_starts(
        wine, bundle, s3, sample_bot, tmp_path):
    bots = BotFolder(tmp_path / "bots", bundle)
    old, new = sample_bot(1), sample_bot(2, bulk=300_000)
    bots.exe.write_bytes(old)
    s3.publish(new)
    hold = tmp_path / "hold"
    hold.touch()
    with ended_after(wine.start(windows_path(bots.exe), cwd=bots.path, env=wine.environment(
            KELVO_BOT_RECORD=windows_path(bots.record), KELVO_BOT_HOLD=windows_path(hold)))) as running:
        try:
            assert len(bots.starts(expected=1)) == 1 and running.poll() is None, "the bot is not running"
            asked = s3.downloads()
            run = bots.update(wine, s3.proxy)
        finally:
            hold.unlink()
        running.wait(30)
    # Windows lets nobody write or remove a running program's file: the updater says so before
    # it downloads anything, the executable is untouched, and no bot is started.
    assert run.returncode == 1 and "PermissionError" not in run.stderr
    assert f"PermissionError: {text('running', exe=windows_path(bots.exe))}" in bots.logged()
    assert run.lines[-2] == text("differs") and run.lines[-1].startswith(PAUSE[EN])
    assert run.stderr.splitlines()[-4:] == [*text("hint running"), text("bot kept", folder=windows_path(bots.path)),
                                            text("log", log=windows_path(bots.log))]
    assert bots.exe.read_bytes() == old and sorted(p.name for p in bots.path.iterdir()) == [
        "bin", EXE_NAME]
    assert not bots.temp.exists()
    assert len(bots.starts()) == 1 and s3.downloads() == asked

    again = bots.update(wine, s3.proxy)
    assert again.returncode == 0, again.stdout + again.stderr
    assert bots.exe.read_bytes() == new and len(bots.starts(expected=2)) == 2


@contextlib.contextmanager
def read_only(folder):
    """`folder` read-only for every user, root too, as a read-only bind mount over itself (a
    folder of another user's, to Windows); the test is skipped where none can be made."""
    mounted = harness.run(["mount", "--bind", folder, folder], env=clean_environment())
    if mounted.returncode != 0:
        pytest.skip(f"no bind mount here: {mounted.stderr.strip()}")
    try:
        harness.run(["mount", "-o", "remount,bind,ro", folder, folder], env=clean_environment(), check=True)
        yield
    finally:
        harness.run(["umount", "-l", folder], env=clean_environment(), check=True)


def test_a_bot_folder_this_user_may_not_write_is_named_in_russian_and_the_bot_still_works(
        wine, bundle, s3, sample_bot, tmp_path):
    bots = BotFolder(tmp_path / "Мой бот", bundle, in_bin=False)
    old = sample_bot(1)
    bots.exe.write_bytes(old)
    s3.publish(sample_bot(2, bulk=300_000))
    with read_only(bots.path):
        run = bots.update(wine, s3.proxy, RU, console=True)
    assert run.returncode == 1
    assert bots.exe.read_bytes() == old and bots.starts() == []
    assert sorted(p.name for p in bots.path.iterdir()) == sorted([EXE_NAME, "update.cmd", "launcher.py", "python"])
    # Neither the error nor "the bot is running": what the folder is, that the bot still works,
    # and the log, in the person's temporary folder since this one may not be written.
    window = run.lines
    folder = windows_path(bots.path)
    said = on_screen(text("hint not_writable", RU, folder=folder) + [text("bot kept", RU, folder=folder)])
    assert window[-len(said) - 2:-2] == said and window[-1].startswith(PAUSE[RU])
    assert window[-2].startswith(text("log", RU, log=""))
    log = host_path(wine, window[-2].removeprefix(text("log", RU, log="")))
    assert bots.path not in log.parents and "Traceback" in log.read_text("utf-8-sig")
    assert not any("Traceback" in line for line in window)


@pytest.mark.parametrize("spellings", [("Z:", "Z:"), ("Z:", "C:")], ids=["one spelling", "two spellings"])
def test_two_updaters_at_once_install_once_and_start_one_bot(
        wine, bundle, s3, sample_bot, tmp_path, request, spellings):
    # Wine reaches its own drive C: also through Z:, as Windows reaches one folder through a
    # mapped drive, a short name or a junction: the lock must be the folder's, not the text's.
    bots = BotFolder(wine.prefix / "drive_c" / f"kbot-{len(set(spellings))}", bundle)
    spelled = {"Z:": windows_path(bots.launcher_dir), "C:": "C:\\" + str(
        bots.launcher_dir.relative_to(wine.prefix / "drive_c")).replace("/", "\\")}
    old, new = sample_bot(1), sample_bot(2, bulk=300_000)
    bots.exe.write_bytes(old)
    s3.publish(new)
    # A double-click on the launcher: the same interpreter twice in the same folder, the second
    # started while the first downloads, through a proxy that holds the executable back until the
    # second has said that it waits (a minute at most), however long the second takes to start.
    waits = threading.Event()
    proxy = Relay(s3.port, alter=lambda body: (body and waits.wait(limit(60)), body)[1])
    request.addfinalizer(proxy.close)
    start = lambda spelling: ended_after(bots.start_updater(  # noqa: E731
        wine, proxy.proxy, before=f"import os; os.chdir({spelled[spelling]!r}); "))
    with start(spellings[0]) as first:
        wine.read_until(first, "Downloading file: ")
        with start(spellings[1]) as second:
            # The second said that it waits, waited for the first, then found the bot current.
            said = wine.read_until(second, text("waiting"))
            waits.set()
            assert first.wait(limit(120)) == 0, first.stderr.read()
            # (A line's end may fall between the two reads: the empty line there is not printed.)
            lines = [line for line in [*said, *wine.read_until(second, text("identical")[-1])] if line]
            assert lines[:2] == [text("waiting"), text("check")]
            assert text("differs") not in lines
    assert bots.exe.read_bytes() == new and len(bots.starts(expected=1)) == 1
    time.sleep(1)
    assert len(bots.starts()) == 1
