"""Downloading with progress, replacing the executable and starting the bot, call by call."""

import copy
import gc
import sys
import threading
import weakref

import pytest

from fakes import BOT, CURRENT, NEW, OLD, FakeFile, call_in, digest, entries, fake_world, import_module, patched
from messages import EN, LANGUAGES, RU, WINDOWS_LOCALE, text
from project import BUCKET, EXE_NAME
from statement_lines import at

def imported(build):
    """The module imported against a world that it updated, and that world as it was before."""
    world = fake_world("update")
    module = import_module(build, world).module
    world.files, world.cwd, world.calls = {BOT: OLD}, "D:\\bots\\bin", []
    return world, module


class TestWholeUpdate:
    def test_from_the_bin_subdirectory_call_by_call(self, windows_build):
        world = fake_world("update")
        outcome = import_module(windows_build, world)
        assert isinstance(outcome.error, SystemExit)
        # The order of the calls is the contract; how often the working directory is asked
        # for is not.
        calls = [call for call in world.calls if call != ("os.getcwd",)]
        start = calls.index(("s3.head_object", (("Bucket", BUCKET), ("Key", EXE_NAME))))
        # A folder in the executable's place is refused before anything is downloaded.
        assert calls[start - 1] == ("os.path.isdir", BOT)
        assert calls[start:] == [
            ("s3.head_object", (("Bucket", BUCKET), ("Key", EXE_NAME))),
            ("print", text("download", size="0.00")),
            ("progressbar.Percentage", ()),
            ("progressbar.Bar", (("marker", "#"), ("left", "["), ("right", "]"))),
            ("progressbar.ETA", ()),
            ("progressbar.FileTransferSpeed", ()),
            ("progressbar.ProgressBar", (
                ("widgets", [" ", "Percentage", " ", "Bar", " ", "ETA", " ", "FileTransferSpeed"]),
                ("maxval", len(NEW)))),
            ("bar.start",),
            # Whatever stands at the download's name is removed, not followed, and the file is
            # created anew; it stays open until it is in place.
            ("os.path.lexists", "kelvo_bot.temp"),
            # The drive must have room for it before a byte is written.
            ("shutil.disk_usage", "D:\\bots\\bin"),
            ("open", "kelvo_bot.temp", "x+b", 0),
            ("s3.download_fileobj", BUCKET, EXE_NAME, "D:\\bots\\bin\\kelvo_bot.temp", ("Callback",)),
            *[("bar.update", min(n, len(NEW))) for n in range(4, len(NEW) + 4, 4)],
            ("bar.finish",),
            ("print", text("done")),
            # The open download goes up beside the executable, and is checked there, through
            # the same open file, against the published digest, read again.
            ("os.path.lexists", "D:\\bots\\kelvo_bot.temp"),
            ("os.rename", "D:\\bots\\bin\\kelvo_bot.temp", "D:\\bots\\kelvo_bot.temp"),
            ("s3.get_object", (("Bucket", BUCKET), ("Key", "exe_hash"))),
            ("Body.read", 4097),
            ("print", text("replacing")),
            ("os.path.isfile", BOT),
            ("print", text("deleting")),
            ("print", text("moving", exe=BOT)),
            # Its bytes reach the device, through the same open file, before anything is renamed.
            ("file.fileno", "D:\\bots\\bin\\kelvo_bot.temp"),
            ("os.fsync", world.inodes[BOT]),
            # The old one is set aside, not deleted; the new one, still the file that was
            # checked, is renamed into its place.
            ("os.path.lexists", "D:\\bots\\kelvo_bot.exe.old"),
            ("os.replace", BOT, "D:\\bots\\kelvo_bot.exe.old"),
            ("file.fileno", "D:\\bots\\bin\\kelvo_bot.temp"),
            ("os.fstat", world.inodes[BOT]),
            ("os.lstat", "D:\\bots\\kelvo_bot.temp"),
            ("os.rename", "D:\\bots\\kelvo_bot.temp", BOT),
            ("file.close", "D:\\bots\\bin\\kelvo_bot.temp"),
            ("print", text("started")),
            ("os.chdir", "D:\\bots"),
            # The path goes as a one-item list, so that a space in it cannot split it.
            ("subprocess.Popen", [BOT], ()),
            # The old copy stays until the new executable has started.
            ("os.unlink", "D:\\bots\\kelvo_bot.exe.old"),
            ("time.sleep", 3),
            ("sys.exit",),
        ]
        assert world.files == {BOT: NEW}
        assert world.cwd == "D:\\bots"

    @pytest.mark.parametrize("size, shown, language", [
        (12 * 1024 * 1024, "12.00", RU), (int(1.5 * 1024 * 1024), "1.50", EN),
        (10 * 1024 * 1024 - 1, "10.00", EN), (500, "0.00", RU), (3 * 1024 ** 3, "3072.00", EN),
    ])
    def test_messages_and_size_in_mib(self, windows_build, size, shown, language):
        world = fake_world("update", locale=WINDOWS_LOCALE[language], content_length=size)
        import_module(windows_build, world)
        assert world.printed[2:] == [
            text("download", language, size=shown), text("done", language),
            *(text(key, language, exe=BOT) for key in ("replacing", "deleting", "moving", "started"))]
        assert ("maxval", size) in world.names("progressbar.ProgressBar")[0][1]

    @pytest.mark.parametrize("cwd, had_exe, bot_folder", [
        ("D:\\bots", True, "D:\\bots"), ("D:\\bots", False, "D:\\bots"),
        ("D:\\bots\\BIN", False, "D:\\bots\\BIN"), ("C:\\bin", False, "C:"),
        ("D:\\bin\\bin", False, "D:\\bin"),
    ])
    def test_replacement_and_launch_by_working_directory(self, windows_build, cwd, had_exe, bot_folder):
        exe = bot_folder + "\\kelvo_bot.exe"
        world = fake_world("update" if had_exe else "missing", cwd=cwd)
        import_module(windows_build, world)
        # Only from a bin subdirectory does the download move up: the bot folder itself renames
        # the bare names silently.
        said = [text("replacing"), *[text("moving", exe=exe)] * (bot_folder != cwd), text("started")]
        assert world.printed[-len(said):] == said
        assert world.files == {exe: NEW}
        assert world.names("subprocess.Popen") == [("subprocess.Popen", [exe], ())]
        assert world.names("os.chdir") == ([("os.chdir", bot_folder)] if bot_folder != cwd else [])

    def test_posix_build_marks_the_executable_before_starting_it(self, native_build):
        world = fake_world("missing", posix=True)
        import_module(native_build, world)
        # Through the open file's descriptor, so no name is followed, before its digest is
        # checked and before it takes the executable's name: a kill in between never leaves a
        # bot that cannot start.
        fd = world.inodes["/drive/bots/kelvo_bot.exe"]
        assert world.names("os.stat", "os.chmod", "s3.get_object", "os.rename", "file.close",
                           "subprocess.Popen") == [
            ("os.rename", "/drive/bots/bin/kelvo_bot.temp", "/drive/bots/kelvo_bot.temp"),
            # No old executable to take the permissions of: its own, less others' write.
            ("os.stat", "/drive/bots/kelvo_bot.exe"),
            ("os.stat", fd),
            ("os.chmod", fd, 0o750),
            ("s3.get_object", (("Bucket", BUCKET), ("Key", "exe_hash"))),
            ("os.rename", "/drive/bots/kelvo_bot.temp", "/drive/bots/kelvo_bot.exe"),
            ("file.close", "/drive/bots/bin/kelvo_bot.temp"),
            ("subprocess.Popen", ["/drive/bots/kelvo_bot.exe"], ()),
        ]


