"""Packaging and build options: what ships, what is exported, what the build refuses."""

import shutil
import subprocess
import sys
import zipfile

import pytest

from conftest import ROOT


def test_only_the_module_entry_is_exported(native_build, windows_build):
    if not shutil.which("nm"):
        pytest.skip("no nm")
    for build in (native_build, windows_build):
        module = next(build.glob("updater_core*"))
        symbols = subprocess.run(["nm", "-D", "--defined-only", str(module)], capture_output=True,
                                 text=True, check=True).stdout.split("\n")
        exported = [line.split()[-1] for line in symbols if line and line.split()[1] in "TDBR"]
        assert exported == ["PyInit_updater_core"]


def test_wheel_holds_the_extension_module_alone(tmp_path):
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", str(ROOT), "-w", str(tmp_path), "--no-deps",
         "--no-build-isolation", "-q"],
        check=True, capture_output=True, cwd=tmp_path)
    (wheel,) = tmp_path.glob("*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    modules = [n for n in names if not n.startswith("updater_core-0.1.0.dist-info/")]
    assert len(modules) == 1 and modules[0].startswith("updater_core.") and "/" not in modules[0]
    metadata = zipfile.ZipFile(wheel).read("updater_core-0.1.0.dist-info/METADATA").decode()
    assert "Requires-Dist: progressbar==2.5" in metadata


@pytest.mark.parametrize("option, value", [
    ("UPDATER_ENDPOINT_URL", "https://storage.example.com"),
    ("UPDATER_ENDPOINT_URL", "http://storage.example.com:9000"),
    ("UPDATER_ENDPOINT_URL", "http://storage.example.com/"),
    ("UPDATER_ENDPOINT_URL", "http://storage.example.com/path"),
    ("UPDATER_ENDPOINT_URL", "http://user@storage.example.com"),
    ("UPDATER_ACCESS_KEY_ID", 'quote"inside'),
    ("UPDATER_PATH_STYLE", "dos"),
])
def test_malformed_build_options_fail_at_configure_time(tmp_path, option, value):
    done = subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path), f"-DPython_EXECUTABLE={sys.executable}",
         f"-D{option}={value}"], capture_output=True, text=True)
    assert done.returncode != 0
    assert f"{option}" in done.stderr and "is not valid" in done.stderr
