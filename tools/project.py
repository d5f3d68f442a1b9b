"""What the project's tools, tests and benchmarks share, each stated once: the bucket, the
executable's name, the names and sizes that follow from them and the endpoints a module build
accepts (cmake/project.json, which the build reads too), the project's version, the repository's
default storage keys, the settings a build was configured with, and how a child process ends with
the process that started it."""

from __future__ import annotations

import ctypes
import json
import re
import signal
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

_PROJECT = json.loads((ROOT / "cmake" / "project.json").read_text())
# The bucket the module reads, and the executable: its object there and its file in the bot
# folder.
BUCKET = _PROJECT["bucket"]
EXE_NAME = _PROJECT["executable"]
# The updater's files beside the executable, named after it: the download, the record of the
# installed release and the lock.
_STEM = EXE_NAME.rpartition(".")[0] or EXE_NAME
DOWNLOAD_NAME, RELEASE_RECORD_NAME, LOCK_NAME = (
    _STEM + _PROJECT["beside_the_executable"][file] for file in ("download", "release_record", "lock"))
# The objects that publish the executable's digest and its release statement, and the most bytes
# the module reads of either.
DIGEST_OBJECT = _PROJECT["digest_object"]
STATEMENT_OBJECT = _PROJECT["statement_object"]
LONGEST_OBJECT = _PROJECT["longest_object"]
# A patch to the current executable from an older one is the object named after the older one's
# SHA-256 (64 lower-case hexadecimal digits), so a bot finds its own without an index.
PATCH_PREFIX, PATCH_SUFFIX = _PROJECT["patch_object"]["prefix"], _PROJECT["patch_object"]["suffix"]


def patch_object(base_digest: str) -> str:
    """The object that holds the patch from the executable whose SHA-256 is `base_digest`."""
    return f"{PATCH_PREFIX}{base_digest}{PATCH_SUFFIX}"
# How far a release number may leap above the number a bot folder records for the same key (above
# 0 where it records none, or another key's), and the most digits a release number has.
LONGEST_RELEASE_LEAP = _PROJECT["longest_release_leap"]
RELEASE_NUMBER_DIGITS = _PROJECT["release_number_digits"]
# The Windows name of the locale whose messages are Russian.
RUSSIAN_LOCALE = _PROJECT["russian_locale"]
# What a release statement is signed for: this bucket's executable.
PURPOSE = f"{BUCKET}/{EXE_NAME}"
# The endpoints a module build accepts (CMakeLists.txt checks UPDATER_ENDPOINT_URL with the same
# expressions): a host name of dot-separated labels, and the module's endpoint, http:// and a host
# name, nothing else. Both match whole texts only under fullmatch.
HOST_NAME_PATTERN = _PROJECT["host_name_pattern"]
ENDPOINT_PATTERN = f"{_PROJECT['endpoint_scheme']}://{HOST_NAME_PATTERN}"


def version() -> str:
    """The project's version (pyproject.toml), as its wheels carry it."""
    import tomllib

    return tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]


def default_keys() -> tuple[str, str]:
    """The key pair a build takes when it is given none (cmake/defaults.json): public."""
    defaults = json.loads((ROOT / "cmake" / "defaults.json").read_text())
    return defaults["access_key_id"], defaults["secret_access_key"]


def build_setting(build, name: str) -> str:
    """The value of the CMake setting `name` that the build in folder `build` was configured
    with."""
    cache = (Path(build) / "CMakeCache.txt").read_text()
    return re.search(rf"^{re.escape(name)}:\w+=(.*)$", cache, re.M).group(1)


def die_with_parent():
    """Run in a child before exec: it is killed if the process that started it dies first, so
    that nothing a test, benchmark or tool starts outlives it."""
    if sys.platform.startswith("linux"):
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
