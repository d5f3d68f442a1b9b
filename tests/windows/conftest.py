"""The Windows module under Wine: the official Windows CPython 3.13 and the cross-built module,
from the bundle that tools/build-windows.sh writes, against a local S3 server on 127.0.0.1.

These tests run only when asked for: `tools/test.sh --windows` builds the bundle and sets
UPDATER_WINDOWS_BUNDLE (the bundle) and UPDATER_WIN64_BUILD (its CMake build, whose endpoint
constant the server is reached under, through http_proxy). Every other run skips them.
"""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "tools"))
import local_s3  # noqa: E402
from windows_harness import Wine, die_with_parent  # noqa: E402

BUCKET = "kelvo-bot"


def pytest_collection_modifyitems(config, items):
    if os.environ.get("UPDATER_WINDOWS_BUNDLE"):
        return
    skip = pytest.mark.skip(reason="the Windows tests run with tools/test.sh --windows")
    for item in items:
        if HERE in Path(item.path).parents:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def wine(tmp_path_factory):
    loader = shutil.which("wine64") or "/usr/lib/wine/wine64"
    server = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
    wine = Wine(tmp_path_factory.mktemp("wine") / "prefix", loader, server)
    try:
        subprocess.run([loader, "wineboot", "-i"], env=wine.environment(), check=True,
                       capture_output=True, timeout=600)
        yield wine
    finally:
        # Ends every Windows process of the prefix (bots included) and Wine's own services.
        subprocess.run([server, "-k"], env=wine.environment(), timeout=60)
        shutil.rmtree(wine.prefix, ignore_errors=True)


@pytest.fixture(scope="session")
def bundle():
    return Path(os.environ["UPDATER_WINDOWS_BUNDLE"])


@pytest.fixture(scope="session")
def sample_bot(tmp_path_factory):
    """sample_bot(version, bulk=0): the bot's program, one version of it, with `bulk` more bytes."""
    exe = tmp_path_factory.mktemp("bot") / "kelvo_bot.exe"
    subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-s", "-Wall", "-Wextra", "-Werror",
                    "-o", str(exe), str(HERE / "sample_bot.c")], check=True)
    program = exe.read_bytes()
    return lambda version, bulk=0: program + f"\0version {version}\0".encode() + os.urandom(bulk)


@dataclass
class Storage:
    """moto's S3 server on 127.0.0.1, with the bucket; clients reach it as their proxy."""

    port: int
    client: object

    @property
    def proxy(self):
        return f"http://127.0.0.1:{self.port}"

    def publish(self, exe):
        self.client.put_object(Bucket=BUCKET, Key="kelvo_bot.exe", Body=exe)
        self.client.put_object(Bucket=BUCKET, Key="exe_hash", Body=hashlib.sha256(exe).hexdigest().encode())


@pytest.fixture(scope="session")
def storage_server(tmp_path_factory):
    import boto3
    from botocore.config import Config

    endpoint = local_s3.built_endpoint(Path(os.environ["UPDATER_WIN64_BUILD"]))
    log_path = tmp_path_factory.mktemp("s3") / "requests.log"
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": os.environ.get("HOME", "/tmp"),
           "LC_ALL": "C.UTF-8"}
    with local_s3.serving(log_path, env=env, preexec_fn=die_with_parent) as port:
        client = boto3.session.Session().client(
            "s3", endpoint_url=endpoint, region_name="us-east-1",
            aws_access_key_id="test", aws_secret_access_key="test",
            config=Config(proxies={"http": f"http://127.0.0.1:{port}"}))
        yield Storage(port, client)


@pytest.fixture
def storage(storage_server):
    """The server with an empty bucket for each test."""
    for item in storage_server.client.list_objects_v2(Bucket=BUCKET).get("Contents", []):
        storage_server.client.delete_object(Bucket=BUCKET, Key=item["Key"])
    return storage_server
