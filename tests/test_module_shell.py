"""The module definition, the create and exec steps, configuration and the function type."""

import _imp
import builtins
import ctypes
import gc
import signal
import sys
import textwrap
import types

import pytest

import fakes
from fakes import call_in, entries, fake_world, import_module, module_definition
from harness import clean_environment, run
from messages import EN, RU, WINDOWS_LOCALE, text
from project import build_setting, default_keys
from statement_lines import ENTRIES, at


# The storage client's policy: seconds to connect and between two pieces of an answer, attempts
# in all.
CONNECT_SECONDS, READ_SECONDS, ATTEMPTS = 10, 20, 3


def get_update():
    """Python twins of get_update's nested functions: the interpreter's texts for wrong calls."""
    def transfer_progress(chunk):
        pass

    def replace_exe():
        pass

    return locals()


@pytest.fixture(scope="module")
def identical(windows_build):
    return import_module(windows_build, fake_world())


@pytest.fixture(scope="module")
def module(identical):
    return identical.module


class TestStartUp:
    def test_configuration_and_identical_outcome_call_by_call(self, identical, windows_build):
        assert type(identical.error) is SystemExit and identical.error.code is None
        calls = identical.world.calls
        assert calls[:4] == [
            ("locale.getlocale",),
            ("urllib3.disable_warnings", ()),
            ("boto3.session.Session", ()),
            ("session.client", (
                ("service_name", "s3"),
                *zip(("aws_access_key_id", "aws_secret_access_key"), default_keys()),
                ("endpoint_url", build_setting(windows_build, "UPDATER_ENDPOINT_URL")),
                ("verify", False),
                # A silent store is given up on in about a minute, not several.
                ("config", ("Config", (("connect_timeout", CONNECT_SECONDS),
                                       ("read_timeout", READ_SECONDS),
                                       ("retries", {"total_max_attempts": ATTEMPTS,
                                                    "mode": "standard"})))),
            )),
        ]
        assert calls[-2:] == [("time.sleep", 60), ("sys.exit",)]

    def test_the_module_and_its_functions_describe_themselves(self, module):
        names = [n for n in vars(module) if not n.startswith("__") or n == "__builtins__"]
        assert names == [
            "__builtins__", "boto3", "os", "sys", "time", "progressbar", "shutil", "urllib3",
            "hashlib", "locale", "LOCAL_EXE_NAME", "TEMP_EXE_NAME", "lang", "_", "RU", "session",
            "s3unsafe", "s3_file_reader", "get_hash_digest", "get_update", "check_update_is_needed",
        ]
        assert module.__builtins__ is builtins and module.__doc__ is None
        assert (module.LOCAL_EXE_NAME, module.TEMP_EXE_NAME) == ("kelvo_bot.exe", "kelvo_bot.temp")
        # The spec's attributes, as the create step copies them.
        assert (module.__name__, module.__file__, module.__loader__, module.__package__) == (
            "updater_core", module.__spec__.origin, module.__spec__.loader, "")
        assert not hasattr(module, "__path__")
        for name in ("s3_file_reader", "get_hash_digest", "get_update", "check_update_is_needed"):
            function = getattr(module, name)
            assert (function.__name__, function.__qualname__, function.__module__, function.__doc__) == (
                name, name, "updater_core", None)
            assert callable(function) and name in repr(function)
        with pytest.raises(TypeError):
            type(module.get_update)()

    @pytest.mark.parametrize("event, said", [
        pytest.param(dict(caught_exception=TimeoutError(), attempts=1), True, id="failed, more follow"),
        pytest.param(dict(caught_exception=TimeoutError(), attempts=ATTEMPTS), False,
                     id="failed, the last"),
        pytest.param(dict(caught_exception=None, response=({}, {}), attempts=1), False, id="answered"),
    ])
    def test_a_failed_attempt_of_a_request_is_said_while_more_follow(self, identical, event, said):
        assert identical.world.names("events.register") == [
            ("events.register", "needs-retry.s3"), ("events.register", "before-send.s3")]
        handler = identical.world.handlers["needs-retry.s3"]
        outcome, result = call_in(identical.world, handler, **event, request_dict={}, operation=None)
        assert result is None and outcome.error is None
        assert outcome.stdout == (text("still trying") + "\n") * said

    def test_tracebacks_name_the_statements_at_their_lines(self):
        # Written out here, not read from the sources' table: a table that moved a line is wrong.
        init = "init updater_core"
        assert ENTRIES == {
            "import_boto3": (init, 1), "import_os_sys_time": (init, 2), "import_progressbar": (init, 3),
            "import_shutil": (init, 4), "import_urllib3": (init, 5), "import_hashlib": (init, 6),
            "import_locale": (init, 7), "local_exe_name": (init, 9), "temp_exe_name": (init, 10),
            "getlocale": (init, 12), "is_russian": (init, 13), "russian": (init, 14), "english": (init, 16),
            "disable_warnings": (init, 18), "session": (init, 19), "client": (init, 20),
            "s3_file_reader": ("updater_core.s3_file_reader", 28),
            "get_hash_digest": ("updater_core.get_hash_digest", 33),
            "get_update": ("updater_core.get_update", 45),
            "transfer_progress": ("updater_core.get_update.transfer_progress", 63),
            "replace_exe": ("updater_core.get_update.replace_exe", 85),
            "check_update_is_needed": ("updater_core.check_update_is_needed", 114),
            "check": (init, 165), "update": (init, 166), "wait": (init, 168), "exit": (init, 170)}

    def test_importing_again_runs_everything_again(self, windows_build):
        world = fake_world()
        first = import_module(windows_build, world)
        second = import_module(windows_build, world)
        assert isinstance(second.error, SystemExit)
        assert second.module is not first.module
        assert second.module.get_update is not first.module.get_update
        assert world.names("time.sleep") == [("time.sleep", 60)] * 2

    def test_a_function_missing_at_the_moment_of_use_raises_name_error(self, windows_build):
        world = fake_world("missing")
        world.hooks["os.getcwd"] = lambda: vars(world.module).pop("get_update", None)
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is NameError
        assert str(outcome.error) == "name 'get_update' is not defined"
        assert outcome.error.name == "get_update"  # what the traceback's "Did you mean" reads
        assert entries(outcome.error) == [at("update")]
        assert not world.names("time.sleep", "sys.exit")

    def test_imports_go_through_the_builtins_import_as_statements_do(self, windows_build, monkeypatch):
        real_import, seen = builtins.__import__, []

        def recording(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == "updater_core":
                seen.append((name, locals is globals if locals is not None else None, fromlist, level))
            return real_import(name, globals, locals, fromlist, level)

        monkeypatch.setattr(builtins, "__import__", recording)
        outcome = import_module(windows_build, fake_world("missing"))
        monkeypatch.undo()
        assert isinstance(outcome.error, SystemExit), outcome.error
        module_level = [(name, True, None, 0) for name in (
            "boto3", "os", "sys", "time", "progressbar", "shutil", "urllib3", "hashlib", "locale",
            "botocore.config")]
        # In get_update, a function: no locals are passed, as for any import in a function.
        assert seen == module_level + [("subprocess", None, None, 0)]

    def test_missing_library_fails_before_anything_prints(self, windows_build):
        world = fake_world()
        libraries = fakes._fake_libraries(world) | {"progressbar": None}
        outcome = import_module(windows_build, world, libraries=libraries)
        assert type(outcome.error) is ModuleNotFoundError
        assert entries(outcome.error) == [at("import_progressbar")]
        assert outcome.stdout == "" and world.calls == []


class TestLocale:
    @pytest.mark.parametrize("pair, russian", [
        (WINDOWS_LOCALE[RU], True),
        ([WINDOWS_LOCALE[RU][0], None], True),
        (("ru_RU", "UTF-8"), False),
        (("russian_russia", "1251"), False),
        ((None, None), False),
        (WINDOWS_LOCALE[EN], False),
    ])
    def test_language_follows_the_windows_russian_locale_name(self, windows_build, pair, russian):
        outcome = import_module(windows_build, fake_world(locale=pair))
        module = outcome.module
        assert module.RU is russian
        assert (module.lang, module._) == tuple(pair)
        assert outcome.stdout.splitlines()[0] == text("check", RU if russian else EN)

    @pytest.mark.parametrize("make", [
        lambda: WINDOWS_LOCALE[RU][:1], lambda: ("a", "b", "c"), lambda: ["a", "b", "c"],
        lambda: iter(["a", "b", "c"]), lambda: iter(["a"]), lambda: {"a": 1, "b": 2, "c": 3},
        lambda: "abc", lambda: None, lambda: 3,
    ], ids=["tuple of 1", "tuple of 3", "list of 3", "iterator of 3", "iterator of 1", "dict of 3",
            "str of 3", "None", "int"])
    def test_a_pair_of_any_other_length_fails_at_line_12_as_unpacking_does(self, windows_build, make):
        try:
            lang, _ = make()
        except (TypeError, ValueError) as error:
            expected = (type(error), str(error))  # the running interpreter's own text
        world = fake_world(locale=make())
        outcome = import_module(windows_build, world)
        assert (type(outcome.error), str(outcome.error)) == expected
        assert entries(outcome.error) == [at("getlocale")]
        assert world.calls == [("locale.getlocale",)]


class TestFunctionObjects:
    @pytest.mark.parametrize("call, message", [
        (lambda m: m.get_update(1), "get_update() takes no arguments (1 given)"),
        (lambda m: m.check_update_is_needed(1, 2), "check_update_is_needed() takes no arguments (2 given)"),
        (lambda m: m.get_update(1, x=1), "get_update() takes no keyword arguments"),
        (lambda m: m.s3_file_reader(), "s3_file_reader() takes exactly 1 positional argument (0 given)"),
        (lambda m: m.get_hash_digest("a", "b"), "get_hash_digest() takes exactly 1 positional argument (2 given)"),
        (lambda m: m.get_hash_digest(path="a"), "get_hash_digest() takes exactly 1 positional argument (0 given)"),
        (lambda m: m.s3_file_reader("a", file_path="b"), "s3_file_reader() got multiple values for keyword argument 'file_path'"),
        (lambda m: m.s3_file_reader("a", key="b"), "s3_file_reader() got an unexpected keyword argument 'key'"),
        (lambda m: m.get_hash_digest(file_path="a", mode="b"), "get_hash_digest() got an unexpected keyword argument 'mode'"),
    ])
    def test_wrong_calls_raise_type_error_without_running(self, module, call, message):
        with pytest.raises(TypeError) as raised:
            call(module)
        assert str(raised.value) == message
        assert entries(raised.value) == []

    @pytest.fixture(scope="class")
    @classmethod
    def nested(cls, windows_build):
        """get_update's nested functions, as get_update holds them while it replaces the file."""
        found = {}

        def collect(*args):
            kind = type(world.module.get_update)
            found.update((f.__name__, f) for f in gc.get_objects() if type(f) is kind)

        world = fake_world("update")
        world.hooks["print"] = collect
        assert isinstance(import_module(windows_build, world).error, SystemExit)
        return found

    @pytest.mark.parametrize("name, args, kwargs", [
        ("transfer_progress", (), {}), ("transfer_progress", (1, 2), {}),
        ("transfer_progress", (1,), {"x": 1}), ("transfer_progress", (1,), {"chunk": 1}),
        ("transfer_progress", (1, 2), {"x": 1}), ("transfer_progress", (), {"x": 1, "chunk": 1}),
        ("replace_exe", (1,), {}), ("replace_exe", (1, 2), {}), ("replace_exe", (), {"x": 1}),
    ], ids=["none", "two", "unexpected keyword", "twice", "two and a keyword",
            "keyword first", "replace one", "replace two", "replace keyword"])
    def test_nested_functions_answer_wrong_calls_as_python_functions(self, nested, name, args,
                                                                     kwargs):
        with pytest.raises(TypeError) as expected:  # the running interpreter's own text
            get_update()[name](*args, **kwargs)
        with pytest.raises(TypeError) as raised:
            nested[name](*args, **kwargs)
        assert str(raised.value) == str(expected.value)
        assert entries(raised.value) == []

    def test_endless_recursion_through_python_ends_in_recursion_error(self, module, monkeypatch):
        monkeypatch.setattr(module, "os", type("os", (), {"getcwd": module.check_update_is_needed}))
        outcome, _ = call_in(fake_world(), module.check_update_is_needed)
        assert type(outcome.error) is RecursionError

    def test_names_survive_a_garbage_collector_clear(self, windows_build):
        module = import_module(windows_build, fake_world()).module
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        function = type(module.get_update)
        clear = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(function, 51))  # tp_clear
        reader = module.s3_file_reader
        assert clear(reader) == 0
        assert (reader.__name__, reader.__qualname__, reader.__module__) == (
            "s3_file_reader", "s3_file_reader", "updater_core")
        assert "s3_file_reader" in repr(reader)
        with pytest.raises(SystemError, match=r"s3_file_reader\(\) was cleared"):
            reader("exe_hash")
        with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
            reader()


