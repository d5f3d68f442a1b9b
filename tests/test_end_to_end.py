"""The native build against a real S3 server, real files and a real child process."""

import collections
import contextlib
import hashlib
import importlib.util
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from contextlib import closing

import pytest

from conftest import BUCKET, UNCHANGED, bot_folder, build_dir, contents, stub_bot, wait_for
from fakes import OLD
from messages import identical_lines, text
import harness
from harness import ROOT, clean_environment, ended_after, start
from relay import Relay
from statement_lines import traceback_line


@pytest.mark.both_servers
@pytest.mark.parametrize("folder, start_in, old, bulk", [
    pytest.param("bots", ".", None, 0, id="missing, bot directory"),
    pytest.param("bots", "bin", OLD, 0, id="changed, bin subdirectory"),
    pytest.param("bot dir with spaces", "bin", OLD, 0, id="spaces in the path"),
    pytest.param("bots", ".", OLD, 20 * 1024 * 1024, id="20 MiB in parallel parts")])
def test_installs_byte_for_byte_starts_the_bot_then_finds_it_current(
        s3, run_updater, tmp_path, folder, start_in, old, bulk):
    bots = bot_folder(tmp_path / folder, old)
    new = stub_bot(2, bulk)
    s3.publish(new, signing_key=None)  # a build without a release key asks for no signature

    run = run_updater(bots / start_in)
    assert run.returncode == 0, run.stderr
    assert hashlib.sha256((bots / "kelvo_bot.exe").read_bytes()).digest() == hashlib.sha256(new).digest()
    assert not (bots / start_in / "kelvo_bot.temp").exists()
    assert wait_for(tmp_path / "started") == [str(bots.resolve()), str(bots / "kelvo_bot.exe"), "0"]
    assert run.sleeps[-1] == 3
    # Every byte counted, also when the parts come in parallel.
    assert run.bar[-1] == len(new) and (len(run.bar) > 3 or not bulk)
    assert text("download", size=f"{len(new) / 1024 / 1024:.2f}") in run.lines
    assert run.lines[-1] == text("started")

    again = run_updater(bots / start_in)
    assert again.returncode == 0, again.stderr
    assert again.lines == identical_lines(bots / "kelvo_bot.exe") and again.sleeps == [60]
    # The module addressed its own endpoint constant, through the proxy, in absolute form
    # (moto logs it). SeaweedFS keeps no request log, but it answered only because the
    # request carried a valid signature of the module's compiled-in keys.
    if s3.requests() is not None:
        assert any(f'"GET {s3.endpoint}/kelvo-bot/exe_hash HTTP/1.1" 200' in line for line in s3.requests())


@pytest.mark.tools
def test_publisher_serve_in_its_own_process_serves_a_build_for_a_dotted_host_through_the_proxy(
        run_updater, bots):
    # As a publisher runs it: the tool imports the store's library (checking its dependencies)
    # before the store starts, and the module asks for its endpoint's host through it.
    serve = [sys.executable, ROOT / "publisher" / "publisher.py", "serve", "--port", "0"]
    with ended_after(start(serve, cwd=ROOT, env=clean_environment(sanitizers=False))) as served:
        url = served.stdout.readline().decode().rpartition("http_proxy=")[2].strip()
        assert url.startswith("http://127.0.0.1:"), served.stderr.read1().decode()
        new = stub_bot(4)
        (bots / "release.exe").write_bytes(new)
        harness.run([sys.executable, ROOT / "publisher" / "publisher.py", "--endpoint", url,
                     "--access-key-id", "local", "--secret-access-key", "local", "publish",
                     "--not-a-windows-program", bots / "release.exe"],
                    env=clean_environment(sanitizers=False), check=True)
        updated = run_updater(bots / "bin", proxy=url)
    assert updated.returncode == 0, updated.stderr
    assert (bots / "kelvo_bot.exe").read_bytes() == new


@pytest.mark.both_servers
@pytest.mark.parametrize("missing, error, function, last", [
    ("exe_hash", "botocore.errorfactory.NoSuchKey", "s3_file_reader", "check"),
    ("bucket", "botocore.errorfactory.NoSuchBucket", "s3_file_reader", "check"),
    ("kelvo_bot.exe", "ClientError", "get_update", "differs")])
