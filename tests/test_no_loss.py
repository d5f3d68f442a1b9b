"""The bot folder never loses its executable and nothing outside it is written: planted links,
a bin on another file system killed half way, set-aside copies left behind, updaters that meet in
one folder, the file-system calls a power cut would cut short, and a new executable that cannot
start. The native build, a real server, real files and real processes."""

import contextlib
import fcntl
import os
import re
import shutil
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from conftest import EXE_NAME, LOCK_FILE, UNCHANGED, bot_folder, build_dir, contents, stub_bot, wait_for
from fakes import OLD
from harness import clean_environment, ended_after, run, start
from messages import EN, RU, WINDOWS_LOCALE, identical_lines, text


@pytest.mark.parametrize("start_in", ["bots", "bots/bin"])
@pytest.mark.parametrize("link", ["symbolic", "dangling", "hard", "to a folder"])
def test_a_planted_link_is_never_followed(s3, run_updater, bots, tmp_path, start_in, link):
    # Someone who may write to the folder plants links at the download's names, in the working
    # directory and next to the executable, hoping the updater writes through them.
    outside = tmp_path / "precious"
    outside.write_bytes(b"not the bot's")
    outside.chmod(0o600)
    nowhere = tmp_path / "nowhere"
    cwd = tmp_path / start_in
    for planted in {cwd / "kelvo_bot.temp", bots / "kelvo_bot.temp"}:
        if link == "hard":
            os.link(outside, planted)
        else:
            planted.symlink_to({"symbolic": outside, "dangling": nowhere, "to a folder": tmp_path}[link])
    new = stub_bot(11)
    s3.publish(new)
    run = run_updater(cwd)
    assert run.returncode == 0, run.stderr
    assert outside.read_bytes() == b"not the bot's" and outside.stat().st_mode & 0o777 == 0o600
    assert not nowhere.exists()
    exe = bots / EXE_NAME
    assert not exe.is_symlink() and exe.read_bytes() == new and os.access(exe, os.X_OK)
    assert wait_for(tmp_path / "started")[1] == str(exe)


@contextlib.contextmanager
def small_drive(folder, size):
    """`folder` on a file system of its own of `size` ("32m"); the test is skipped where none
    can be mounted."""
    mounted = run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder], env=clean_environment())
    if mounted.returncode != 0:
        pytest.skip(f"no tmpfs here: {mounted.stderr.strip()}")
    try:
        yield folder
    finally:
        run(["umount", "-l", folder], env=clean_environment(), check=True)


@pytest.fixture
def bin_on_its_own_drive(bots):
    """The bin subdirectory on a file system of its own, so that moving the download up into the
    bot folder is a copy."""
    with small_drive(bots / "bin", "32m") as folder:
        yield folder


@pytest.mark.parametrize("short, filled, language", [("bin", False, EN), ("bin", True, RU), ("bots", False, EN)],
                         ids=["no room for it", "the disk fills up during it", "no room for its copy across drives"])
def test_a_download_without_room_stops_and_leaves_the_disk_as_it_was(
        s3, run_updater, tmp_path, short, filled, language):
    # An 8 MiB release, and a folder that has no room for it (bin, or the bot folder on another
    # drive, which the download is copied into), or loses its room to another program once the
    # download has begun.
    new = stub_bot(15, 8 << 20)
    s3.publish(new)
    bots = tmp_path / "bots"
    bots.mkdir()
    with contextlib.ExitStack() as drives:
        drives.enter_context(small_drive(bots, "5m" if short == "bots" else "1m"))
        bot_folder(bots)
        drives.enter_context(small_drive(bots / "bin", {"bin": "12m" if filled else "5m"}.get(short, "32m")))
        free = [os.statvfs(folder).f_bfree for folder in (bots, bots / "bin")]
        ballast = bots / "bin" / "ballast"
        run = run_updater(bots / "bin", UPDATER_LOCALE=",".join(WINDOWS_LOCALE[language]),
                          **({"UPDATER_FILL_DISK": str(ballast)} if filled else {}))
        assert run.returncode == 1
        said = text("no room", language, folder=bots / short if short == "bin" else bots, size=len(new))
        assert run.stderr.rstrip().splitlines()[-1] == f"RuntimeError: {said}", run.stderr
        # Refused before a byte is written when the room is known to be short; stopped at the
        # write that found none.
        assert ("Errno 28" in run.stderr) is (short == "bots" or filled), run.stderr
        assert (max(run.bar) > 0) is (short == "bots" or filled), run.stderr
        assert contents(bots) == UNCHANGED | {"bin": {"ballast": ballast.read_bytes()} if filled else {}}
        ballast.unlink(missing_ok=True)
        assert [os.statvfs(folder).f_bfree for folder in (bots, bots / "bin")] == free