class TestFailures:
    def test_download_failing_half_way_leaves_nothing_and_keeps_the_old_executable(self, windows_build):
        world = fake_world("update", fail_download_after=200)
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is ConnectionError
        assert entries(outcome.error) == [at("update"), at("get_update")]
        # What was written goes, once the file is closed.
        assert world.names("file.close", "os.unlink")[-2:] == [
            ("file.close", "D:\\bots\\bin\\kelvo_bot.temp"), ("os.unlink", "kelvo_bot.temp")]
        assert world.files == {BOT: OLD}
        assert world.printed[-1].startswith("Downloading file: ")
        assert not world.names("bar.finish", "time.sleep", "sys.exit")

    def test_an_old_copy_that_cannot_go_once_the_bot_started_stays_for_the_next_run(self, windows_build):
        # Another program holds it: the new bot runs, and the next run removes the stale copy.
        world = fake_world("update", failures={"os.unlink": PermissionError(13, "Access is denied")})
        outcome = import_module(windows_build, world)
        assert isinstance(outcome.error, SystemExit)
        assert world.files == {BOT: NEW, BOT + ".old": OLD}
        assert world.names("subprocess.Popen", "os.unlink", "time.sleep") == [
            ("subprocess.Popen", [BOT], ()), ("os.unlink", BOT + ".old"), ("time.sleep", 3)]

    def test_a_new_executable_that_cannot_start_is_refused_and_the_old_one_put_back(self, windows_build):
        not_a_program = OSError(8, "Exec format error")
        world = fake_world("update", failures={"subprocess.Popen": not_a_program})
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is RuntimeError and outcome.error.refusal == "not_started"
        assert str(outcome.error) == text("not started") and outcome.error.__context__ is not_a_program
        assert world.names("subprocess.Popen", "os.replace", "os.unlink", "time.sleep")[-2:] == [
            ("subprocess.Popen", [BOT], ()), ("os.replace", BOT + ".old", BOT)]
        assert world.files == {BOT: OLD}

    def test_a_failed_put_back_keeps_the_first_failure_in_its_chain(self, windows_build):
        # As an except block would: the last error carries the one it was handling.
        not_started, back = OSError(8, "Exec format error"), OSError(5, "back")
        world = fake_world("update", failures={"subprocess.Popen": not_started})
        # The put-back after the failed start fails.
        world.hooks["subprocess.Popen"] = lambda *a: world.failures.update({"os.replace": back})
        outcome = import_module(windows_build, world)
        assert outcome.error is back and back.__context__ is not_started

    @pytest.mark.parametrize("refusals, installed", [(2, True), (6, False)])
    def test_a_refused_move_is_retried_for_a_few_seconds(self, windows_build, refusals, installed):
        left = iter([PermissionError(32, "being used by another process")] * refusals)

        def refuse(source, target):
            if target == BOT and (error := next(left, None)) is not None:
                raise error

        world = fake_world("update", hooks={"os.rename": refuse})
        outcome = import_module(windows_build, world)
        assert world.names("time.sleep")[:min(refusals, 5)] == [("time.sleep", 0.5)] * min(refusals, 5)
        into_place = [c for c in world.names("os.rename") if c[2] == BOT]
        assert len(into_place) == min(refusals + 1, 6)
        if installed:
            assert isinstance(outcome.error, SystemExit)
            assert world.files == {BOT: NEW}
        else:
            # Still refused: the old executable is back and the new one gone.
            assert type(outcome.error) is PermissionError
            assert world.files == {BOT: OLD}

    @pytest.mark.parametrize("published, language", [(b"0" * 64, EN), (b"", RU)])
    def test_a_download_unlike_the_published_digest_is_removed(self, windows_build, published, language):
        world = fake_world("update", locale=WINDOWS_LOCALE[language])
        # The check sees one digest; the download is compared with the one read again after it.
        world.objects["exe_hash"] = b"stale"
        world.hooks["s3.head_object"] = lambda *a: world.objects.__setitem__("exe_hash", published)
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is RuntimeError and str(outcome.error) == text("mismatch", language)
        assert entries(outcome.error) == [at("update"), at("get_update")]
        assert world.files == {BOT: OLD}

    def test_an_exit_that_swallows_the_download_failure_installs_and_starts_nothing(self, windows_build, monkeypatch):
        # As in Python, the code after a `with` whose __exit__ swallowed the body's error finds
        # unbound the name the body never bound.
        monkeypatch.setattr(FakeFile, "__exit__", lambda self, *error: self.close() or True)
        world = fake_world("update", fail_download_after=200)
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is UnboundLocalError and "'replace_exe'" in str(outcome.error)
        assert world.files[BOT] == OLD and not world.names("subprocess.Popen")

    @pytest.mark.parametrize("generator_handles, caller_handles", [
        (None, "another"), ("its own", "another"), ("its own", "the same")],
        ids=["generator handling nothing", "caller handling another", "caller handling the same"])
    def test_exit_and_cleanups_see_the_exception_being_handled_as_python_shows_it(
            self, windows_build, monkeypatch, generator_handles, caller_handles):
        seen = []

        def exit(self, *error):
            seen.append(sys.exc_info()[1])
            self.close()
            try:
                raise ValueError("inside __exit__")
            except ValueError:
                raise OSError("from __exit__")

        world, module = imported(windows_build)
        world.fail_download_after = 200
        monkeypatch.setattr(FakeFile, "__exit__", exit)
        own = LookupError("the generator's own") if generator_handles else None

        def through_get_update():
            try:
                module.get_update()
            except OSError as error:
                yield error
            yield sys.exc_info()[1]

        def handling_nothing():
            yield None
            yield from through_get_update()

        def handling_its_own():
            try:
                raise own
            except LookupError:
                yield own
                try:
                    module.get_update()
                except OSError as error:
                    yield error
                yield sys.exc_info()[1]
                raise

        with patched(world):
            steps = handling_its_own() if own else handling_nothing()
            first = next(steps)
            try:
                raise first if caller_handles == "the same" else KeyError("the caller's")
            except LookupError:
                error = next(steps)
            # Resumed later, outside the caller's except block, the generator handles what it
            # handled before (nothing once its except block is over), and a bare `raise` says so.
            assert next(steps) is own
            with pytest.raises(LookupError if own else StopIteration) as raised:
                next(steps)
            assert raised.value is own or not own
        assert type(seen[0]) is ConnectionError
        inner = error.__context__
        assert str(inner) == "inside __exit__" and inner.__context__ is seen[0]

    @pytest.mark.parametrize("when, name, last_calls", [
        (None, "LOCAL_EXE_NAME", [("os.getcwd",)]),
        ("done", "TEMP_EXE_NAME", [("print", "Download done."), ("os.getcwd",), ("os.getcwd",)]),
        ("replacing", "LOCAL_EXE_NAME", [("print", "Replacing local file kelvo_bot.exe with downloaded..."),
                                         ("os.getcwd",), ("os.getcwd",)]),
        ("started", "LOCAL_EXE_NAME", [("os.chdir", "D:\\bots"), ("os.getcwd",)]),
    ])
    def test_a_name_is_looked_up_where_python_evaluates_it(self, windows_build, when, name, last_calls):
        # In `f(g(), NAME)` Python calls g before it looks NAME up, whatever a compiler prefers.
        world, module = imported(windows_build)
        if when is None:
            del vars(module)[name]
        else:
            world.hooks["print"] = lambda line: line == text(when) and vars(module).pop(name, None)
        outcome, _ = call_in(world, module.get_update)
        assert type(outcome.error) is NameError and f"'{name}'" in str(outcome.error)
        calls = world.calls[: max(i for i, c in enumerate(world.calls) if c in last_calls) + 1]
        assert calls[-len(last_calls):] == last_calls

    @pytest.mark.parametrize("language", LANGUAGES)
    def test_a_folder_named_like_the_executable_is_refused_before_the_download(self, windows_build, language):
        world = fake_world("missing", cwd="D:\\bots", dirs={BOT}, locale=WINDOWS_LOCALE[language])
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is IsADirectoryError and str(outcome.error) == text("folder", language, exe=BOT)
        assert not world.names("s3.head_object", "open", "os.unlink", "os.rename")