def test_a_missing_object_or_bucket_propagates_and_changes_nothing(
        s3, run_updater, bots, missing, error, function, last):
    if missing == "bucket":
        s3.client.delete_bucket(Bucket=BUCKET)
    else:
        s3.publish(stub_bot(2))
        s3.delete(missing)
    try:
        run = run_updater(bots / "bin")
    finally:
        if missing == "bucket":
            s3.client.create_bucket(Bucket=BUCKET)
    assert run.returncode == 1
    assert error in run.stderr and traceback_line(function) in run.stderr
    assert run.lines[-1] == text(last) and 60 not in run.sleeps
    assert contents(bots) == UNCHANGED


def test_download_cut_short_leaves_nothing_but_the_old_executable(s3, run_updater, bots):
    new = stub_bot(5, 300_000)
    s3.publish(new)
    with closing(Relay(s3.port, keep=100_000)) as relay:
        run = run_updater(bots / "bin", proxy=relay.proxy)
    assert run.returncode == 1
    assert traceback_line("get_update") in run.stderr
    # What came of it goes with it.
    assert contents(bots) == UNCHANGED
    assert run.lines[-1] == text("download", size="0.29")

    # The next run, with the server whole again, downloads and installs.
    again = run_updater(bots / "bin")
    assert again.returncode == 0, again.stderr
    assert contents(bots) == {"bin": {}, "kelvo_bot.exe": new}


# Afterwards the bot folder holds exactly the old executable or the published one.

@pytest.mark.parametrize("published, alter", [
    pytest.param(50_000, None, id="truncated in the bucket"),
    pytest.param(None, lambda body: body.replace(b"version 7", b"version 8"), id="swapped on the way")])
def test_a_download_unlike_the_published_digest_is_never_installed(
        s3, run_updater, bots, tmp_path, published, alter):
    new = stub_bot(7, 100_000)
    s3.publish(new[:published], digest=hashlib.sha256(new).hexdigest().encode())
    # Without `alter` the relay passes everything on unchanged.
    with closing(Relay(s3.port, alter=alter)) as relay:
        run = run_updater(bots / "bin", proxy=relay.proxy)
    assert run.returncode == 1
    assert f"RuntimeError: {text('mismatch')}" in run.stderr
    assert run.lines[-1] == text("done")
    assert contents(bots) == UNCHANGED and not (tmp_path / "started").exists()


@pytest.mark.parametrize("env, error", [
    pytest.param({"UPDATER_FAULT": "interrupt:1"}, "KeyboardInterrupt", id="interrupted move"),
    pytest.param({"UPDATER_FAULT": "refuse:2"}, None, id="move refused twice"),
    pytest.param({"UPDATER_FAULT": "refuse:99"}, "PermissionError", id="move refused for good"),
    pytest.param({"PYTHONIOENCODING": "ascii"}, "UnicodeEncodeError", id="unprintable path"),
    pytest.param({"UPDATER_INTERRUPT_AT": "subprocess:Popen"}, "KeyboardInterrupt", id="interrupted start")])
def test_a_failure_between_set_aside_and_move_puts_the_old_executable_back(
        s3, run_updater, tmp_path, env, error):
    bots = bot_folder(tmp_path / "боты")
    new = stub_bot(9)
    s3.publish(new)
    run = run_updater(bots / "bin", **env)
    assert (run.returncode == 0) is (error is None), run.stderr
    if error is None:
        assert contents(bots) == {"bin": {}, "kelvo_bot.exe": new}
    else:
        assert contents(bots) == UNCHANGED
        assert run.stderr.rstrip().splitlines()[-1].startswith(error), run.stderr