@pytest.mark.parametrize("killed_at", ["shutil.copyfileobj", "os.replace@kelvo_bot.exe.old",
                                       "os.rename@kelvo_bot.exe", "os.unlink@kelvo_bot.exe.old"],
                         ids=["copying across", "setting aside", "moving in", "removing the old"])
def test_killed_at_any_step_across_drives_the_next_run_installs(
        s3, run_updater, bots, bin_on_its_own_drive, killed_at):
    new = stub_bot(12) + os.urandom(1_000_000)
    s3.publish(new)
    killed = run_updater(bin_on_its_own_drive, UPDATER_KILL=killed_at)
    assert killed.returncode == -9, killed.stderr
    exe, old_copy = bots / EXE_NAME, bots / "kelvo_bot.exe.old"
    # Only the accepted instant, between setting aside and moving in, leaves no executable.
    if exe.exists():
        assert exe.read_bytes() in (OLD, new)
    else:
        assert killed_at == "os.rename@kelvo_bot.exe" and old_copy.read_bytes() == OLD

    again = run_updater(bin_on_its_own_drive)
    assert again.returncode == 0, again.stderr
    assert contents(bots) == {"bin": {}, EXE_NAME: new} and os.access(exe, os.X_OK)


@pytest.mark.parametrize("when", ["copy", "checked"], ids=["during the copy across drives", "once checked"])
def test_a_file_put_in_place_of_the_checked_one_is_never_installed(s3, run_updater, bots, tmp_path, request, when):
    # Another local program swaps the file about to be installed: the outside file it points
    # to (or brings) is neither written, nor made executable, nor installed, nor started.
    outside = tmp_path / "planted"
    outside.write_bytes(b"someone else's")
    outside.chmod(0o600)
    s3.publish(stub_bot(13) + os.urandom(300_000))
    cwd = request.getfixturevalue("bin_on_its_own_drive") if when == "copy" else bots / "bin"
    run = run_updater(cwd, UPDATER_PLANT=f"{when}:{outside}")
    assert run.returncode == 1
    assert run.stderr.rstrip().splitlines()[-1] == f"RuntimeError: {text('replaced')}", run.stderr
    assert contents(bots) == UNCHANGED and not (tmp_path / "started").exists()
    if when == "copy":
        assert outside.read_bytes() == b"someone else's" and outside.stat().st_mode & 0o777 == 0o600


def test_an_unreachable_store_is_tried_three_times_each_failure_said_and_changes_nothing(
        run_updater, bots, closed_port):
    run = run_updater(bots / "bin", proxy=closed_port)
    assert run.returncode == 1 and run.lines == [text("check"), *[text("still trying")] * 2]
    assert "ProxyConnectionError" in run.stderr and 60 not in run.sleeps
    assert contents(bots) == UNCHANGED


def test_a_second_updater_says_it_waits_then_finds_the_bot_current(s3, run_updater, bots, tmp_path):
    s3.publish(OLD)
    said = tmp_path / "said"
    lock = os.open(bots / LOCK_FILE, os.O_RDWR | os.O_CREAT, 0o600)
    with ThreadPoolExecutor(1) as pool:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            waiting = pool.submit(run_updater, bots / "bin", UPDATER_LINES=str(said))
            # Held until the updater says it waits, however slowly it starts (the sanitizers).
            while not (said.exists() and text("waiting") in said.read_text().splitlines()):
                assert not waiting.done(), waiting.result().stdout
                time.sleep(0.05)
        finally:
            os.close(lock)
        run = waiting.result()
    assert run.returncode == 0, run.stderr
    assert run.lines == [text("waiting"), *identical_lines(bots / EXE_NAME)]
    assert text("waiting") not in run_updater(bots / "bin").lines


FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"


@pytest.mark.parametrize("settings, last_line", [
    # The Ctrl-C comes from C code while the waiting line is printed, before the wait itself.
    pytest.param({"UPDATER_PRINT_INTERRUPTS": "1"}, "KeyboardInterrupt", id="Ctrl-C as the wait begins"),
    # Ten minutes pass in two seconds.
    pytest.param({"LD_PRELOAD": FAKETIME, "FAKETIME": "+0 x300"}, f"TimeoutError: {text('gave up')}",
                 id="ten minutes", marks=pytest.mark.skipif(
                     "LD_PRELOAD" in os.environ, reason="a child with both the sanitizers' runtime and libfaketime hangs as it starts")),
])
def test_a_wait_for_another_updater_ends_and_changes_nothing(s3, run_updater, bots, settings, last_line):
    s3.publish(OLD)
    lock = os.open(bots / LOCK_FILE, os.O_RDWR | os.O_CREAT, 0o600)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        run = run_updater(bots / "bin", **settings)
    finally:
        os.close(lock)
    assert run.stderr.rstrip().splitlines()[-1] == last_line, run.stderr
    assert contents(bots) == UNCHANGED


# As nobody: a lock on every folder and file of the bot it can open (making the files that are
# not there, where it may), held until killed.
HOLDER = ("import fcntl, os, sys, time\n"
          "for path in sys.argv[1:]:\n"
          "    made = 0 if os.path.lexists(path) else os.O_CREAT\n"
          "    try: fcntl.flock(os.open(path, os.O_RDONLY | made, 0o644), fcntl.LOCK_EX)\n"
          "    except OSError: pass\n"
          "print('held', flush=True); time.sleep(120)")


@pytest.mark.parametrize("planted", [None, "another user's, in a sticky folder", "open to all", "link"])
def test_another_user_cannot_hold_the_updater(s3, run_updater, bots, tmp_path, planted):
    s3.publish(OLD)
    # Nobody reaches the bot folder through pytest's folders, root's alone, however deep pytest
    # made it (one deeper for each process of pytest-xdist).
    below_temp = [tmp_path, *tmp_path.parents[:tmp_path.parents.index(Path(tempfile.gettempdir()))]]
    for folder in (*below_temp, bots, bots / "bin"):
        folder.chmod(0o755)
    lock = bots / LOCK_FILE
    if planted is None:
        assert run_updater(bots / "bin").returncode == 0  # the lock file is there, the updater's own
    elif planted == "another user's, in a sticky folder":
        bots.chmod(0o1777)  # anybody may make files here, and remove only their own
    elif planted == "open to all":
        os.close(os.open(lock, os.O_CREAT, 0o600))
        lock.chmod(0o666)
    else:  # a link, never followed: it could lead to another user's file, or make one
        lock.symlink_to(tmp_path / "elsewhere")
    paths = [bots, bots / "bin", lock, bots / EXE_NAME]
    # The system's interpreter: nobody may not enter root's home, where pyenv keeps the tests' one.
    with ended_after(start(["/usr/bin/python3", "-c", HOLDER, *paths], cwd=tmp_path,
                           env=clean_environment(), user="nobody")) as nobody:
        assert nobody.stdout.readline() == b"held\n"
        run = run_updater(bots / "bin")
    assert run.returncode == 0, run.stderr
    said = [] if planted is None else [text("lock taken", lock=lock)]
    assert run.lines == [*said, *identical_lines(bots / EXE_NAME)]
    assert not (tmp_path / "elsewhere").exists()


# Root without the capabilities that let it write where the permissions say it may not.
NOT_ALL_POWERFUL = ["setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner,-linux_immutable", "--"]


