"""Repeated runs in one process leave the interpreter's allocated blocks flat.

The create and exec steps are driven directly through the C API (as the import system drives
them), because CPython 3.13's own import of a multi-phase extension keeps about one block per
re-import for any such module (its _testmultiphase does the same), which would hide ours.
"""

import ctypes
import gc
import importlib.util
import os
import sys

import pytest

from fakes import BOT, CURRENT, call_in, fake_world, import_module, module_definition

pytestmark = pytest.mark.skipif(
    os.environ.get("PYTHONMALLOC") == "malloc", reason="block counts need pymalloc")


def worlds():
    """One of each way an import ends: identical, updated, failing in a function, at line 12."""
    return [fake_world("current"), fake_world("update"),
            fake_world("missing", failures={"os.chdir": OSError("no")}), fake_world(locale=("only one",))]


def growth(operation, rounds):
    """The smallest growth of allocated blocks over three windows of `rounds` operations.

    Free lists and caches make single windows noisy by some dozens of blocks either way; a leak
    grows in every window, by at least one block per leaking operation.
    """
    for _ in range(30):
        operation()
    windows = []
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            operation()
        gc.collect()
        windows.append(sys.getallocatedblocks() - before)
    return min(windows)


@pytest.fixture(scope="module")
def steps(windows_build):
    """create(spec) and exec(module) of the module definition, as the C API offers them."""
    path, definition = module_definition(windows_build)
    spec = importlib.util.spec_from_file_location("updater_core", path)
    create = ctypes.pythonapi.PyModule_FromDefAndSpec2
    create.restype, create.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    execute = ctypes.pythonapi.PyModule_ExecDef
    execute.argtypes = [ctypes.py_object, ctypes.c_void_p]
    return (lambda: create(definition, spec, 1013),
            lambda module: execute(module, definition))


def test_create_and_exec_steps_leave_blocks_flat(steps):
    create, execute = steps

    def run_all_outcomes():
        for world in worlds():
            call_in(world, execute, create())
            sys.modules.pop("updater_core", None)

    # 400 runs a window: a leak of one block per run would show as 400.
    assert growth(run_all_outcomes, 100) < 200


def test_module_functions_leave_blocks_flat(windows_build):
    world = fake_world("update")
    module = import_module(windows_build, world).module

    def call_all():
        world.calls.clear()
        world.cwd, world.files = "D:\\bots\\bin", {BOT: CURRENT}
        for function, args in [
            (module.check_update_is_needed, ()), (module.get_update, ()),
            (module.get_hash_digest, (BOT,)), (module.s3_file_reader, ("missing",)),
            (module.get_update, (1,)), (module.s3_file_reader, ("a", "b")),
        ]:
            call_in(world, function, *args)

    # 1200 calls a window.
    assert growth(call_all, 200) < 200