class TestTransferProgress:
    @pytest.fixture
    def callback(self, windows_build):
        world = fake_world("update")
        import_module(windows_build, world)
        world.calls.clear()
        return world, world.callback

    def test_names_running_totals_and_the_most_it_takes(self, callback):
        world, progress = callback
        assert (progress.__name__, progress.__qualname__, progress.__module__) == (
            "transfer_progress", "get_update.<locals>.transfer_progress", "updater_core")
        progress(-100)  # s3transfer gives back bytes of a part it retries
        progress(chunk=40)
        progress(60)
        assert [c[1] - len(NEW) for c in world.names("bar.update")] == [-100, -60, 0]
        # Not one byte more than the store said: the bar is not asked to go past its end.
        with pytest.raises(RuntimeError) as refused:
            progress(1)
        assert refused.value.refusal == "oversized" and len(world.names("bar.update")) == 3

    def test_no_byte_lost_between_threads(self, callback):
        world, progress = callback
        progress(-20000)
        threads = [threading.Thread(target=lambda: [progress(1) for _ in range(2000)]) for _ in range(10)]
        # Threads switch as often as they can, also inside the bar's update (Python code), so a
        # total stored only after the update would be overwritten by a stale one.
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(interval)
        assert max(c[1] for c in world.names("bar.update")) == len(NEW)

    def test_each_update_has_fresh_state_collected_with_a_reference_cycle(self, windows_build):
        world = fake_world("update")
        import_module(windows_build, world)
        first = world.callback
        world.files[BOT] = OLD
        import_module(windows_build, world)
        assert world.callback is not first
        updates = [c[1] for c in world.names("bar.update")]
        assert updates[len(updates) // 2] == 4  # counted from 0 again
        # Put the closure in a cycle through the bar it updates.
        progress = world.callback
        state_refs = gc.get_referents(progress)
        cells = [r for r in state_refs if isinstance(r, tuple)][0]
        bar = cells[0].cell_contents
        bar.cycle = progress
        probe = weakref.ref(bar)
        world.callback = None
        del progress, bar, cells, state_refs
        gc.collect()
        assert probe() is None


class TestLeftovers:
    """What earlier runs, a person or the publisher left never blocks an update."""

    @pytest.mark.parametrize("settings", [
        pytest.param(dict(read_only={BOT}), id="read-only executable"),
        pytest.param(dict(dirs={BOT + ".old"}), id="folder at the set-aside name"),
        pytest.param(dict(files={BOT: OLD, BOT + ".old": b"older", BOT + ".old.1": b"oldest"},
                          read_only={BOT + ".old"}), id="set-aside copies left"),
        pytest.param(dict(files={BOT: OLD, "D:\\bots\\bin\\kelvo_bot.temp": b"x", "D:\\bots\\kelvo_bot.temp": b"y"},
                          read_only={"D:\\bots\\kelvo_bot.temp"}), id="downloads left"),
        pytest.param(dict(objects={"exe_hash": b" " + digest(NEW).upper() + b"\r\n", EXE_NAME: NEW}),
                     id="published digest in upper case with a line end"),
    ])
    def test_no_obstacle(self, windows_build, settings):
        world = fake_world("update", **copy.deepcopy(settings))
        outcome = import_module(windows_build, world)
        assert isinstance(outcome.error, SystemExit), outcome.error
        # Stale set-aside copies go too; a folder stays where it is.
        assert world.files == {BOT: NEW}
        assert world.dirs == settings.get("dirs", set())
        assert ("subprocess.Popen", [BOT], ()) in world.calls

    @pytest.mark.parametrize("folder", ["D:\\bots\\bin\\kelvo_bot.temp", "D:\\bots\\kelvo_bot.temp"],
                             ids=["where it is downloaded", "where it is installed from"])
    def test_a_folder_at_the_downloads_name_is_refused_and_no_download_stays(self, windows_build, folder):
        world = fake_world("update", dirs={folder})
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is IsADirectoryError
        assert world.files == {BOT: OLD}

    @pytest.mark.parametrize("language", LANGUAGES)
    def test_a_set_aside_copy_that_cannot_go_back_is_named_and_the_update_goes_on(self, windows_build, language):
        held = PermissionError(13, "held open")
        world = fake_world("missing", files={BOT + ".old": OLD}, failures={"os.rename": held},
                           locale=WINDOWS_LOCALE[language])
        outcome = import_module(windows_build, world)
        assert isinstance(outcome.error, SystemExit)
        assert world.printed[:2] == [text("not put back", language, exe=BOT + ".old", error=held),
                                     text("check", language)]
        assert world.files == {BOT: NEW, BOT + ".old": OLD}

    def test_a_stale_set_aside_copy_beside_a_current_bot_goes(self, windows_build):
        world = fake_world("current", files={BOT: CURRENT, BOT + ".old": OLD})
        assert isinstance(import_module(windows_build, world).error, SystemExit)
        assert world.files == {BOT: CURRENT}

    @pytest.mark.parametrize("set_aside, folders", [(".old", set()), (".old.1", {BOT + ".old"})])
    def test_a_set_aside_copy_without_its_executable_goes_back_before_the_check(self, windows_build, set_aside, folders):
        # An updater was killed between setting the old executable aside (under the first free
        # name) and moving the new one in; now the store cannot be read: the bot keeps its
        # executable.
        world = fake_world("update", files={BOT + set_aside: OLD}, dirs=set(folders), objects={})
        outcome = import_module(windows_build, world)
        assert type(outcome.error).__name__ == "NoSuchKey"
        assert world.files == {BOT: OLD}
        assert world.printed[0] == text("check")
