"""Packaging and build options: what ships, what is exported, what the build refuses."""

import os
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


def pip_wheel(folder, *options, **env):
    """pip wheel of the project into folder, with only the given build settings."""
    environ = {k: v for k, v in os.environ.items() if not k.startswith("UPDATER_")}
    return subprocess.run(
        [sys.executable, "-m", "pip", "wheel", str(ROOT), "-w", str(folder), "--no-deps",
         "--no-build-isolation", "-q", *options],
        capture_output=True, text=True, cwd=folder, env=dict(environ, **env))


def test_package_build_refuses_a_missing_or_malformed_endpoint(tmp_path):
    done = pip_wheel(tmp_path)
    assert done.returncode != 0 and "UPDATER_ENDPOINT_URL is not set" in done.stdout + done.stderr
    done = pip_wheel(tmp_path, UPDATER_ENDPOINT_URL="https://storage.example.com")
    assert done.returncode != 0
    assert "UPDATER_ENDPOINT_URL='https://storage.example.com' is not valid" in done.stdout + done.stderr
    assert not list(tmp_path.glob("*.whl"))


def test_wheel_holds_the_extension_module_alone_with_its_endpoint(tmp_path):
    done = pip_wheel(tmp_path, "-Ccmake.define.UPDATER_ENDPOINT_URL=http://storage.example.com")
    assert done.returncode == 0, done.stdout + done.stderr
    (wheel,) = tmp_path.glob("*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    modules = [n for n in names if not n.startswith("updater_core-0.1.0.dist-info/")]
    assert len(modules) == 1 and modules[0].startswith("updater_core.") and "/" not in modules[0]
    assert b"http://storage.example.com\0" in zipfile.ZipFile(wheel).read(modules[0])
    metadata = zipfile.ZipFile(wheel).read("updater_core-0.1.0.dist-info/METADATA").decode()
    assert "Requires-Dist: progressbar==2.5" in metadata


def configure(build, *defines):
    """cmake's configure step of the project in build, with a well-formed endpoint that a later
    -DUPDATER_ENDPOINT_URL in defines replaces."""
    return subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build),
                           f"-DPython_EXECUTABLE={sys.executable}",
                           "-DUPDATER_ENDPOINT_URL=http://storage.example.com", *defines],
                          capture_output=True, text=True)


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
    done = configure(tmp_path, f"-D{option}={value}")
    assert done.returncode != 0
    assert f"{option}" in done.stderr and "is not valid" in done.stderr


@pytest.fixture(scope="module")
def pretend_other_version(tmp_path_factory, windows_build):
    """A Windows-style build whose version check takes 2.7 for its compile-time version."""
    build = tmp_path_factory.mktemp("pretend")
    cache = (windows_build / "CMakeCache.txt").read_text()
    sanitize = "UPDATER_SANITIZE:BOOL=ON" in cache
    configure(build, "-DUPDATER_PATH_STYLE=windows", "-DUPDATER_PRETEND_COMPILED_FOR=2.7",
              f"-DUPDATER_SANITIZE={'ON' if sanitize else 'OFF'}").check_returncode()
    subprocess.run(["cmake", "--build", str(build), "--parallel", "2"], check=True, capture_output=True)
    return build


def test_version_mismatch_warns_and_goes_on_or_fails_under_error_filters(pretend_other_version):
    import warnings

    from fakes import World, import_module

    expected = ("compile time Python version 2.7 of module 'updater_core' does not match "
                f"runtime version {sys.version_info[0]}.{sys.version_info[1]}")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        outcome = import_module(pretend_other_version, World(files={}, objects={"kelvo_bot.exe": b"x"}))
    assert isinstance(outcome.error, SystemExit)
    assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, expected)]

    world = World()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        outcome = import_module(pretend_other_version, world)
    assert type(outcome.error) is RuntimeWarning and str(outcome.error) == expected
    assert world.calls == []
