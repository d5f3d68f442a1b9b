"""Packaging and build options: what ships, what is exported, what the build refuses."""

import os
import shutil
import sys
import sysconfig
import warnings
import zipfile

import pytest

from conftest import ROOT, clean_environment, local_s3, run
from fakes import World, fake_world, import_module
from messages import text
from project import build_setting, version
from wheels import check_release_metadata

# The build tools' environment: nothing of the machine's but PATH and HOME, no sanitizer runtime.
TOOLS = clean_environment(sanitizers=False)


def test_only_the_module_entry_is_exported(native_build, windows_build):
    if not shutil.which("nm"):
        pytest.skip("no nm")
    for build in (native_build, windows_build):
        module = next(build.glob("updater_core*"))
        symbols = run(["nm", "-D", "--defined-only", module], env=TOOLS, check=True).lines
        exported = [line.split()[-1] for line in symbols if line and line.split()[1] in "TDBR"]
        assert exported == ["PyInit_updater_core"]


def pip_wheel(folder, *options, **env):
    environ = {k: v for k, v in os.environ.items() if not k.startswith("UPDATER_")}
    return run([sys.executable, "-m", "pip", "wheel", ROOT, "-w", folder, "--no-deps",
                "--no-build-isolation", "-q", *options], cwd=folder, env=dict(environ, **env), timeout=280)


# The one build of the suite that compiles each source alone, as pip and the Windows build do: a
# source that does not include what it uses fails it. Its folder stays under build/, so that the
# compiler's cache finds its compiles again in the next run (and a fresh clone's).
WHEEL_BUILD = f"-Cbuild-dir={ROOT / 'build' / 'wheel'}"


@pytest.mark.tools
def test_package_build_refuses_a_missing_or_malformed_endpoint(tmp_path):
    done = pip_wheel(tmp_path)
    assert done.returncode != 0 and "UPDATER_ENDPOINT_URL is not set" in done.stdout + done.stderr
    done = pip_wheel(tmp_path, UPDATER_ENDPOINT_URL="https://storage.example.com")
    assert done.returncode != 0
    assert "UPDATER_ENDPOINT_URL='https://storage.example.com' is not valid" in done.stdout + done.stderr
    assert not list(tmp_path.glob("*.whl"))


