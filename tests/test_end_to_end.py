"""The native build against a real S3 server, real files and a real child process."""

import contextlib
import hashlib
import os
import socket
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
                     "--access-key-id", "local", "--secret-access-key", "local",
                     "publish", bots / "release.exe"], env=clean_environment(sanitizers=False), check=True)
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


def test_download_cut_short_leaves_the_old_executable(s3, run_updater, bots):
    new = stub_bot(5, 300_000)
    s3.publish(new)
    with closing(Relay(s3.port, keep=100_000)) as relay:
        run = run_updater(bots / "bin", proxy=relay.proxy)
    assert run.returncode == 1
    assert traceback_line("get_update") in run.stderr
    assert (bots / "kelvo_bot.exe").read_bytes() == OLD
    partial = (bots / "bin" / "kelvo_bot.temp").read_bytes()
    assert len(partial) < len(new) and new.startswith(partial)
    assert run.lines[-1] == text("download", size="0.29")

    # The next run, with the server whole again, writes the temporary file anew and installs.
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
    pytest.param({"PYTHONIOENCODING": "ascii"}, "UnicodeEncodeError", id="unprintable path")])
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
# after headers that promise it whole, so that the library tries again), against the build that
# reads that answer; and one that is slow but steady (5000 bytes a second: a piece of the download
# every 52 s), whose update goes on to the end. None: installed.
SLOW_STORES = {
    "silent": (None, "native", "botocore.exceptions.ReadTimeoutError"),
    "exe_hash dripped": ({"drip": {"exe_hash": 5}}, "native", f"RuntimeError: {text('stalled')}"),
    "statement dripped": ({"drip": {"exe_hash.sig": 5}}, "signed", f"RuntimeError: {text('stalled')}"),
    "executable dripped": ({"drip": {"kelvo_bot.exe": 5}}, "native", f"RuntimeError: {text('stalled')}"),
    "executable's body dripped": ({"drip_body": {"kelvo_bot.exe": 5}}, "native",
                                  f"RuntimeError: {text('stalled')}"),
    "slow but steady": ({"rate": 5000}, "native", None),
}


@pytest.mark.real_libraries
@pytest.mark.minutes
def test_a_slow_store_is_said_and_given_up_within_three_minutes_unless_it_makes_progress(s3, tmp_path):
    new = stub_bot(3, 500_000)
    s3.publish(new)
    with contextlib.ExitStack() as stack:
        silent = stack.enter_context(socket.create_server(("127.0.0.1", 0)))
        held = []
        threading.Thread(target=lambda: [held.append(silent.accept()) for _ in iter(int, 1)], daemon=True).start()
        # All at once: each waits minutes on its store, not on the machine.
        runs, begun = {}, time.monotonic()
        for case, (slowed, build, _) in SLOW_STORES.items():
            proxy = (stack.enter_context(closing(Relay(s3.port, **slowed))).proxy if slowed
                     else f"http://127.0.0.1:{silent.getsockname()[1]}")
            bots = bot_folder(tmp_path / case)
            env = clean_environment(http_proxy=proxy, BOT_RECORD=str(tmp_path / f"{case} started"),
                                    PYTHONPATH=os.pathsep.join(
                                        filter(None, [str(build_dir(build)), os.environ.get("PYTHONPATH")])))
            run = stack.enter_context(ended_after(start([sys.executable, "-u", "-c", "import updater_core"],
                                                        cwd=bots / "bin", env=env)))
            # What the window shows as it comes: the lines, and the progress bar drawn anew.
            shown = {"out": [], "err": []}
            readers = [threading.Thread(target=lambda stream=stream, into=into: into.extend(
                (time.monotonic() - begun, data.decode()) for data in iter(lambda: stream.read1(65536), b"")))
                for stream, into in ((run.stdout, shown["out"]), (run.stderr, shown["err"]))]
            for reader in readers:
                reader.start()
            runs[case] = bots, run, readers, shown
        for case, (bots, run, readers, shown) in runs.items():
            run.wait(timeout=200)
            ended = time.monotonic() - begun
            for reader in readers:
                reader.join(timeout=10)
            error = SLOW_STORES[case][2]
            assert run.returncode == (1 if error else 0), case
            if error:
                assert "".join(chunk for _, chunk in shown["err"]).rstrip().splitlines()[-1].startswith(error), case
            assert (bots / "kelvo_bot.exe").read_bytes() == (OLD if error else new), case
            assert text("still trying") in "".join(chunk for _, chunk in shown["out"]).splitlines(), case
            times = sorted([0.0, ended] + [at for at, _ in shown["out"] + shown["err"]])
            assert max(b - a for a, b in zip(times, times[1:])) < 30 and ended < 180, (case, shown, ended)
