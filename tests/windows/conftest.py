"""The Windows module under Wine: the official Windows CPython 3.13 and the cross-built module,
from the bundle that tools/build-windows.sh writes, against a local S3 server on 127.0.0.1.
They run only when `tools/test.sh --windows` has built the bundle and named it and its CMake
build in UPDATER_WINDOWS_BUNDLE and UPDATER_WIN64_BUILD; every other run skips them."""

import os
import subprocess
from pathlib import Path

import pytest
from s3_servers import EXE_NAME, moto_server
from windows_harness import booted

HERE = Path(__file__).resolve().parent


def pytest_collection_modifyitems(config, items):
    # Making the Wine prefix, and Windows programs under Wine, take longer than the rest.
    mark = (pytest.mark.timeout(600) if os.environ.get("UPDATER_WINDOWS_BUNDLE")
            else pytest.mark.skip(reason="the Windows tests run with tools/test.sh --windows"))
    for item in items:
        if HERE in Path(item.path).parents:
            item.add_marker(mark)


@pytest.fixture(scope="session")
def wine(tmp_path_factory):
    with booted(tmp_path_factory.mktemp("wine") / "prefix") as wine:
        yield wine


@pytest.fixture(scope="session")
def bundle():
    return Path(os.environ["UPDATER_WINDOWS_BUNDLE"])


@pytest.fixture(scope="session")
def sample_bot(tmp_path_factory):
    """sample_bot(version, bulk=0): the bot's program, one version of it, with `bulk` more bytes."""
    exe = tmp_path_factory.mktemp("bot") / EXE_NAME
    subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-s", "-Wall", "-Wextra", "-Werror",
                    "-o", str(exe), str(HERE / "sample_bot.c")], check=True)
    program = exe.read_bytes()
    return lambda version, bulk=0: program + f"\0version {version}\0".encode() + os.urandom(bulk)


@pytest.fixture(scope="session")
def s3_server():
    """The shared `s3` fixture's server, reached under the endpoint the Windows bundle was made
    with."""
    with moto_server(Path(os.environ["UPDATER_WIN64_BUILD"])) as server:
        yield server
