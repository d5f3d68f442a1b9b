"""What the project's tools, tests and benchmarks share, each stated once: the bucket and the
executable's object in it, the project's version, the repository's default storage keys, the
settings a build was configured with, and how a child process ends with the process that
started it."""

from __future__ import annotations

import ctypes
import json
import re
import signal
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The bucket the module reads, and the executable's object in it, which is also the file the
# module replaces (constants of the module, named again here for the tools).
BUCKET = "kelvo-bot"
EXE_NAME = "kelvo_bot.exe"
# What a release statement is signed for: this bucket's executable.
PURPOSE = f"{BUCKET}/{EXE_NAME}"


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