@pytest.mark.tools
def test_wheel_holds_the_extension_module_alone_with_its_endpoint(tmp_path):
    done = pip_wheel(tmp_path, WHEEL_BUILD, "-Ccmake.define.UPDATER_ENDPOINT_URL=http://storage.example.com")
    assert done.returncode == 0, done.stdout + done.stderr
    (wheel,) = tmp_path.glob("*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    modules = [n for n in names if not n.startswith(f"updater_core-{version()}.dist-info/")]
    assert len(modules) == 1 and modules[0].startswith("updater_core.") and "/" not in modules[0]
    assert b"http://storage.example.com\0" in zipfile.ZipFile(wheel).read(modules[0])
    check_release_metadata(wheel)


UPDATE_OPENING_DATA = r"""
import os, sys
opened = set()
def record(event, args):
    if event == "open" and isinstance(args[0], str):
        path = args[0].replace(os.sep, "/")
        for data in ("/botocore/data/", "/boto3/data/"):  # the bundle keeps none of boto3's
            if data in path:
                opened.add(path.split(data)[1] if "botocore" in data else path)
sys.addaudithook(record)
import atexit, time
atexit.register(lambda: print("\n".join(sorted(opened)), file=sys.stderr))
time.sleep = lambda seconds: None
sys.path.insert(0, os.environ["UPDATER_BUILD"])
import updater_core
"""


@pytest.mark.tools
def test_bundle_keeps_the_botocore_data_that_an_update_opens(s3, native_build, tmp_path):
    """The Windows bundle keeps only bundle/botocore-data.txt of botocore's data: a full
    update (a download and its failing start of the bot here, which is past every storage call)
    must open nothing else, and a boto3 upgrade that opens more fails here."""
    s3.publish(b"#!/bin/sh\n")
    (tmp_path / "bin").mkdir()
    done = run([sys.executable, "-c", UPDATE_OPENING_DATA], cwd=tmp_path / "bin",
               env=clean_environment(http_proxy=s3.proxy, UPDATER_BUILD=str(native_build)))
    assert text("done") in done.lines, done.stderr
    opened = [line for line in done.stderr.splitlines() if line and " " not in line]
    listing = (ROOT / "bundle" / "botocore-data.txt").read_text().splitlines()
    assert opened == sorted(line for line in listing if not line.startswith("#"))


def configure(build, *defines):
    """cmake's configure step of the project in build, with a well-formed endpoint that a later
    -DUPDATER_ENDPOINT_URL in defines replaces."""
    return run(["cmake", "-S", ROOT, "-B", build, f"-DPython_EXECUTABLE={sys.executable}",
                "-DUPDATER_ENDPOINT_URL=http://storage.example.com", *defines], env=TOOLS)


@pytest.mark.tools
@pytest.mark.parametrize("option, value", [
    ("UPDATER_ENDPOINT_URL", "https://storage.example.com"),
    ("UPDATER_ENDPOINT_URL", "http://storage.example.com:9000"),
    ("UPDATER_ENDPOINT_URL", "http://storage.example.com/"),
    ("UPDATER_ENDPOINT_URL", "http://storage.example.com/path"),
    ("UPDATER_ENDPOINT_URL", "http://user@storage.example.com"),
    ("UPDATER_ACCESS_KEY_ID", 'quote"inside'),
    ("UPDATER_PATH_STYLE", "dos"),
    ("UPDATER_RELEASE_PUBLIC_KEY", "7ef48825cd2b29e2580d29bdeddc5f2e"),  # too short
    ("UPDATER_RELEASE_PUBLIC_KEY", "ff" * 32),  # not a point of the curve
    ("UPDATER_SPARE_PUBLIC_KEY", local_s3.test_spare_key().verify_key.encode().hex()),  # no release key
])
def test_malformed_build_options_fail_at_configure_time(tmp_path, option, value):
    done = configure(tmp_path, f"-D{option}={value}")
    assert done.returncode != 0
    assert f"{option}" in done.stderr and "is not valid" in done.stderr
    if option == "UPDATER_RELEASE_PUBLIC_KEY":  # a refused key, perhaps a secret, is not kept
        assert value not in (tmp_path / "CMakeCache.txt").read_text()


@pytest.mark.tools
@pytest.mark.parametrize("endpoint, folders, error", [
    pytest.param("http://storage.example.com:9000", ["--out", "wheels"],
                 "error: UPDATER_ENDPOINT_URL='http://storage.example.com:9000' is not valid: it must be "
                 "http:// followed by a host name only", id="an endpoint with a port"),
    # The caller's tools/ is not the repository's, which is no bundle either.
    pytest.param("http://storage.example.com", ["--bundle", "tools"],
                 "error: {caller}/tools is not empty and holds no earlier bundle",
                 id="a folder named from the caller's folder"),
])
def test_windows_build_refuses_before_installing_or_fetching_anything(tmp_path, closed_port, endpoint, folders, error):
    (tmp_path / "tools" / "kept").mkdir(parents=True)
    # Whatever it fetched would go to a port of 127.0.0.1 where nothing listens.
    done = run([ROOT / "tools" / "build-windows.sh", *folders], cwd=tmp_path, env=clean_environment(
        UPDATER_ENDPOINT_URL=endpoint, http_proxy=closed_port,
        https_proxy=closed_port, PIP_INDEX_URL=closed_port, PIP_RETRIES="0"))
    assert done.returncode == 2 and done.stderr.startswith(error.format(caller=tmp_path)), done.stderr
    assert done.stderr.count("\n") == 1, done.stderr


@pytest.fixture(scope="module")
def pretend_other_version(windows_build):
    """A Windows-style build whose version check takes 2.7 for its compile-time version, in one
    unit, beside the build it stands for (where the compiler's cache finds it again)."""
    build = windows_build.parent / f"pretend-{windows_build.name}"
    done = configure(build, "-DUPDATER_PATH_STYLE=windows", "-DUPDATER_PRETEND_COMPILED_FOR=2.7",
                     "-DCMAKE_UNITY_BUILD=ON",
                     f"-DUPDATER_SANITIZE={build_setting(windows_build, 'UPDATER_SANITIZE')}")
    assert done.returncode == 0, done.stderr
    run(["cmake", "--build", build, "--parallel", "2"], env=TOOLS, timeout=280, check=True)
    return build


def test_version_mismatch_warns_and_goes_on_or_fails_under_error_filters(pretend_other_version):
    expected = ("compile time Python version 2.7 of module 'updater_core' does not match "
                f"runtime version {sys.version_info[0]}.{sys.version_info[1]}")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        outcome = import_module(pretend_other_version, fake_world())
    assert isinstance(outcome.error, SystemExit)
    assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, expected)]

    world = World()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        outcome = import_module(pretend_other_version, world)
    assert type(outcome.error) is RuntimeWarning and str(outcome.error) == expected
    assert world.calls == []


