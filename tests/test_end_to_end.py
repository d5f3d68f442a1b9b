"""The native build against a real S3 server, real files and a real child process."""

import hashlib
import os
import socket
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from messages import identical_lines, text
from statement_lines import traceback_line
from relay import Relay as TruncatingProxy

STUB_BOT = b"""#!/bin/sh
# A stand-in bot: records where and how it was started (once per start), then exits.
{ pwd -P; printf '%s\\n' "$0" "$#"; } >> "$BOT_RECORD"
exit 0
"""


def stub_bot(version):
    return STUB_BOT + f"# version {version}\n".encode()


def wait_for(path, seconds=20):
    deadline = time.monotonic() + seconds
    while not (path.exists() and path.read_text().count("\n") >= 3):
        if time.monotonic() > deadline:
            raise AssertionError(f"the bot never started (no {path})")
        time.sleep(0.05)
    return path.read_text().splitlines()


@pytest.fixture
def bot_dir(tmp_path):
    directory = tmp_path / "bots"
    (directory / "bin").mkdir(parents=True)
    return directory


class TestCheck:
    @pytest.mark.both_servers
    def test_current_executable_waits_and_exits_at_the_modules_endpoint(self, s3, run_updater, bot_dir):
        exe = stub_bot(1)
        (bot_dir / "kelvo_bot.exe").write_bytes(exe)
        s3.publish(exe)
        run = run_updater(bot_dir / "bin")
        assert run.returncode == 0, run.stderr
        assert run.lines == identical_lines(bot_dir / "kelvo_bot.exe")
        assert run.sleeps == [60]
        # The module addressed its own endpoint constant, through the proxy, in absolute form
        # (moto logs it). SeaweedFS keeps no request log, but it answered only because the
        # request carried a valid signature of the module's compiled-in keys.
        if s3.requests() is not None:
            assert any(f'"GET {s3.endpoint}/kelvo-bot/exe_hash HTTP/1.1" 200' in line
                       for line in s3.requests())

    @pytest.mark.both_servers
    @pytest.mark.parametrize("key, error", [
        ("exe_hash", "NoSuchKey"), ("bucket", "NoSuchBucket")])
    def test_missing_digest_or_bucket_propagates(self, s3, run_updater, bot_dir, key, error):
        exe = stub_bot(1)
        (bot_dir / "kelvo_bot.exe").write_bytes(exe)
        s3.put("kelvo_bot.exe", exe)
        if key == "bucket":
            s3.delete("kelvo_bot.exe")
            s3.client.delete_bucket(Bucket="kelvo-bot")
        try:
            run = run_updater(bot_dir)
        finally:
            if key == "bucket":
                s3.client.create_bucket(Bucket="kelvo-bot")
        assert run.returncode == 1
        assert f"botocore.errorfactory.{error}" in run.stderr
        assert traceback_line("check") in run.stderr
        assert traceback_line("s3_file_reader") in run.stderr
        assert run.lines == ["Checking hash-sum of local and remote file..."]
        assert run.sleeps == [] and (bot_dir / "kelvo_bot.exe").read_bytes() == exe

    def test_unreachable_server(self, s3, run_updater, bot_dir):
        (bot_dir / "kelvo_bot.exe").write_bytes(b"x")
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            port = closed.getsockname()[1]
        run = run_updater(bot_dir, proxy=f"http://127.0.0.1:{port}")
        assert run.returncode == 1
        assert "ProxyConnectionError" in run.stderr or "EndpointConnectionError" in run.stderr
        assert 60 not in run.sleeps and not (bot_dir / "kelvo_bot.temp").exists()


class TestUpdate:
    @pytest.mark.both_servers
    @pytest.mark.parametrize("start_in, old", [
        ("bots", None), ("bots/bin", b"MZ old"), ("bot dir with spaces/bin", b"MZ old")],
        ids=["missing, bot directory", "changed, bin subdirectory", "spaces in the path"])
    def test_installs_byte_for_byte_and_starts_the_bot(self, s3, run_updater, tmp_path, start_in, old):
        cwd = tmp_path / start_in
        cwd.mkdir(parents=True)
        bots = cwd.parent if cwd.name == "bin" else cwd
        if old is not None:
            (bots / "kelvo_bot.exe").write_bytes(old)
        new = stub_bot(2)
        s3.publish(new)
        record = tmp_path / "started"

        run = run_updater(cwd, BOT_RECORD=str(record))
        assert run.returncode == 0, run.stderr
        assert (bots / "kelvo_bot.exe").read_bytes() == new
        assert not (cwd / "kelvo_bot.temp").exists()
        assert wait_for(record) == [str(bots.resolve()), str(bots / "kelvo_bot.exe"), "0"]
        assert run.sleeps[-1] == 3
        assert run.bar[-1] == len(new)
        assert "Downloading file: kelvo_bot.temp file size: 0.00 MiB" in run.lines
        assert run.lines[-1] == "Done. Starting bot."

        again = run_updater(cwd)
        assert again.lines == identical_lines(bots / "kelvo_bot.exe")

    def test_a_digest_with_a_line_end_downloads_every_time(self, s3, run_updater, bot_dir, tmp_path):
        exe = stub_bot(3)
        (bot_dir / "kelvo_bot.exe").write_bytes(exe)
        s3.publish(exe, digest=hashlib.sha256(exe).hexdigest().encode() + b"\n")
        run = run_updater(bot_dir, BOT_RECORD=str(tmp_path / "started"))
        assert "The local file is not identical to the file on the server, start updating..." in run.lines
        assert run.returncode == 0 and (bot_dir / "kelvo_bot.exe").read_bytes() == exe

    def test_missing_executable_object_changes_nothing(self, s3, run_updater, bot_dir):
        (bot_dir / "kelvo_bot.exe").write_bytes(b"MZ old")
        s3.put("exe_hash", b"0" * 64)
        run = run_updater(bot_dir / "bin")
        assert run.returncode == 1
        assert "ClientError" in run.stderr and traceback_line("get_update") in run.stderr
        assert run.lines[-1] == "The local file is not identical to the file on the server, start updating..."
        assert (bot_dir / "kelvo_bot.exe").read_bytes() == b"MZ old"
        assert not (bot_dir / "bin" / "kelvo_bot.temp").exists()

    def test_large_object_in_parallel_parts_counts_every_byte(self, s3, run_updater, bot_dir, tmp_path):
        new = stub_bot(4) + os.urandom(20 * 1024 * 1024)
        s3.publish(new)
        run = run_updater(bot_dir, BOT_RECORD=str(tmp_path / "started"))
        assert run.returncode == 0, run.stderr
        assert "Downloading file: kelvo_bot.temp file size: 20.00 MiB" in run.lines
        assert run.bar[-1] == len(new) and len(run.bar) > 3
        assert hashlib.sha256((bot_dir / "kelvo_bot.exe").read_bytes()).digest() == hashlib.sha256(new).digest()