# Each folder the update writes in, read-only for this user: named before anything is recorded or
# downloaded (the bot folder, with or without a lock file left by an earlier run; bin, where the
# download goes).
@pytest.mark.parametrize("read_only, lock_left, build", [
    pytest.param(".", False, "native", id="bot folder, no lock file yet"),
    pytest.param(".", True, "native", id="bot folder, lock file of an earlier run"),
    pytest.param("bin", False, "native", id="bin"),
    pytest.param("bin", False, "signed", id="bin, before the record"),
])
def test_a_folder_this_user_may_not_write_fails_before_anything_is_recorded_or_downloaded(
        s3, run_updater, bots, read_only, lock_left, build):
    s3.publish(stub_bot(14))
    if lock_left:
        assert run_updater(bots / "bin").returncode == 0
        (bots / EXE_NAME).write_bytes(OLD)
    before, asked = contents(bots), s3.downloads()
    folder = bots / read_only
    folder.chmod(0o555)
    run = run_updater(bots / "bin", build=build_dir(build), prefix=NOT_ALL_POWERFUL)
    assert run.returncode == 1 and run.lines == ([] if read_only == "." else [text("check"), text("differs")])
    assert run.stderr.rstrip().splitlines()[-1] == f"RuntimeError: {text('unwritable', folder=folder)}", run.stderr
    assert contents(bots) == before and (bots / LOCK_FILE).exists() == (lock_left or read_only == "bin")
    assert s3.downloads() == asked


@pytest.mark.parametrize("places", [("bin", "bin"), (".", "bin")], ids=["both in bin", "folder and bin"])
def test_two_updaters_started_together_install_once_and_start_one_bot(s3, run_updater, tmp_path, places):
    new = stub_bot(6) + os.urandom(2_000_000)
    s3.publish(new)
    for round in range(3):
        bots = bot_folder(tmp_path / f"round{round}")
        record = tmp_path / f"started{round}"
        with ThreadPoolExecutor(2) as pool:
            runs = list(pool.map(lambda place: run_updater(bots / place, BOT_RECORD=str(record)), places))
        assert [r.returncode for r in runs] == [0, 0], [r.stderr for r in runs]
        assert contents(bots) == {"bin": {}, EXE_NAME: new}
        # One updated and started the bot; the other waited, then found the bot current.
        assert sorted(r.sleeps[-1] for r in runs) == [3, 60]
        wait_for(record)
        time.sleep(0.2)
        assert record.read_text().count("\n") == 3


RECORD = "kelvo_bot.release"
# Each file-system step of a signed update, in order, and whether the record of the new release
# is in place once the updater is killed before it.
SIGNED_STEPS = [("os.fsync", False), ("os.replace@kelvo_bot.release", False),
                ("os.rename@kelvo_bot.temp", True), ("os.replace@kelvo_bot.exe.old", True),
                ("os.rename@kelvo_bot.exe", True), ("os.unlink@kelvo_bot.exe.old", True), ("os.chdir", True)]


@pytest.mark.parametrize("start_in", ["bots/bin", "bots"])
@pytest.mark.parametrize("killed_at, recorded", SIGNED_STEPS, ids=[
    "syncing the record", "renaming the record", "moving the download up", "setting aside", "moving in",
    "removing the old", "starting the bot"])