class TestInitialisationGuards:
    def test_create_and_exec_steps_within_the_import_run_nothing_again(self, windows_build):
        _, definition = module_definition(windows_build)
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
        seen = {}

        def getlocale():
            module = sys.modules["updater_core"]
            seen["exec"] = _imp.exec_dynamic(module)
            seen["create"] = _imp.create_dynamic(module.__spec__) is module
            try:  # another module of the same definition while this one is held
                exec_def(types.ModuleType("other"), definition)
            except RuntimeError as error:
                seen["other"] = str(error)

        world = fake_world(hooks={"locale.getlocale": getlocale})
        outcome = import_module(windows_build, world)
        assert isinstance(outcome.error, SystemExit)
        assert seen == {"exec": 0, "create": True, "other": (
            "Module 'updater_core' has already been imported. Re-initialisation is not supported.")}
        assert len(world.names("session.client")) == 1

    def test_second_interpreter_is_refused(self, windows_build):
        script = textwrap.dedent(f"""
            import sys, _testcapi
            sys.path.insert(0, {str(windows_build)!r})
            sys.modules["boto3"] = None
            try:
                import updater_core
            except ModuleNotFoundError:
                pass
            code = '''
            import sys
            sys.path.insert(0, {str(windows_build)!r})
            try:
                import updater_core
            except ImportError as error:
                print(type(error).__name__, error)
            '''
            _testcapi.run_in_subinterp(code)
        """)
        done = run([sys.executable, "-c", script], env=clean_environment(), timeout=60)
        assert done.stdout.strip() == (
            "ImportError Interpreter change detected - this module can only be loaded into one "
            "interpreter per process."), done.stderr



