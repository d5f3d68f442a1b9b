"""What the publisher ships and what the person at the window reads: the cross-built wheel, the
facts read back from it, and the launcher's words after a failure, under Wine."""

import os
import socket
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest
import seaweedfs
from harness import ROOT, clean_environment
from messages import text
from test_under_wine import BotFolder
from wheels import check_release_metadata
from windows_harness import ENGLISH, RUSSIAN


@pytest.fixture(scope="module")
def store_with_other_keys():
    """SeaweedFS that knows other module keys than the bundle's: it refuses the bundle's."""
    with seaweedfs.serving(("kelvo-other-module", "another-secret-altogether"),
                           env=clean_environment(sanitizers=False)) as store:
        yield store


@pytest.mark.parametrize("failure", ["unreachable", "keys"])
@pytest.mark.parametrize("locale", [ENGLISH, RUSSIAN], ids=["English", "Russian"])
def test_after_a_failure_the_launcher_says_what_to_do_in_the_persons_language(
        wine, bundle, sample_bot, tmp_path, request, failure, locale):
    bots = BotFolder(tmp_path / "bots", bundle)
    bots.exe.write_bytes(sample_bot(1))
    if failure == "keys":
        proxy = request.getfixturevalue("store_with_other_keys").proxy
        error = "InvalidAccessKeyId"
    else:
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        request.addfinalizer(closed.close)
        proxy, error = f"http://127.0.0.1:{closed.getsockname()[1]}", "ProxyConnectionError"
    run = bots.update(wine, proxy, locale, AWS_MAX_ATTEMPTS="1")
    assert run.returncode == 1
    # The updater's own error first, unchanged; then the two lines; then update.cmd's pause.
    errors = run.stderr.rstrip().splitlines()
    assert errors[-2:] == text("hint " + failure, locale)
    assert errors[-3] == "" and error in errors[-4] and errors[0] == "Traceback (most recent call last):"
    assert "pause" not in run.stdout and run.lines[-1].strip()  # the pause prompt, in Wine's language
    assert bots.exe.read_bytes() == sample_bot(1)


def test_the_test_wheel_is_under_build_with_the_release_metadata_and_dist_is_untouched():
    wheel = Path(os.environ["UPDATER_WINDOWS_WHEEL"])
    assert ROOT / "build" in wheel.parents
    check_release_metadata(wheel)
    endpoint = b"http://storage.kelvo-bot.invalid\0"
    for release in (ROOT / "dist").rglob("*.whl"):
        with zipfile.ZipFile(release) as archive:
            assert not any(endpoint in archive.read(name) for name in archive.namelist()
                           if name.endswith(".pyd")), f"a test build in {release}"


@pytest.mark.parametrize("what", ["wheel", "bundle"])
def test_inspect_names_the_endpoint_and_warns_of_the_default_keys_without_the_secret(bundle, what):
    path = os.environ["UPDATER_WINDOWS_WHEEL"] if what == "wheel" else bundle
    done = subprocess.run([sys.executable, str(ROOT / "tools" / "publisher.py"), "inspect", str(path)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "  endpoint: http://storage.kelvo-bot.invalid\n" in done.stdout
    assert "WARNING: the repository's default keys. They are public" in done.stdout
    assert seaweedfs.built_keys()[1] not in done.stdout
