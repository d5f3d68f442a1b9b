"""The module against SeaweedFS, a real store that checks signatures and permissions, and against
a SeaweedFS cluster that loses a volume server in the middle of a download."""

import hashlib
import threading
import time

import pytest

import seaweedfs
from conftest import BUCKET, EXE_NAME, UNCHANGED, contents, limit, stub_bot
from fakes import OLD
from messages import text
from s3_servers import seaweedfs_server
from statement_lines import traceback_line

pytestmark = pytest.mark.parametrize("s3_server", ["seaweedfs"], indirect=True, scope="session")


def test_a_wrong_secret_fails_at_the_check_and_changes_nothing(run_updater, native_build, bots):
    key_id, _ = seaweedfs.built_keys(native_build)
    # This store knows the module's key id with another secret: the module signs with the secret
    # it was built with, which is the wrong one here.
    with seaweedfs_server(native_build, keys=(key_id, "not-the-secret-the-module-was-built-with")) as store:
        store.put("exe_hash", b"0" * 64)
        run = run_updater(bots, proxy=store.proxy)
    assert run.returncode == 1 and run.lines == [text("check")]
    assert "botocore.exceptions.ClientError" in run.stderr and "(SignatureDoesNotMatch)" in run.stderr
    assert traceback_line("s3_file_reader") in run.stderr
    assert contents(bots) == UNCHANGED


def test_the_modules_keys_may_read_the_bucket_and_nothing_else(s3, native_build):
    s3.publish(b"MZ bot")
    module = seaweedfs.client(s3.port, seaweedfs.built_keys(native_build), s3.endpoint)
    assert module.get_object(Bucket=BUCKET, Key=EXE_NAME)["Body"].read() == b"MZ bot"
    assert module.head_object(Bucket=BUCKET, Key=EXE_NAME)["ContentLength"] == 6
    for refused in (lambda: module.put_object(Bucket=BUCKET, Key=EXE_NAME, Body=b"MZ evil"),
                    lambda: module.delete_object(Bucket=BUCKET, Key="exe_hash"),
                    lambda: module.list_objects_v2(Bucket=BUCKET),
                    lambda: module.create_bucket(Bucket="kelvo-bot-2")):
        with pytest.raises(module.exceptions.ClientError, match=r"\(AccessDenied\)"):
            refused()
    assert s3.client.get_object(Bucket=BUCKET, Key=EXE_NAME)["Body"].read() == b"MZ bot"


def bytes_sent(cluster, name):
    """What a process of the cluster has written so far (its sockets included), in bytes."""
    with open(f"/proc/{cluster.store.processes[name].pid}/io") as io:
        return int(next(line for line in io if line.startswith("wchar:")).split()[1])


def test_a_volume_server_lost_mid_download(run_updater, native_build, bots):
    """Master, two volume servers holding every chunk twice, filer and gateway. The volume server
    that has sent more is killed once 8 MiB of the 100 MiB executable have left the volume
    servers. Either the download completes from the replica, or it fails with the old executable
    untouched and the next run completes; never a broken executable."""
    new = stub_bot(6, 100 * 1024 * 1024)
    with seaweedfs_server(native_build, cluster=True) as cluster:
        cluster.publish(new, signing_key=None)
        volumes = ("volume1", "volume2")
        before = {name: bytes_sent(cluster, name) for name in volumes}
        at_kill = {}

        def kill_the_busier_volume_server():
            deadline = time.monotonic() + limit(60)
            while time.monotonic() < deadline:
                sent = {name: bytes_sent(cluster, name) - before[name] for name in volumes}
                if sum(sent.values()) >= 8 * 1024 * 1024:
                    at_kill.update(sent, killed=max(volumes, key=sent.get))
                    cluster.store.kill(at_kill["killed"])
                    return
                time.sleep(0.002)

        killer = threading.Thread(target=kill_the_busier_volume_server, daemon=True)
        killer.start()
        run = run_updater(bots, proxy=cluster.proxy)
        killer.join(limit(60))
        assert at_kill, "no volume server was killed: the download never got going"
        if run.returncode != 0:
            assert (bots / EXE_NAME).read_bytes() == OLD
            run = run_updater(bots, proxy=cluster.proxy)
        assert run.returncode == 0, run.stderr[-2000:]
        # The kill came while the download was under way, and the rest came from the survivor.
        survivor = next(name for name in volumes if name != at_kill["killed"])
        assert at_kill["volume1"] + at_kill["volume2"] < len(new)
        assert bytes_sent(cluster, survivor) - before[survivor] > at_kill[survivor]
    assert run.lines[-1] == text("started")
    assert hashlib.sha256((bots / EXE_NAME).read_bytes()).digest() == hashlib.sha256(new).digest()
    assert not (bots / "kelvo_bot.temp").exists()
