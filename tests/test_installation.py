"""Downloading with progress, replacing the executable and starting the bot, call by call."""

import gc
import hashlib
import sys
import threading
import weakref

import pytest

from fakes import World, entries, import_module
from statement_lines import at

NEW = b"MZ new bot " * 40
OLD = b"MZ old bot"
NEW_DIGEST = hashlib.sha256(NEW).hexdigest().encode()
# The check of the download against the published digest, after "Download done."
VERIFY = [
    ("open", "kelvo_bot.temp", "rb"),
    ("file.close", "D:\\bots\\bin\\kelvo_bot.temp"),
    ("s3.get_object", (("Bucket", "kelvo-bot"), ("Key", "exe_hash"))),
    ("Body.read",),
]


def update_world(cwd="D:\\bots\\bin", **kwargs):
    kwargs.setdefault("files", {"D:\\bots\\kelvo_bot.exe": OLD})
    kwargs.setdefault("objects", {"exe_hash": NEW_DIGEST, "kelvo_bot.exe": NEW})
    return World(cwd=cwd, **kwargs)


class TestWholeUpdate:
    def test_from_the_bin_subdirectory_call_by_call(self, windows_build):
        world = update_world()
        outcome = import_module(windows_build, world)
        assert isinstance(outcome.error, SystemExit)
        start = world.calls.index(("s3.head_object", (("Bucket", "kelvo-bot"), ("Key", "kelvo_bot.exe"))))
        # A folder in the executable's place is refused before anything is downloaded.
        assert world.calls[start - 2 : start] == [
            ("os.getcwd",), ("os.path.isdir", "D:\\bots\\kelvo_bot.exe")]
        assert world.calls[start:] == [
            ("s3.head_object", (("Bucket", "kelvo-bot"), ("Key", "kelvo_bot.exe"))),
            ("print", "Downloading file: kelvo_bot.temp file size: 0.00 MiB"),
            ("progressbar.Percentage", ()),
            ("progressbar.Bar", (("marker", "#"), ("left", "["), ("right", "]"))),
            ("progressbar.ETA", ()),
            ("progressbar.FileTransferSpeed", ()),
            ("progressbar.ProgressBar", (
                ("widgets", [" ", "Percentage", " ", "Bar", " ", "ETA", " ", "FileTransferSpeed"]),
                ("maxval", len(NEW)))),
            ("bar.start",),
            # Whatever stands at the download's name is removed, not followed, and the file is
            # created anew.
            ("os.path.lexists", "kelvo_bot.temp"),
            ("open", "kelvo_bot.temp", "xb"),
            ("s3.download_fileobj", "kelvo-bot", "kelvo_bot.exe", "D:\\bots\\bin\\kelvo_bot.temp", ("Callback",)),
            *[("bar.update", min(n, len(NEW))) for n in range(4, len(NEW) + 4, 4)],
            ("file.close", "D:\\bots\\bin\\kelvo_bot.temp"),
            ("bar.finish",),
            ("print", "Download done."),
            *VERIFY,
            ("print", "Replacing local file kelvo_bot.exe with downloaded..."),
            ("os.getcwd",),
            ("os.getcwd",),
            ("os.getcwd",),
            ("os.path.isfile", "D:\\bots\\kelvo_bot.exe"),
            ("print", "Deleting old kelvo_bot.exe"),
            ("print", "Moving new file to D:\\bots\\kelvo_bot.exe"),
            # The new file first comes next to the executable (a copy across drives), then the
            # old one is set aside, not deleted, and the new one renamed into its place.
            ("os.path.lexists", "D:\\bots\\kelvo_bot.temp"),
            ("shutil.move", "D:\\bots\\bin\\kelvo_bot.temp", "D:\\bots\\kelvo_bot.temp"),
            ("os.path.lexists", "D:\\bots\\kelvo_bot.exe.old"),
            ("os.replace", "D:\\bots\\kelvo_bot.exe", "D:\\bots\\kelvo_bot.exe.old"),
            ("os.rename", "D:\\bots\\kelvo_bot.temp", "D:\\bots\\kelvo_bot.exe"),
            ("os.unlink", "D:\\bots\\kelvo_bot.exe.old"),
            ("print", "Done. Starting bot."),
            ("os.getcwd",),
            ("os.getcwd",),
            ("os.chdir", "D:\\bots"),
            ("os.getcwd",),
            # The path goes as a one-item list, so that a space in it cannot split it.
            ("subprocess.Popen", ["D:\\bots\\kelvo_bot.exe"], ()),
            ("time.sleep", 3),
            ("sys.exit",),
        ]
        assert world.files == {"D:\\bots\\kelvo_bot.exe": NEW}
        assert world.cwd == "D:\\bots"

    def test_russian_messages(self, windows_build):
        world = update_world(locale=("Russian_Russia", "1251"), content_length=12 * 1024 * 1024)
        import_module(windows_build, world)
        assert world.printed[2:] == [
            "Загружаю файл: kelvo_bot.temp размер файла: 12.00 MiB",
            "Загрузка завершена",
            "Заменяю локальный файл kelvo_bot.exe загруженным с сервера...",
            "Удаляю старый kelvo_bot.exe",
            "Перемещаю новый файл в D:\\bots\\kelvo_bot.exe",
            "Работа заверщена. Запускаю бота",
        ]

    @pytest.mark.parametrize("size, shown", [
        (12 * 1024 * 1024, "12.00"), (int(1.5 * 1024 * 1024), "1.50"),
        (10 * 1024 * 1024 - 1, "10.00"), (500, "0.00"), (3 * 1024 ** 3, "3072.00"),
    ])
    def test_size_in_mib(self, windows_build, size, shown):
        world = update_world(content_length=size)
        import_module(windows_build, world)
        assert f"Downloading file: kelvo_bot.temp file size: {shown} MiB" in world.printed
        assert ("maxval", size) in world.names("progressbar.ProgressBar")[0][1]

    @pytest.mark.parametrize("cwd, files, expected", [
        # The bot directory itself: a silent rename of the bare names.
        ("D:\\bots", {"D:\\bots\\kelvo_bot.exe": OLD}, [
            ("os.getcwd",), ("os.getcwd",), ("os.path.isfile", "D:\\bots\\kelvo_bot.exe"),
            ("os.path.lexists", "D:\\bots\\kelvo_bot.exe.old"),
            ("os.replace", "D:\\bots\\kelvo_bot.exe", "D:\\bots\\kelvo_bot.exe.old"),
            ("os.rename", "kelvo_bot.temp", "kelvo_bot.exe"),
            ("os.unlink", "D:\\bots\\kelvo_bot.exe.old")]),
        ("D:\\bots", {}, [
            ("os.getcwd",), ("os.getcwd",), ("os.path.isfile", "D:\\bots\\kelvo_bot.exe"),
            ("os.rename", "kelvo_bot.temp", "kelvo_bot.exe")]),
        ("D:\\bots\\BIN", {}, [
            ("os.getcwd",), ("os.getcwd",), ("os.path.isfile", "D:\\bots\\BIN\\kelvo_bot.exe"),
            ("os.rename", "kelvo_bot.temp", "kelvo_bot.exe")]),
        # A bin subdirectory: no old executable, so only the move line.
        ("C:\\bin", {}, [
            ("os.getcwd",), ("os.getcwd",), ("os.getcwd",), ("os.path.isfile", "C:\\kelvo_bot.exe"),
            ("print", "Moving new file to C:\\kelvo_bot.exe"),
            ("os.path.lexists", "C:\\kelvo_bot.temp"),
            ("shutil.move", "C:\\bin\\kelvo_bot.temp", "C:\\kelvo_bot.temp"),
            ("os.rename", "C:\\kelvo_bot.temp", "C:\\kelvo_bot.exe")]),
        ("D:\\bin\\bin", {}, [
            ("os.getcwd",), ("os.getcwd",), ("os.getcwd",), ("os.path.isfile", "D:\\bin\\kelvo_bot.exe"),
            ("print", "Moving new file to D:\\bin\\kelvo_bot.exe"),
            ("os.path.lexists", "D:\\bin\\kelvo_bot.temp"),
            ("shutil.move", "D:\\bin\\bin\\kelvo_bot.temp", "D:\\bin\\kelvo_bot.temp"),
            ("os.rename", "D:\\bin\\kelvo_bot.temp", "D:\\bin\\kelvo_bot.exe")]),
    ])
    def test_replacement_and_launch_by_working_directory(self, windows_build, cwd, files, expected):
        world = update_world(cwd=cwd, files=dict(files))
        import_module(windows_build, world)
        replaced = world.calls.index(("print", "Replacing local file kelvo_bot.exe with downloaded...")) + 1
        done = world.calls.index(("print", "Done. Starting bot."))
        assert world.calls[replaced:done] == expected
        bot_directory = cwd[:-4] if cwd.endswith("\\bin") else cwd
        assert world.files == {bot_directory + "\\kelvo_bot.exe": NEW}
        assert world.names("subprocess.Popen") == [
            ("subprocess.Popen", [bot_directory + "\\kelvo_bot.exe"], ())]
        assert world.names("os.chdir") == ([("os.chdir", bot_directory)] if bot_directory != cwd else [])

    def test_posix_build_marks_the_executable_before_starting_it(self, native_build):
        world = update_world(cwd="/drive/bots/bin", sep="/", files={})
        import_module(native_build, world)
        # Through the open download's descriptor, so no name is followed, and before the file
        # takes the executable's name: a kill in between never leaves a bot that cannot start.
        assert world.names("os.stat", "os.chmod", "file.close", "os.rename", "subprocess.Popen") == [
            ("os.stat", 3),
            ("os.chmod", 3, 0o100750),
            ("file.close", "/drive/bots/bin/kelvo_bot.temp"),
            ("file.close", "/drive/bots/bin/kelvo_bot.temp"),  # hashed
            ("os.rename", "/drive/bots/kelvo_bot.temp", "/drive/bots/kelvo_bot.exe"),
            ("subprocess.Popen", ["/drive/bots/kelvo_bot.exe"], ()),
        ]