class TestThreads:
    @pytest.mark.parametrize("preset, busy_in, before", [
        ("current", "locale.getlocale", ""), ("update", "bar.update", ""),
        # 3.11 then answers PyGILState_Check with yes in every thread.
        ("update", "bar.update", "import _testcapi; _testcapi.run_in_subinterp('pass')"),
    ], ids=["starting", "downloading", "downloading after a subinterpreter"])
    def test_a_daemon_thread_running_the_updater_ends_quietly_with_the_interpreter(
            self, windows_build, preset, busy_in, before):
        # At exit the interpreter ends a daemon thread that wants its lock back with the forced
        # unwinding of pthread_exit, through the updater's C++ frames.
        script = textwrap.dedent(f"""
            {before}
            import sys, threading
            sys.path[:0] = [{str(fakes.__file__.rpartition("/")[0])!r}]
            import fakes
            busy = threading.Event()

            def hold_on(*args):
                busy.set()
                while True:  # Python code that lets go of the interpreter's lock and takes it back
                    threading.Event().wait(0.001)

            world = fakes.fake_world({preset!r}, hooks={{{busy_in!r}: hold_on}})
            threading.Thread(target=fakes.import_module, args=({str(windows_build)!r}, world), daemon=True).start()
            busy.wait()
        """)
        env = clean_environment()
        if "ASAN_OPTIONS" in env:
            # The sanitizer's own handling of the thread's alternate signal stack, as pthread_exit
            # unwinds the thread, can be reported as a stack overflow of its own: no signal is
            # awaited here, so the thread gets no such stack.
            env["ASAN_OPTIONS"] += ":use_sigaltstack=0"
        for _ in range(3):
            done = run([sys.executable, "-c", script], env=env, timeout=60)
            assert (done.returncode, done.stderr) == (0, "")


