// Executable replacement: the freshly downloaded file takes the place of the old executable,
// and the bot directory never holds neither, nor any other bytes under the executable's name,
// whether the updater is killed or the power is cut.
//
// The new file first comes next to the executable under the download's name (the download puts
// it there and checks it, open, through the same file) and stays open until it is in place; its
// bytes are flushed to the device through that file, and just before its rename it must still be
// the file that was checked. Only then is the old executable set aside under its name plus
// ".old", and the new file renamed into place, which within one folder is a single step of the
// file system: a kill at any instant leaves the old executable, the new one, or the set-aside
// copy that the next run puts back. Nothing is printed between the set-aside and the rename,
// since a console held by a text selection stops the program at its next print. The folder is
// then flushed (Windows has no flush of a folder: there every move of the executable, the
// set-aside, the rename into place and the put-back, is write-through), so that after a power
// cut too the name stands for the new bytes or for the old ones; a name whose data never reached
// the device would be an empty executable with nothing to put back.
//
// The set-aside copy stays until the new executable has been started, so that a file that cannot
// start (not a Windows program, blocked) gives way to the old one again (start_bot.cpp). Whatever
// fails before (a refused rename, an interrupt) puts the old executable back before the error
// goes on. The old copy cannot go while the bot runs from it on Windows (a running program's file
// may be renamed but not deleted): then the old one goes back over the new one, so that no second
// bot is started beside the running one; the next run downloads again.
#include "update/replacement.hpp"

#include "messages.hpp"
#include "update/file_names.hpp"
#include "update/paths.hpp"

#include <cerrno>

namespace updater::update {

namespace {

// os.replace(source, target), write-through on Windows, retried while refused.
void replace_file(const py::Scope& scope, py::Borrowed source, py::Borrowed target) {
    move_retrying(scope, [&] { platform::replace_through(scope, source, target); });
}

// Names to set the old executable aside under: its path plus ".old", then ".old.1" and on, for
// when a leftover that is a folder, or a file that cannot be removed, holds the first.
constexpr int set_aside_names = 8;

py::Ref set_aside_name(py::Borrowed exe, int index) {
    py::Ref old = py::add(exe, n.set_aside_suffix);
    return index == 0 ? old : py::Ref::steal(PyUnicode_FromFormat("%U.%d", old.get(), index));
}

// A free name to set the old executable aside under. A file or link left at a name is removed
// (it is a copy that an earlier run failed to remove, since the executable itself is there).
py::Ref free_set_aside_name(const py::Scope& scope, py::Borrowed exe) {
    for (int index = 0; index < set_aside_names; ++index) {
        py::Ref name = set_aside_name(exe, index);
        if (!path_test(scope, n.lexists, name)) {
            return name;
        }
        if (is_real_directory(scope, name)) {
            continue;
        }
        bool removed = true;
        py::try_except(PyExc_OSError, [&] { remove_file(scope, name); },
                       [&](py::Borrowed) { removed = false; });
        if (removed) {
            return name;
        }
    }
    // Every name is taken: the error of setting aside under the first says which.
    return set_aside_name(exe, 0);
}

// The new file, open as `staged`, flushed to the device; the old executable at `exe`, if there
// is one, set aside; the new file renamed into place by `move_in`, and the folder `bots` flushed.
// If a step fails, or the old copy is the file of a running bot, the old copy goes back over
// whatever stands at `exe` in one rename, so that the folder is never without an executable.
// Returns the old copy's name (None when there was no old executable): it is removed once the
// new executable has started.
template <class MoveIn>
py::Ref swap_in(const py::Scope& scope, py::Borrowed staged, bool old_exists, py::Borrowed bots,
                py::Borrowed exe, MoveIn&& move_in) {
    platform::sync_file(scope, staged);
    if (!old_exists) {
        move_in();
        platform::sync_folder(scope, bots);
        return py::Ref::share(Py_None);
    }
    py::Ref old_copy = free_set_aside_name(scope, exe);
    replace_file(scope, exe, old_copy);
    py::cleanup_on_error(
        [&] {
            move_in();
            platform::sync_folder(scope, bots);
            // Windows would refuse to remove it after the start, with a second bot running.
            if (platform::running(old_copy)) {
                py::try_except(
                    PyExc_PermissionError,
                    [&] {
                        errno = EACCES;
                        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, old_copy.get());
                        throw py::ErrorAlreadySet{};
                    },
                    [&](py::Borrowed error) { raise_as_refusal(error, n.refusal_running); });
            }
        },
        [&] {
            // The new file is closed first: Windows replaces no file that is still open.
            py::call_method(staged, n.close);
            replace_file(scope, old_copy, exe);
        });
    return old_copy;
}

// The file to install, open as `staged` since it was checked, must still be the one at `path`:
// nothing may have been put in its place (by name, a link included) meanwhile.
void require_checked_file(const py::Scope& scope, py::Borrowed staged, py::Borrowed path) {
    py::Ref descriptor = py::call_method(staged, n.fileno);
    py::Ref opened = py::call(py::attr(scope[n.os], n.fstat), descriptor);
    py::Ref named = py::call(py::attr(scope[n.os], n.lstat), path);
    // The same file number on the same volume. Wine tells no volume (0) for a file renamed
    // while open; a volume that is not told is not compared.
    auto same = [&](py::Borrowed field, bool told_only) {
        py::Ref ours = py::attr(opened, field);
        py::Ref theirs = py::attr(named, field);
        return (told_only && !(py::truth(ours) && py::truth(theirs))) || py::equal(ours, theirs);
    };
    if (same(n.st_ino, false) && same(n.st_dev, true)) {
        return;
    }
    refuse_download(scope, n.refusal_replaced,
                    " был подменён после проверки; обновление отклонено, ничего не изменено.",
                    " was replaced after it was checked; the update was refused and nothing was "
                    "changed.");
}

// replace_exe(), its closure the open file to install, which stands beside the executable under
// the download's name. Returns the name the old executable was set aside under, or None.
py::Ref put_download_in_place(const py::Scope& scope, py::Borrowed staged, py::Borrowed) {
    if (is_bin_directory(working_directory(scope))) {
        // Run from the bin subdirectory: the new file was moved up into the bot directory.
        py::Ref bots = parent_of_bin(working_directory(scope));
        py::Ref exe = beside(bots, scope[n.LOCAL_EXE_NAME]);
        const bool old_exists = is_file(scope, exe);
        if (old_exists) {
            // The executable's own name, whatever the global LOCAL_EXE_NAME holds.
            say(scope, {"Удаляю старый ", n.exe_name}, {"Deleting old ", n.exe_name});
        }
        say(scope, {"Перемещаю новый файл в ", exe}, {"Moving new file to ", exe});
        py::Ref staged_path = beside(bots, scope[n.TEMP_EXE_NAME]);
        return swap_in(scope, staged, old_exists, bots, exe, [&] {
            require_checked_file(scope, staged, staged_path);
            move_retrying(scope, [&] { platform::move_through(scope, staged_path, exe); });
        });
    }

    // Run from the bot directory itself: a silent rename in place. Only a regular file is ever
    // set aside.
    py::Ref here = working_directory(scope);
    py::Ref exe = beside(here, scope[n.LOCAL_EXE_NAME]);
    return swap_in(scope, staged, is_file(scope, exe), here, exe, [&] {
        py::Ref temp_name = scope[n.TEMP_EXE_NAME];
        require_checked_file(scope, staged, temp_name);
        py::Ref local_name = scope[n.LOCAL_EXE_NAME];
        move_retrying(scope, [&] { platform::move_through(scope, temp_name, local_name); });
    });
}

}  // namespace