EMBEDDING = r"""
#include "capi/ref.hpp"

#include <stdexcept>

// Initialises the interpreter, imports the module in it and finalises it, three times; and
// checks, in the first round, that a C++ exception of any kind reaches Python as an exception.
int main(int argc, char** argv) {
    for (int round = 0; round < 3; ++round) {
        Py_Initialize();
        if (round == 0) {
            try {
                throw std::runtime_error("out of range");
            } catch (...) {
                updater::py::error_from_current_exception();
            }
            PyErr_Print();
        }
        const int status = PyRun_SimpleString(argv[1]);
        if (Py_FinalizeEx() < 0 || status != 0) {
            return 1;
        }
    }
    return argc == 2 ? 0 : 2;
}
"""

EMBEDDED_IMPORT = r"""
import os
import fakes
# A sys.exit that returns: the exec step succeeds and keeps the module until finalisation.
fakes._recording_exit = lambda world: lambda *args: world.record("sys.exit", *args)
world = fakes.fake_world()
outcome = fakes.import_module(os.environ["UPDATER_BUILD"], world)
function = outcome.module.get_update
print(outcome.error, len(world.names("sys.exit")), function.__qualname__, id(type(function)), flush=True)
"""


def test_embedding_program_imports_in_three_interpreter_lifetimes(windows_build, tmp_path):
    """Interned names, the function type and the module are made anew after each finalisation,
    also when the exec step ended well and kept its module."""
    config = shutil.which(f"{sysconfig.get_config_var('BINDIR')}/python{sysconfig.get_python_version()}-config")
    if config is None or not shutil.which("g++"):
        pytest.skip("no python-config or g++")
    flags = run([config, "--includes", "--embed", "--ldflags"], env=TOOLS, check=True).stdout.split()
    program = tmp_path / "embed"
    sanitized = build_setting(windows_build, "UPDATER_SANITIZE") == "ON"
    sanitize = ["-fsanitize=address,undefined"] if sanitized else []
    run(["g++", "-std=c++20", *sanitize, f"-I{ROOT / 'updater_core'}", "-x", "c++", "-", "-o", program,
         *flags], env=TOOLS, input=EMBEDDING, check=True)

    def embedded(script):
        return run([program, script], env=clean_environment(
            PYTHONHOME=sys.base_prefix, PYTHONPATH=str(ROOT / "tests"), UPDATER_BUILD=str(windows_build)))

    # CPython 3.12's own _hashlib crashes when imported again after a finalisation.
    if embedded("import hashlib").returncode != 0:
        pytest.skip("this interpreter cannot import hashlib after being finalised")
    done = embedded(EMBEDDED_IMPORT)
    assert done.returncode == 0, done.stderr
    rounds = [line.split() for line in done.stdout.splitlines()]
    # Each round runs the whole sequence, not the finalised interpreter's module.
    assert [r[:3] for r in rounds] == [["None", "1", "get_update"]] * 3
    # A type of the interpreter's own each time, never the one of a finalised interpreter.
    assert len({r[3] for r in rounds}) == 3
    assert "SystemError: unexpected C++ exception: out of range" in done.stderr