# Stores that hold the updater up: one that takes every connection and never answers; one that
# drips one of its answers a byte every 5 seconds (the executable's after its HEAD; its body only,
# after headers that promise it whole, so that the library tries again; and cut after 40 s, so
# that the transfer library fetches it again and again from its start), against the build that
# reads that answer; one that is slow but steady (5000 bytes a second: a piece of the download
# every 52 s), whose update goes on to the end; and a store as it is. Each under a host as the
# import meets it: a plain import; a host thread that makes connections of its own meanwhile; a
# host hook that raises malformed connect events or refuses other hooks; a subinterpreter whose
# window marks its lines; a Ctrl-C once the download has begun. None: installed.
PLAIN = "import updater_core"
HOST_THREAD = """
import _socket, socket, sys, threading
server, held, sending = socket.create_server(("127.0.0.1", 0)), [], threading.Event()
def connect():
    sending.wait(60)
    raw = _socket.socket()
    raw.connect(server.getsockname())
    held.extend([raw, socket.create_connection(server.getsockname())])
# The host connects as soon as the updater's client makes its first connection.
main = threading.main_thread()
sys.addaudithook(lambda event, args: event == "socket.connect" and threading.current_thread() is main and sending.set())
threading.Thread(target=connect).start()
try:
    import updater_core
finally:
    peers = [server.accept()[0] for _ in held]
    peers[-1].sendall(b"own")
    print("host:", held[-1].recv(10), bool(socket.create_connection(server.getsockname())))
"""
MALFORMED_EVENTS = """
import sys
def malform(event, args, busy=[]):
    if event == "socket.connect" and not busy:
        busy.append(event)
        for odd in [(), (1,), (None, None), ("socket",), (sys, ("127.0.0.1", 1))]:
            sys.audit(event, *odd)
        busy.clear()
sys.addaudithook(malform)
import updater_core
"""
REFUSED_HOOK = """
import sys
def refuse(event, args):
    if event == "sys.addaudithook":
        raise {}("no other hooks")
sys.addaudithook(refuse)
import updater_core
"""
SUBINTERPRETER = """
import _interpreters, sys
failed = _interpreters.exec(_interpreters.create(_interpreters.new_config("legacy")), '''
import sys
class Window:
    def __init__(self, out): self.out = out
    def write(self, text): return self.out.write(text if text == "\\\\n" else "sub| " + text)
    def flush(self): self.out.flush()
sys.stdout = Window(sys.stdout)
import updater_core
''')
sys.exit(print(failed.formatted) or 1 if failed else 0)
"""
# A console's Ctrl-C, even where this test runs with SIGINT ignored (as a background job is).
INTERRUPTIBLE = """
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)
import updater_core
"""
STALLED = f"RuntimeError: {text('stalled')}"
Row = collections.namedtuple("Row", "slowed build error said host interrupt", defaults=(PLAIN, False))
SLOW_STORES = {
    "silent": Row(None, "native", "botocore.exceptions.ReadTimeoutError", True),
    "exe_hash dripped": Row({"drip": {"exe_hash": 5}}, "native", STALLED, True),
    "statement dripped": Row({"drip": {"exe_hash.sig": 5}}, "signed", STALLED, True),
    "executable dripped": Row({"drip": {"kelvo_bot.exe": 5}}, "native", STALLED, True),
    "executable's body dripped": Row({"drip_body": {"kelvo_bot.exe": 5}}, "native", STALLED, True),
    "executable's body dripped and cut, again and again": Row(
        {"drip_body": {"kelvo_bot.exe": 5}, "cut": 40}, "native", STALLED, True),
    "slow but steady": Row({"rate": 5000}, "native", None, True),
    "a host thread connects meanwhile": Row({"drip": {"exe_hash": 5}}, "native", STALLED, True, HOST_THREAD),
    "malformed connect events": Row({}, "native", None, False, MALFORMED_EVENTS),
    "other hooks refused, RuntimeError": Row({}, "native", None, False, REFUSED_HOOK.format("RuntimeError")),
    "other hooks refused, PermissionError": Row({}, "native", None, False, REFUSED_HOOK.format("PermissionError")),
    "executable's body dripped, other hooks refused": Row({"drip_body": {"kelvo_bot.exe": 5}}, "native", STALLED, True,
                                                          REFUSED_HOOK.format("RuntimeError")),
    "Ctrl-C during a drip": Row({"drip_body": {"kelvo_bot.exe": 5}}, "native", "KeyboardInterrupt", False,
                                INTERRUPTIBLE, interrupt=True),
}
# A subinterpreter of its own configuration can be made from Python from 3.13 on.
if importlib.util.find_spec("_interpreters"):
    SLOW_STORES["in a subinterpreter"] = Row({"drip": {"exe_hash": 5}}, "native", STALLED, True, SUBINTERPRETER)