# Store steps that run side by side in two threads, the first to begin ending first: each keeps
# its own watch; a retry line said meanwhile asks after every step still watched (a watch left
# behind by a finished step is freed memory: the sanitizer build reports it). And a child forked
# in the middle of a step: it has no watch thread, and must not wait for one.
TWO_THREADS = """
first_in, second_in, first_out = threading.Event(), threading.Event(), threading.Event()
def get_object(*args):
    if threading.current_thread().name == "first":
        first_in.set(); second_in.wait(10)
    elif threading.current_thread().name == "second":
        second_in.set(); first_out.wait(10)
        world.handlers["needs-retry.s3"](caught_exception=OSError(), attempts=1)
def first():
    reader("exe_hash"); first_out.set()
def steps():
    world.hooks["s3.get_object"] = get_object
    threads = [threading.Thread(target=first, name="first"),
               threading.Thread(target=reader, args=("exe_hash",), name="second")]
    threads[0].start(); first_in.wait(10); threads[1].start()
    for thread in threads:
        thread.join(30)
    print(sum(line == still_trying for line in world.printed))
"""
FORKED = """
warnings.simplefilter("ignore", DeprecationWarning)  # a fork with the watch's thread running
children = []
def steps():
    world.hooks["s3.get_object"] = lambda *args: children.append(os.fork())
    reader("exe_hash")
    if children[0] == 0:
        os._exit(7)
    for _ in range(200):
        pid, status = os.waitpid(children[0], os.WNOHANG)
        if pid:
            return print(os.waitstatus_to_exitcode(status))
        threading.Event().wait(0.05)  # time.sleep is the fake world's
    os.kill(children[0], 9)
    print("the child hung")
"""


