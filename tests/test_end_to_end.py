"""The native build against a real S3 server, real files and a real child process."""

import hashlib
import os

import pytest

from conftest import stub_bot, wait_for
from fakes import OLD
from messages import identical_lines, text
from relay import Relay
from statement_lines import traceback_line


class TestCheck:
    @pytest.mark.both_servers
    def test_current_executable_waits_and_exits_at_the_modules_endpoint(self, s3, run_updater, bots):
        s3.publish(OLD)
        run = run_updater(bots / "bin")
        assert run.returncode == 0, run.stderr
        assert run.lines == identical_lines(bots / "kelvo_bot.exe")
        assert run.sleeps == [60]
        # The module addressed its own endpoint constant, through the proxy, in absolute form
        # (moto logs it). SeaweedFS keeps no request log, but it answered only because the
        # request carried a valid signature of the module's compiled-in keys.
        if s3.requests() is not None:
            assert any(f'"GET {s3.endpoint}/kelvo-bot/exe_hash HTTP/1.1" 200' in line
                       for line in s3.requests())

    @pytest.mark.both_servers
    @pytest.mark.parametrize("missing, error, function, last", [
        ("exe_hash", "botocore.errorfactory.NoSuchKey", "s3_file_reader", "check"),
        ("bucket", "botocore.errorfactory.NoSuchBucket", "s3_file_reader", "check"),
        ("kelvo_bot.exe", "ClientError", "get_update", "differs")])
    def test_a_missing_object_or_bucket_propagates_and_changes_nothing(
            self, s3, run_updater, bots, missing, error, function, last):
        s3.publish(stub_bot(2))
        if missing == "bucket":
            s3.empty()
            s3.client.delete_bucket(Bucket="kelvo-bot")
        else:
            s3.delete(missing)
        try:
            run = run_updater(bots / "bin")
        finally:
            if missing == "bucket":
                s3.client.create_bucket(Bucket="kelvo-bot")
        assert run.returncode == 1
        assert error in run.stderr and traceback_line(function) in run.stderr
        assert run.lines[-1] == text(last) and 60 not in run.sleeps
        assert sorted(os.listdir(bots)) == ["bin", "kelvo_bot.exe"]
        assert (bots / "kelvo_bot.exe").read_bytes() == OLD and not os.listdir(bots / "bin")


class TestUpdate:
    @pytest.mark.both_servers
    @pytest.mark.parametrize("start_in, old, bulk", [
        ("bots", None, 0), ("bots/bin", OLD, 0), ("bot dir with spaces/bin", OLD, 0),
        ("bots", OLD, 20 * 1024 * 1024)],
        ids=["missing, bot directory", "changed, bin subdirectory", "spaces in the path",
             "20 MiB in parallel parts"])
    def test_installs_byte_for_byte_and_starts_the_bot(self, s3, run_updater, tmp_path, start_in, old, bulk):
        cwd = tmp_path / start_in
        cwd.mkdir(parents=True)
        bots = cwd.parent if cwd.name == "bin" else cwd
        if old is not None:
            (bots / "kelvo_bot.exe").write_bytes(old)
        new = stub_bot(2, bulk)
        s3.publish(new)
        record = tmp_path / "started"

        run = run_updater(cwd, BOT_RECORD=str(record))
        assert run.returncode == 0, run.stderr
        assert hashlib.sha256((bots / "kelvo_bot.exe").read_bytes()).digest() == hashlib.sha256(new).digest()
        assert not (cwd / "kelvo_bot.temp").exists()
        assert wait_for(record) == [str(bots.resolve()), str(bots / "kelvo_bot.exe"), "0"]
        assert run.sleeps[-1] == 3
        # Every byte counted, also when the parts come in parallel.
        assert run.bar[-1] == len(new) and (len(run.bar) > 3 or not bulk)
        assert text("download", size=f"{len(new) / 1024 / 1024:.2f}") in run.lines
        assert run.lines[-1] == text("started")

        again = run_updater(cwd)
        assert again.lines == identical_lines(bots / "kelvo_bot.exe")

    def test_a_digest_with_a_line_end_downloads_every_time(self, s3, run_updater, bots):
        exe = stub_bot(3)
        (bots / "kelvo_bot.exe").write_bytes(exe)
        s3.publish(exe, digest=hashlib.sha256(exe).hexdigest().encode() + b"\n")
        run = run_updater(bots, BOT_RECORD=str(bots / "started"))
        assert text("differs") in run.lines
        assert run.returncode == 0 and (bots / "kelvo_bot.exe").read_bytes() == exe


def test_download_cut_short_leaves_the_old_executable(s3, run_updater, bots):
    new = stub_bot(5, 300_000)
    s3.publish(new)
    proxy = Relay(s3.port, keep=100_000)
    try:
        run = run_updater(bots / "bin", proxy=proxy.proxy)
    finally:
        proxy.close()
    assert run.returncode == 1
    assert traceback_line("get_update") in run.stderr
    assert (bots / "kelvo_bot.exe").read_bytes() == OLD
    partial = (bots / "bin" / "kelvo_bot.temp").read_bytes()
    assert len(partial) < len(new) and new.startswith(partial)
    assert run.lines[-1] == text("download", size="0.29")

    # The next run, with the server whole again, writes the temporary file anew and installs.
    again = run_updater(bots / "bin", BOT_RECORD=str(bots / "started"))
    assert again.returncode == 0, again.stderr
    assert (bots / "kelvo_bot.exe").read_bytes() == new


class TestNeverWithoutAnExecutable:
    """Afterwards the bot folder holds exactly the old executable or the published one."""

    @pytest.mark.parametrize("damage", ["truncated in the bucket", "swapped on the way"])
    def test_a_download_unlike_the_published_digest_is_never_installed(self, s3, run_updater, bots, damage):
        new = stub_bot(7, 100_000)
        proxy = None
        if damage == "truncated in the bucket":
            s3.publish(new[:50_000], digest=hashlib.sha256(new).hexdigest().encode())
        else:
            s3.publish(new)
            proxy = Relay(s3.port, alter=lambda body: body.replace(b"version 7", b"version 8"))
        try:
            run = run_updater(bots / "bin", BOT_RECORD=str(bots / "started"),
                              proxy=proxy and proxy.proxy)
        finally:
            if proxy:
                proxy.close()
        assert run.returncode == 1
        assert f"RuntimeError: {text('mismatch')}" in run.stderr
        assert run.lines[-1] == text("done")
        assert (bots / "kelvo_bot.exe").read_bytes() == OLD
        assert sorted(os.listdir(bots)) == ["bin", "kelvo_bot.exe"] and not os.listdir(bots / "bin")

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
        (bots / "kelvo_bot.exe").write_bytes(OLD)
        new = stub_bot(9)
        s3.publish(new)
        run = run_updater(bots / "bin", BOT_RECORD=str(tmp_path / "started"), **env)
        assert (run.returncode == 0) is installed, run.stderr
        assert (bots / "kelvo_bot.exe").read_bytes() == (new if installed else OLD)
        assert sorted(os.listdir(bots)) == ["bin", "kelvo_bot.exe"]
        if not installed:
            assert (bots / "bin" / "kelvo_bot.temp").read_bytes() == new
            assert run.stderr.rstrip().splitlines()[-1].startswith(
                ("KeyboardInterrupt", "PermissionError", "UnicodeEncodeError")), run.stderr