@pytest.mark.real_libraries
@pytest.mark.minutes
def test_a_slow_store_is_said_and_given_up_within_three_minutes_unless_it_makes_progress(s3, tmp_path):
    new = stub_bot(3, 500_000)
    s3.publish(new)
    quiet = 25  # seconds without a line before the window says the store is slow
    still_trying = text("still trying")
    with contextlib.ExitStack() as stack:
        silent = stack.enter_context(socket.create_server(("127.0.0.1", 0)))
        held = []
        threading.Thread(target=lambda: [held.append(silent.accept()) for _ in iter(int, 1)], daemon=True).start()
        # All at once: each waits minutes on its store, not on the machine.
        runs, begun = {}, time.monotonic()
        for case, row in SLOW_STORES.items():
            proxy = (stack.enter_context(closing(Relay(s3.port, **row.slowed))).proxy if row.slowed is not None
                     else f"http://127.0.0.1:{silent.getsockname()[1]}")
            bots = bot_folder(tmp_path / case)
            env = clean_environment(http_proxy=proxy, BOT_RECORD=str(tmp_path / f"{case} started"),
                                    PYTHONPATH=os.pathsep.join(
                                        filter(None, [str(build_dir(row.build)), os.environ.get("PYTHONPATH")])))
            run = stack.enter_context(ended_after(start([sys.executable, "-u", "-c", row.host], cwd=bots / "bin",
                                                        env=env, stderr=subprocess.STDOUT)))
            # What the window shows as it comes, both outputs as one: the lines, and the progress
            # bar drawn anew.
            shown = []
            reader = threading.Thread(target=watch_window, args=(run.stdout, shown))
            reader.start()
            interrupted = []
            if row.interrupt:
                threading.Thread(target=interrupt, args=(run, shown, interrupted), daemon=True).start()
            runs[case] = bots, run, reader, shown, interrupted
        for case, (bots, run, reader, shown, interrupted) in runs.items():
            row = SLOW_STORES[case]
            run.wait(timeout=harness.limit(200))
            reader.join(timeout=harness.limit(10))
            ended = shown[-1][0]
            window = "".join(chunk for _, chunk in shown)
            lines = window.splitlines()
            assert run.returncode == {None: 0, "KeyboardInterrupt": -signal.SIGINT}.get(row.error, 1), (case, window)
            if row.error:
                assert lines[-1].startswith(row.error), (case, window)
            assert (bots / "kelvo_bot.exe").read_bytes() == (OLD if row.error else new), case
            # A refused download goes with what it wrote.
            assert not (row.error == STALLED and (bots / "bin" / "kelvo_bot.temp").exists()), case
            said = [at for at, chunk in shown if still_trying in chunk]
            assert bool(said) is row.said, (case, window)
            # Each line below the progress bar, not after it; the subinterpreter's in its own window.
            assert all(before.endswith("sub| " if row.host == SUBINTERPRETER else "\n")
                       for before in window.split(still_trying)[:-1]), (case, window)
            # Heard after the quiet period, when no attempt failed before; never after a give-up.
            if "exe_hash dripped" in case:
                assert quiet - 0.5 < said[0] - shown[0][0] < quiet + 2, (case, shown)
            if row.error == STALLED:
                assert all(ended - at > 5 for at in said), (case, shown)
            # Silence counted from the first line the child prints, to its end.
            times = [at for at, _ in shown]
            assert max(b - a for a, b in zip(times, times[1:])) < 30 and ended - begun < 180, (case, shown)
            assert ("host: b'own' True" in lines) is (row.host == HOST_THREAD), (case, window)
            assert (text("unguarded") in lines) is ("def refuse" in row.host), (case, window)
            if row.interrupt:
                assert ended - interrupted[0] < 10, (case, window)
                assert window.count("Traceback") == 1 and "Exception ignored" not in window, (case, window)


def watch_window(stream, shown):
    """Notes what the window shows as it comes, with its time; at the end, the end."""
    for data in iter(lambda: stream.read1(65536), b""):
        shown.append((time.monotonic(), data.decode()))
    shown.append((time.monotonic(), ""))


def interrupt(run, shown, interrupted):
    """Ctrl-C three seconds after the download line, while the executable drips."""
    while not any(text("download", size="0.48") in chunk for _, chunk in shown):
        time.sleep(0.2)
    time.sleep(3)
    interrupted.append(time.monotonic())
    run.send_signal(signal.SIGINT)