def test_killed_at_any_step_of_a_signed_update_no_older_release_follows(
        s3, run_updater, tmp_path, start_in, killed_at, recorded):
    if start_in == "bots" and killed_at in ("os.rename@kelvo_bot.temp", "os.chdir"):
        pytest.skip("from the bot folder the download is made in place, and the bot started there")
    bots = bot_folder(tmp_path / "bots", exe=None)
    old, new = stub_bot(21), stub_bot(22)
    release_of = {old: 1, new: 2}
    signed = lambda **env: run_updater(tmp_path / start_in, build=build_dir("signed"), **env)
    s3.publish(old, release=1)
    assert signed().returncode == 0
    old_record = (bots / RECORD).read_bytes()
    s3.publish(new, release=2)

    killed = signed(UPDATER_KILL=killed_at)
    assert killed.returncode == -9, killed.stderr
    # The record goes from the old to the new in one rename, before the download.
    assert ((bots / RECORD).read_bytes() == old_record) != recorded
    exe = bots / EXE_NAME
    installed = release_of[(exe if exe.exists() else bots / "kelvo_bot.exe.old").read_bytes()]

    # Release 1 replayed: refused, or the bot it already is; never installed over release 2.
    s3.publish(old, release=1)
    replayed = signed()
    assert release_of[exe.read_bytes()] >= installed, replayed.stderr
    assert replayed.returncode == 0 or text("older", offered=1, installed=2) in replayed.stderr
    assert not (bots / f"{RECORD}.new").exists()  # a leftover of the record goes

    s3.publish(new, release=2)
    assert signed().returncode == 0
    assert contents(bots) == {"bin": {}, EXE_NAME: new, RECORD: old_record.replace(b"release 1", b"release 2")}


TRACED = "openat,rename,renameat,renameat2,fsync,fdatasync,unlink,unlinkat,execve"


SYSTEM_CALLS = {"openat": "open", "renameat": "rename", "renameat2": "rename", "unlinkat": "unlink",
                "fdatasync": "fsync"}


def file_system_calls(trace, bots):
    """The traced calls in order, as (call, path, ...): a path in the bot folder as its entry's
    name ("." for the folder itself, "bin/..." below it), whatever the form it was given in; for
    openat, whether it may write."""
    def name(path):
        path = os.path.join(bots, path) if not path.startswith("/") else path
        return os.path.relpath(path, bots) if path.startswith(str(bots)) else path
    calls = []
    for line in trace.read_text().splitlines():
        found = re.match(r"\d+ +(\w+)\((.*)", line)
        if not found:
            continue  # a call resumed, a signal, an exit
        call, arguments = SYSTEM_CALLS.get(found[1], found[1]), found[2]
        if call == "fsync":
            calls.append(("fsync", name(re.match(r"\d+<([^>]*)>", arguments)[1])))
        elif call == "open":
            flags = arguments.split(", ")[2]
            calls.append(("open", name(re.findall(r'"([^"]*)"', arguments)[0]), bool(re.search("WR|CREAT", flags))))
        else:
            calls.append((call, *map(name, re.findall(r'"([^"]*)"', arguments)[: 2 if call == "rename" else 1])))
    return calls


@pytest.mark.skipif(not shutil.which("strace"), reason="needs strace")
@pytest.mark.parametrize("case", ["bots", "bots/bin", "signed", "current", "first install"])
def test_a_power_cut_at_any_instant_leaves_the_old_executable_or_the_new_one_flushed(
        s3, run_updater, bots, tmp_path, case):
    # The crash-consistency rule, read from the system calls of a real update: the new file's
    # bytes are on the device before its name replaces the old one, the folder (the new name) is
    # on the device before the bot starts and the old copy goes, and the release record's folder
    # after its rename. A check that finds the bot current flushes and writes nothing.
    new = stub_bot(14) + os.urandom(300_000)
    s3.publish(OLD if case == "current" else new)
    if case == "first install":
        (bots / EXE_NAME).unlink()
    trace = tmp_path / "trace"
    run = run_updater(tmp_path / ("bots" if case == "bots" else "bots/bin"),
                      build=build_dir("signed") if case == "signed" else None,
                      prefix=["strace", "-f", "-qq", "-y", "-e", f"trace={TRACED}", "-o", trace])
    assert run.returncode == 0, run.stderr
    calls = file_system_calls(trace, bots)
    if case == "current":
        assert not [c for c in calls if c[0] in ("fsync", "rename", "unlink")], calls
        assert {c[1] for c in calls if c[0] == "open" and c[2] and not c[1].startswith("/")} == {LOCK_FILE}
        return
    ours = [c for c in calls if c[0] != "open" and not c[1].startswith("/")]
    def at(*call):
        assert call in ours, (call, ours)
        return ours.index(call)
    into_place = at("rename", "kelvo_bot.temp", EXE_NAME)
    started = at("execve", EXE_NAME)
    assert ("fsync", ".") in ours[into_place:started], ours
    if case == "first install":
        assert at("fsync", "kelvo_bot.temp") < into_place, ours
    else:
        assert at("fsync", "kelvo_bot.temp") < at("rename", EXE_NAME, "kelvo_bot.exe.old") < into_place, ours
        assert started < at("unlink", "kelvo_bot.exe.old"), ours
    if case == "signed":
        # Before the download: the folder's later flushes would hide one missing here.
        recorded = at("rename", "kelvo_bot.release.new", "kelvo_bot.release")
        assert ("fsync", ".") in ours[recorded:at("fsync", "kelvo_bot.temp")], ours
    assert contents(bots) | {"kelvo_bot.release": None} == {"bin": {}, EXE_NAME: new, "kelvo_bot.release": None}


