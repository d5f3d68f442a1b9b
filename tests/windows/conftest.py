"""The Windows module under Wine: the official Windows CPython 3.13 and the cross-built module,
from the bundle that tools/build-windows.sh writes, against a local S3 server on 127.0.0.1.
The tests that need the Windows build (the fixtures below: Wine, the bundle, the wheel) are
marked `windows` and run only when `tools/test.sh --windows` has built the bundle and named it,
its wheel and its CMake build in UPDATER_WINDOWS_BUNDLE, UPDATER_WINDOWS_WHEEL and
UPDATER_WIN64_BUILD; every other run skips them. The launcher's own tests in plain Python need
none of it and run in every suite."""

import os
import subprocess
from pathlib import Path

import pytest
from s3_servers import EXE_NAME, moto_server
from windows_harness import booted

HERE = Path(__file__).resolve().parent


# The fixtures of what tools/test.sh --windows builds and starts.
WINDOWS_FIXTURES = {"wine", "bundle", "wheel", "sample_bot", "s3_server"}


def pytest_collection_modifyitems(config, items):
    # Making the Wine prefix, and Windows programs under Wine, take longer than the rest.
    built = bool(os.environ.get("UPDATER_WINDOWS_BUNDLE"))
    for item in items:
        if HERE in Path(item.path).parents and WINDOWS_FIXTURES & set(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.windows)
            item.add_marker(pytest.mark.timeout(600) if built else
                            pytest.mark.skip(reason="the Windows tests run with tools/test.sh --windows"))


@pytest.fixture(scope="session")
def wine(tmp_path_factory):
    with booted(tmp_path_factory.mktemp("wine") / "prefix") as wine:
        yield wine


@pytest.fixture(scope="session")
def bundle():
    return Path(os.environ["UPDATER_WINDOWS_BUNDLE"])


@pytest.fixture(scope="session")
def wheel():
    return Path(os.environ["UPDATER_WINDOWS_WHEEL"])


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
