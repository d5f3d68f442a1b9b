"""What the publisher ships: the cross-built wheel and the facts read back from it and from the
bundle."""

import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest
import seaweedfs
from harness import ROOT
from wheels import check_release_metadata


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
    assert "  endpoint:    http://storage.kelvo-bot.invalid\n" in done.stdout
    assert "WARNING: the repository's default keys. They are public" in done.stdout
    assert seaweedfs.built_keys()[1] not in done.stdout