@pytest.mark.parametrize("start_in, language, old, published", [
    ("bots", EN, OLD, b"hello\n"), ("bots/bin", RU, OLD, b"hello\n"), ("bots/bin", EN, None, b"hello\n"),
    ("bots", RU, OLD, b"#!/nonexistent\n"), ("bots/bin", EN, None, b"#!/nonexistent\n")],
    ids=["from the bot folder", "from bin, in Russian", "no executable before", "its interpreter missing, in Russian",
         "its interpreter missing, no executable before"])
def test_a_new_executable_that_cannot_start_gives_way_to_the_old_one(
        s3, run_updater, tmp_path, start_in, language, old, published):
    # A text file published as the bot: the system refuses to run it (ENOEXEC, as Windows
    # answers "not a valid Win32 application"), and the old executable is put back. A script
    # whose interpreter is missing makes the system say the file is not there (ENOENT): the
    # error says what is so.
    bots = bot_folder(tmp_path / "bots", exe=old)
    s3.publish(published)
    run = run_updater(tmp_path / start_in, UPDATER_LOCALE=",".join(WINDOWS_LOCALE[language]))
    assert run.returncode == 1
    said = text("not started" if old else "not started, none before", language)
    assert run.stderr.rstrip().splitlines()[-1] == f"RuntimeError: {said}", run.stderr
    why = ("OSError: [Errno 8] Exec format error" if published == b"hello\n"
           else f"OSError: {text('cannot run', language, exe=bots / EXE_NAME)}")
    assert why in run.stderr, run.stderr
    assert run.lines[-1] == text("started", language)
    assert contents(bots) == {"bin": {}, EXE_NAME: old or published}


@pytest.mark.parametrize("old_mode, new_mode", [(0o750, 0o750), (0o640, 0o750), (None, 0o755)],
                         ids=["the old one's bits", "the old one's, made startable", "no old one"])
def test_under_umask_0_the_new_executable_is_writable_by_no_one_the_old_was_not(s3, run_updater, tmp_path, old_mode, new_mode):
    bots = bot_folder(tmp_path / "bots", exe=None if old_mode is None else OLD)
    if old_mode is not None:
        (bots / EXE_NAME).chmod(old_mode)
    new = stub_bot(16)
    s3.publish(new)
    run = run_updater(bots / "bin", prefix=["sh", "-c", 'umask 0 && exec "$@"', "sh"])
    assert run.returncode == 0, run.stderr
    assert (bots / EXE_NAME).read_bytes() == new
    assert (bots / EXE_NAME).stat().st_mode & 0o7777 == new_mode


def test_a_new_executable_held_for_a_moment_by_another_program_starts_once_it_is_free(s3, run_updater, bots, tmp_path):
    # A scanner opens the fresh executable for writing for one second, just as the bot is to
    # start: the system refuses the start (ETXTBSY; a sharing violation on Windows) meanwhile.
    new = stub_bot(17)
    s3.publish(new)
    run = run_updater(bots / "bin", UPDATER_HOLD="1")
    assert run.returncode == 0, run.stderr
    assert 0.5 in run.sleeps  # it was refused, and asked again
    assert wait_for(tmp_path / "started")[1] == str(bots / EXE_NAME)
    assert contents(bots) == {"bin": {}, EXE_NAME: new}