def test_download_cut_short_leaves_the_old_executable(s3, run_updater, bot_dir):
    old = b"MZ old bot"
    (bot_dir / "kelvo_bot.exe").write_bytes(old)
    new = stub_bot(5) + os.urandom(300_000)
    s3.publish(new)
    proxy = TruncatingProxy(s3.port, keep=100_000)
    try:
        run = run_updater(bot_dir / "bin", proxy=f"http://127.0.0.1:{proxy.port}")
    finally:
        proxy.close()
    assert run.returncode == 1
    assert traceback_line("get_update") in run.stderr
    assert (bot_dir / "kelvo_bot.exe").read_bytes() == old
    partial = (bot_dir / "bin" / "kelvo_bot.temp").read_bytes()
    assert len(partial) < len(new) and new.startswith(partial)
    assert run.lines[-1] == "Downloading file: kelvo_bot.temp file size: 0.29 MiB"

    # The next run, with the server whole again, writes the temporary file anew and installs.
    again = run_updater(bot_dir / "bin", BOT_RECORD=str(bot_dir / "started"))
    assert again.returncode == 0, again.stderr
    assert (bot_dir / "kelvo_bot.exe").read_bytes() == new


class TestNeverWithoutAnExecutable:
    """Afterwards the bot folder holds exactly the old executable or the published one."""

    OLD = b"MZ old bot"

    @pytest.mark.parametrize("damage", ["truncated in the bucket", "swapped on the way"])
    def test_a_download_unlike_the_published_digest_is_never_installed(self, s3, run_updater, bot_dir, damage):
        (bot_dir / "kelvo_bot.exe").write_bytes(self.OLD)
        new = stub_bot(7) + os.urandom(100_000)
        proxy = None
        if damage == "truncated in the bucket":
            s3.publish(new[:50_000], digest=hashlib.sha256(new).hexdigest().encode())
        else:
            s3.publish(new)
            proxy = TruncatingProxy(s3.port, alter=lambda body: body.replace(b"version 7", b"version 8"))
        try:
            run = run_updater(bot_dir / "bin", BOT_RECORD=str(bot_dir / "started"),
                              proxy=proxy and f"http://127.0.0.1:{proxy.port}")
        finally:
            if proxy:
                proxy.close()
        assert run.returncode == 1
        assert ("RuntimeError: The downloaded kelvo_bot.exe does not match the published digest; "
                "nothing was changed.") in run.stderr
        assert run.lines[-1] == "Download done."
        assert (bot_dir / "kelvo_bot.exe").read_bytes() == self.OLD
        assert sorted(os.listdir(bot_dir)) == ["bin", "kelvo_bot.exe"] and not os.listdir(bot_dir / "bin")

    @pytest.mark.parametrize("fault, env, installed", [
        ("interrupted move", {"UPDATER_FAULT": "interrupt:1"}, False),
        ("move refused twice", {"UPDATER_FAULT": "refuse:2"}, True),
        ("move refused for good", {"UPDATER_FAULT": "refuse:99"}, False),
        ("unprintable path", {"PYTHONIOENCODING": "ascii"}, False),
    ])
    def test_a_failure_between_set_aside_and_move_puts_the_old_executable_back(
            self, s3, run_updater, tmp_path, fault, env, installed):
        bots = tmp_path / "боты"
        (bots / "bin").mkdir(parents=True)
        (bots / "kelvo_bot.exe").write_bytes(self.OLD)
        new = stub_bot(9)
        s3.publish(new)
        run = run_updater(bots / "bin", BOT_RECORD=str(tmp_path / "started"), **env)
        assert (run.returncode == 0) is installed, run.stderr
        assert (bots / "kelvo_bot.exe").read_bytes() == (new if installed else self.OLD)
        assert sorted(os.listdir(bots)) == ["bin", "kelvo_bot.exe"]
        if not installed:
            assert (bots / "bin" / "kelvo_bot.temp").read_bytes() == new
            assert run.stderr.rstrip().splitlines()[-1].startswith(
                ("KeyboardInterrupt", "PermissionError", "UnicodeEncodeError")), run.stderr