class TestStoreSteps:
    @pytest.mark.parametrize("steps, shown", [(TWO_THREADS, "1"), (FORKED, "7")],
                             ids=["two threads end out of order", "forked during a step"])
    def test_each_store_step_keeps_its_own_watch(self, windows_build, steps, shown):
        script = textwrap.dedent(f"""
            import os, sys, threading, warnings
            sys.path[:0] = [{str(fakes.__file__.rpartition("/")[0])!r}]
            import fakes
            world = fakes.fake_world()
            fakes.import_module({str(windows_build)!r}, world)
            reader, still_trying = world.module.s3_file_reader, {text("still trying")!r}
        """) + steps + "print(fakes.call_in(world, steps)[0].stdout)\n"
        done = run([sys.executable, "-c", script], env=clean_environment(), timeout=60)
        assert (done.returncode, done.stderr, done.stdout.split()[-1:]) == (0, "", [shown])

    # The host's SIGINT handler decides what a Ctrl-C during the download does; it is the host's
    # again after the import. A retry line said meanwhile starts below the progress bar.
    @pytest.mark.parametrize("raises, during, outcome", [
        pytest.param(False, "Ctrl-C", "installed", id="a host that ignores Ctrl-C loses nothing"),
        pytest.param(True, "Ctrl-C", KeyboardInterrupt, id="a host that stops stops"),
        pytest.param(True, "Ctrl-C, the cut taken as the end", "interrupted",
                     id="a download cut by Ctrl-C is never taken as whole"),
        pytest.param(False, "retries", "installed", id="a retry line below the bar, once per retry"),
    ])
    def test_a_wait_on_the_store_meets_the_host(self, windows_build, raises, during, outcome):
        heard = []

        def host(number, frame):
            heard.append(number)
            if raises:
                raise KeyboardInterrupt

        def meanwhile(*args):
            if during == "retries":  # two pieces fail together, then one again
                for attempts in (1, 1, 2):
                    world.handlers["needs-retry.s3"](caught_exception=OSError(), attempts=attempts)
                return
            try:
                signal.raise_signal(signal.SIGINT)
            except KeyboardInterrupt:
                if during == "Ctrl-C":
                    raise

        world = fake_world("update", download_chunk=len(fakes.NEW))
        world.hooks["bar.update"] = meanwhile
        previous = signal.signal(signal.SIGINT, host)
        try:
            ended = import_module(windows_build, world)
            assert signal.getsignal(signal.SIGINT) is host
        finally:
            signal.signal(signal.SIGINT, previous)
        assert heard == ([] if during == "retries" else [signal.SIGINT])
        if outcome == "installed":
            assert isinstance(ended.error, SystemExit) and world.printed[-1] == text("started"), ended.error
        elif outcome == "interrupted":
            assert (ended.error.refusal, str(ended.error)) == ("interrupted", text("interrupted"))
        else:
            assert type(ended.error) is outcome
        assert [line for line in world.printed if text("still trying") in line] == (
            ["\n" + text("still trying"), text("still trying")] if during == "retries" else [])
