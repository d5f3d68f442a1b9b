"""Loads the built module for a benchmark and hands back its functions.

Importing the module runs the whole updater, so the import is stopped at its first message:
by then the module functions exist, and nothing has touched the network. The updater has locked
its bot folder by then, so the import runs in a temporary working directory, whose lock file
goes with it.
"""

import builtins
import os
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


class _Stop(Exception):
    pass


def load(build=None):
    build = Path(build or ROOT / "build" / "native")
    sys.path.insert(0, str(build))
    real_print = builtins.print

    def stop(*args, **kwargs):
        raise _Stop(sys.modules["updater_core"])

    builtins.print = stop
    here = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="bench-load-") as bots:
        os.chdir(bots)
        try:
            import updater_core  # noqa: F401
        except _Stop as stopped:
            return stopped.args[0]
        finally:
            os.chdir(here)
            builtins.print = real_print
            sys.path.remove(str(build))
            sys.modules.pop("updater_core", None)
    raise RuntimeError("the import ended without printing")