class TestFailures:
    def test_download_failing_half_way_keeps_the_old_executable(self, windows_build):
        world = update_world(fail_download_after=200)
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is ConnectionError
        assert entries(outcome.error) == [at("update"), at("get_update")]
        assert world.files["D:\\bots\\kelvo_bot.exe"] == OLD
        assert 0 < len(world.files["D:\\bots\\bin\\kelvo_bot.temp"]) < len(NEW)
        assert world.printed[-1].startswith("Downloading file: ")
        assert not world.names("bar.finish", "time.sleep", "sys.exit")

    def test_a_temporary_file_left_behind_is_written_anew(self, windows_build):
        world = update_world(fail_download_after=200)
        import_module(windows_build, world)
        world.fail_download_after = None
        outcome = import_module(windows_build, world)
        assert isinstance(outcome.error, SystemExit)
        assert world.files == {"D:\\bots\\kelvo_bot.exe": NEW}

    def test_missing_temporary_file_puts_the_old_executable_back(self, windows_build):
        world = update_world()
        replacing = ("print", "Replacing local file kelvo_bot.exe with downloaded...")
        world.hooks["print"] = lambda text: (
            world.files.pop("D:\\bots\\bin\\kelvo_bot.temp") if ("print", text) == replacing else None)
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is FileNotFoundError
        assert entries(outcome.error) == [
            at("update"), at("get_update"), at("replace_exe")]
        # The new file never came next to the executable: the old one was never set aside.
        assert world.calls[-1][0] == "shutil.move" and not world.names("os.replace")
        assert world.files == {"D:\\bots\\kelvo_bot.exe": OLD}
        assert world.printed[-1] == "Moving new file to D:\\bots\\kelvo_bot.exe"

    def test_old_copy_that_cannot_go_undoes_the_replacement(self, windows_build):
        # Windows refuses to delete the file of a running bot: no second bot may start.
        denied = PermissionError(13, "Access is denied")
        world = update_world(failures={"os.unlink": denied})
        outcome = import_module(windows_build, world)
        assert outcome.error is denied
        # The old executable goes back over the new one in one rename.
        assert world.calls[-1] == ("os.replace", "D:\\bots\\kelvo_bot.exe.old", "D:\\bots\\kelvo_bot.exe")
        assert world.files == {"D:\\bots\\kelvo_bot.exe": OLD}
        assert not world.names("subprocess.Popen")

    def test_a_failed_put_back_keeps_the_first_failure_in_its_chain(self, windows_build):
        # As an except block would: the last error carries the one it was handling.
        removal, back = PermissionError(13, "in use"), OSError(5, "back")
        replaces = iter([None, back])

        def replace(*args):
            error = next(replaces, None)
            if error is not None:
                raise error

        world = update_world(failures={"os.unlink": removal}, hooks={"os.replace": replace})
        outcome = import_module(windows_build, world)
        assert outcome.error is back and back.__context__ is removal

    @pytest.mark.parametrize("refusals, installed", [(2, True), (6, False)])
    def test_a_refused_move_is_retried_for_a_few_seconds(self, windows_build, refusals, installed):
        world = update_world()
        left = [refusals]

        def refuse(*args):
            if left[0]:
                left[0] -= 1
                raise PermissionError(32, "being used by another process")

        world.hooks["shutil.move"] = refuse
        outcome = import_module(windows_build, world)
        assert world.names("time.sleep")[:min(refusals, 5)] == [("time.sleep", 0.5)] * min(refusals, 5)
        assert len(world.names("shutil.move")) == min(refusals + 1, 6)
        if installed:
            assert isinstance(outcome.error, SystemExit)
            assert world.files == {"D:\\bots\\kelvo_bot.exe": NEW}
        else:
            assert type(outcome.error) is PermissionError
            assert world.files == {"D:\\bots\\kelvo_bot.exe": OLD, "D:\\bots\\bin\\kelvo_bot.temp": NEW}
            assert not world.names("os.replace")

    @pytest.mark.parametrize("published, locale, message", [
        (b"0" * 64, ("English", "1252"),
         "The downloaded kelvo_bot.exe does not match the published digest; nothing was changed."),
        (b"", ("Russian_Russia", "1251"),
         "Загруженный файл kelvo_bot.exe не совпадает с опубликованной hash-суммой; ничего не изменено."),
    ])
    def test_a_download_unlike_the_published_digest_is_removed(self, windows_build, published, locale, message):
        world = update_world(locale=locale)
        # The check sees one digest; the download is compared with the one read again after it.
        world.objects["exe_hash"] = b"stale"
        world.hooks["s3.head_object"] = lambda *a: world.objects.__setitem__("exe_hash", published)
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is RuntimeError and str(outcome.error) == message
        assert entries(outcome.error) == [at("update"), at("get_update")]
        assert world.calls[-1] == ("os.unlink", "kelvo_bot.temp")
        assert world.files == {"D:\\bots\\kelvo_bot.exe": OLD}

    def test_published_digest_in_upper_case_with_a_line_end_is_accepted(self, windows_build):
        world = update_world(objects={"exe_hash": b" " + NEW_DIGEST.upper() + b"\r\n", "kelvo_bot.exe": NEW})
        outcome = import_module(windows_build, world)
        assert isinstance(outcome.error, SystemExit)
        assert world.files == {"D:\\bots\\kelvo_bot.exe": NEW}

    @pytest.mark.parametrize("locale, message", [
        (("English", "1252"), "A folder stands at D:\\bots\\kelvo_bot.exe; move it away and run the update again."),
        (("Russian_Russia", "1251"),
         "На месте файла D:\\bots\\kelvo_bot.exe находится папка; уберите её и запустите обновление снова."),
    ])
    def test_a_folder_named_like_the_executable_is_refused_before_the_download(self, windows_build, locale, message):
        world = update_world(cwd="D:\\bots", files={}, dirs={"D:\\bots\\kelvo_bot.exe"}, locale=locale)
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is IsADirectoryError and str(outcome.error) == message
        assert not world.names("s3.head_object", "open", "os.unlink", "os.rename")