void put_back(const py::Scope& scope, py::Borrowed old_copy, py::Borrowed exe) {
    replace_file(scope, old_copy, exe);
}

void restore_set_aside(const py::Scope& scope) {
    py::Ref bots = bot_directory(scope);
    py::Ref exe = beside(bots, scope[n.LOCAL_EXE_NAME]);
    if (path_test(scope, n.lexists, exe)) {
        // The executable is there, so a set-aside copy beside it is stale (its removal failed,
        // say while the bot ran from it): it goes now if it can. Names are taken in order, so
        // the search ends at the first free one.
        for (int index = 0; index < set_aside_names; ++index) {
            py::Ref old_copy = set_aside_name(exe, index);
            if (!path_test(scope, n.lexists, old_copy)) {
                return;
            }
            if (!is_real_directory(scope, old_copy)) {
                py::try_except(PyExc_OSError, [&] { remove_file(scope, old_copy); },
                               [](py::Borrowed) {});
            }
        }
        return;
    }
    for (int index = 0; index < set_aside_names; ++index) {
        py::Ref old_copy = set_aside_name(exe, index);
        if (!is_file(scope, old_copy)) {
            continue;
        }
        // A copy that cannot go back (held open, or not to be renamed) is named, with where it
        // stays, and the check goes on: it finds no executable and installs the published one.
        py::try_except(
            PyExc_OSError, [&] { platform::move_through(scope, old_copy, exe); },
            [&](py::Borrowed error) {
                py::Ref why = py::text(error);
                const Piece local_exe_name = Piece::global(n.LOCAL_EXE_NAME);
                say(scope,
                    {"Не удалось вернуть прежний ", local_exe_name, " из ", old_copy, " (", why,
                     "); он остаётся там. Проверяю обновление."},
                    {"Could not put the previous ", local_exe_name, " back from ", old_copy,
                     " (", why, "); it stays there. Checking for an update."});
            });
        return;
    }
}

const py::FunctionSpec replace_exe = {
    defined::replace_exe, py::Parameters::none, nullptr, put_download_in_place,
};

}  // namespace updater::update