class TestTransferProgress:
    @pytest.fixture
    def callback(self, windows_build):
        world = update_world()
        import_module(windows_build, world)
        world.calls.clear()
        return world, world.callback

    def test_names(self, callback):
        _, progress = callback
        assert progress.__name__ == "transfer_progress"
        assert progress.__qualname__ == "get_update.<locals>.transfer_progress"
        assert progress.__module__ == "updater_core"

    def test_running_totals_of_the_byte_counts(self, callback):
        world, progress = callback
        progress(100)
        progress(chunk=200)
        progress(-50)  # s3transfer gives back bytes of a part it retries
        assert [c[1] - len(NEW) for c in world.names("bar.update")] == [100, 300, 250]

    def test_no_byte_lost_between_threads(self, callback):
        world, progress = callback
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
        assert max(c[1] for c in world.names("bar.update")) == len(NEW) + 20000

    def test_a_second_update_starts_with_fresh_state(self, windows_build):
        world = update_world()
        import_module(windows_build, world)
        first = world.callback
        world.files["D:\\bots\\kelvo_bot.exe"] = OLD
        import_module(windows_build, world)
        assert world.callback is not first
        updates = [c[1] for c in world.names("bar.update")]
        assert updates[len(updates) // 2] == 4  # counted from 0 again

    def test_state_is_collected_with_a_reference_cycle(self, windows_build):
        world = update_world()
        import_module(windows_build, world)
        progress = world.callback
        # Put the closure in a cycle through the bar it updates.
        state_refs = gc.get_referents(progress)
        cells = [r for r in state_refs if isinstance(r, tuple)][0]
        bar = cells[0].cell_contents
        bar.cycle = progress
        probe = weakref.ref(bar)
        world.callback = None
        del progress, bar, cells, state_refs
        gc.collect()
        assert probe() is None


EXE = "D:\\bots\\kelvo_bot.exe"


class TestLeftovers:
    """What earlier runs, or a person, left in the bot folder never blocks an update."""

    @pytest.mark.parametrize("files, dirs, read_only", [
        ({EXE: OLD}, set(), {EXE}),
        ({EXE: OLD}, {EXE + ".old"}, set()),
        ({EXE: OLD, EXE + ".old": b"older", EXE + ".old.1": b"oldest"}, set(), {EXE + ".old"}),
        ({EXE: OLD, "D:\\bots\\bin\\kelvo_bot.temp": b"x", "D:\\bots\\kelvo_bot.temp": b"y"}, set(),
         {"D:\\bots\\kelvo_bot.temp"}),
    ], ids=["read-only executable", "folder at the set-aside name", "set-aside copies left",
            "downloads left"])
    def test_no_obstacle(self, windows_build, files, dirs, read_only):
        world = update_world(files=dict(files), dirs=set(dirs), read_only=set(read_only))
        outcome = import_module(windows_build, world)
        assert isinstance(outcome.error, SystemExit), outcome.error
        assert {path: content for path, content in world.files.items()
                if path.startswith(EXE + ".old")} == {k: v for k, v in files.items() if k == EXE + ".old.1"}
        assert world.files[EXE] == NEW and world.dirs == dirs
        assert ("subprocess.Popen", [EXE], ()) in world.calls

    def test_a_folder_at_the_downloads_name_is_refused(self, windows_build):
        world = update_world(dirs={"D:\\bots\\bin\\kelvo_bot.temp"})
        outcome = import_module(windows_build, world)
        assert type(outcome.error) is IsADirectoryError
        assert "D:\\bots\\bin\\kelvo_bot.temp" not in world.files and world.files[EXE] == OLD

    def test_a_set_aside_copy_without_its_executable_goes_back_before_the_check(self, windows_build):
        # An updater was killed between setting the old executable aside and moving the new one
        # in; now the store cannot be read: the bot keeps its executable.
        world = update_world(files={EXE + ".old": OLD}, objects={})
        outcome = import_module(windows_build, world)
        assert type(outcome.error).__name__ == "NoSuchKey"
        assert world.files == {EXE: OLD}
        assert world.printed[0] == "Checking hash-sum of local and remote file..."
