// Executable replacement: the freshly downloaded file takes the place of the old executable,
// and the bot directory never holds neither, nor any other bytes under the executable's name.
//
// The new file first comes next to the executable under the download's name: from the bin
// subdirectory it is moved up, which is a copy when the two folders are on different drives.
// Only then is the old executable set aside under its name plus ".old", and the new file renamed
// into place, which within one folder is a single step of the file system: a kill at any instant
// leaves the old executable, the new one, or the set-aside copy that the next run puts back.
// Nothing is printed between the set-aside and the rename, since a console held by a text
// selection stops the program at its next print. Only after the rename does the old copy go.
//
// Whatever fails in between (a refused rename, an interrupt) puts the old executable back before
// the error goes on. The old copy cannot go while the bot runs from it on Windows (a running
// program's file may be renamed but not deleted): then the old one goes back over the new one,
// so that no second bot is started beside the running one; the next run downloads again.
#include "update/replacement.hpp"

#include "messages.hpp"
#include "update/paths.hpp"

namespace updater::update {

namespace {

// A move that another program briefly refuses (a virus scanner holding the fresh file is the
// common case on Windows) is tried again, every half second for a few seconds.
constexpr int move_attempts = 6;

template <class Move>
void move_retrying(const py::Scope& scope, Move&& move) {
    for (int attempt = 1;; ++attempt) {
        try {
            move();
            return;
        } catch (const py::ErrorAlreadySet&) {
            if (attempt == move_attempts || !PyErr_ExceptionMatches(PyExc_PermissionError)) {
                throw;
            }
            PyErr_Clear();
        }
        py::Ref sleep = py::attr(scope[n.time], n.sleep);
        py::call(sleep, py::Ref::steal(PyFloat_FromDouble(0.5)));
    }
}

// os.replace(source, target), retried while refused.
void replace_file(const py::Scope& scope, py::Borrowed source, py::Borrowed target) {
    move_retrying(scope, [&] { py::call(py::attr(scope[n.os], n.replace), source, target); });
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
        try {
            remove_file(scope, name);
            return name;
        } catch (const py::ErrorAlreadySet&) {
            if (!PyErr_ExceptionMatches(PyExc_OSError)) {
                throw;
            }
            PyErr_Clear();
        }
    }
    // Every name is taken: the error of setting aside under the first says which.
    return set_aside_name(exe, 0);
}

// The old executable at `exe`, if there is one, set aside; the new file renamed into place by
// `move_in`; then the old copy removed. If either step fails, the old copy goes back over
// whatever stands at `exe` in one rename, so that the folder is never without an executable.
template <class MoveIn>
void swap_in(const py::Scope& scope, bool old_exists, py::Borrowed exe, MoveIn&& move_in) {
    if (!old_exists) {
        move_in();
        return;
    }
    py::Ref old_copy = free_set_aside_name(scope, exe);
    replace_file(scope, exe, old_copy);
    py::cleanup_on_error(
        [&] {
            move_in();
            remove_file(scope, old_copy);
        },
        [&] { replace_file(scope, old_copy, exe); });
}

py::Ref put_download_in_place(const py::Scope& scope, py::Borrowed, py::Borrowed) {
    if (is_bin_directory(working_directory(scope))) {
        // Run from the bin subdirectory: the new file moves up into the bot directory, first
        // under the download's name, then into place.
        py::Ref bots = parent_of_bin(working_directory(scope));
        py::Ref exe = beside(bots, scope[n.LOCAL_EXE_NAME]);
        py::Ref source = beside(working_directory(scope), scope[n.TEMP_EXE_NAME]);
        const bool old_exists = is_file(scope, exe);
        if (old_exists) {
            say(scope, {"Удаляю старый kelvo_bot.exe"}, {"Deleting old kelvo_bot.exe"});
        }
        say(scope, {"Перемещаю новый файл в ", exe}, {"Moving new file to ", exe});
        py::Ref staged = beside(bots, scope[n.TEMP_EXE_NAME]);
        clear_name(scope, staged);
        py::Ref move = py::attr(scope[n.shutil], n.move);
        move_retrying(scope, [&] { py::call(move, source, staged); });
        py::Ref rename = py::attr(scope[n.os], n.rename);
        swap_in(scope, old_exists, exe,
                [&] { move_retrying(scope, [&] { py::call(rename, staged, exe); }); });
        return py::Ref::share(Py_None);
    }

    // Run from the bot directory itself: a silent rename in place. Only a regular file is ever
    // set aside.
    py::Ref exe = beside(working_directory(scope), scope[n.LOCAL_EXE_NAME]);
    py::Ref temp_name = scope[n.TEMP_EXE_NAME];
    swap_in(scope, is_file(scope, exe), exe, [&] {
        py::Ref rename = py::attr(scope[n.os], n.rename);
        py::Ref local_name = scope[n.LOCAL_EXE_NAME];
        move_retrying(scope, [&] { py::call(rename, temp_name, local_name); });
    });
    return py::Ref::share(Py_None);
}

}  // namespace

void remove_file(const py::Scope& scope, py::Borrowed path) {
    py::Ref unlink = py::attr(scope[n.os], n.unlink);
    try {
        py::call(unlink, path);
        return;
    } catch (const py::ErrorAlreadySet&) {
        if (!PyErr_ExceptionMatches(PyExc_PermissionError)) {
            throw;
        }
    }
    // Windows refuses to remove a read-only file; a file in use is refused alike, and stays.
    py::Ref refused = py::Ref::steal_or_null(py::take_raised());
    long mode = 0;
    try {
        py::Ref status = py::call(py::attr(scope[n.os], n.lstat), path);
        mode = PyLong_AsLong(py::attr(status, n.st_mode).get());
    } catch (const py::ErrorAlreadySet&) {
        PyErr_Clear();
    }
    constexpr long file_type = 0170000, regular_file = 0100000, owner_write = 0200;
    if ((mode & file_type) != regular_file || (mode & owner_write) != 0) {
        py::put_back(refused.release());
        throw py::ErrorAlreadySet{};
    }
    py::call(py::attr(scope[n.os], n.chmod), path, py::integer(mode | owner_write));
    py::call(unlink, path);
}

void clear_name(const py::Scope& scope, py::Borrowed path) {
    if (!path_test(scope, n.lexists, path)) {
        return;
    }
    if (is_real_directory(scope, path)) {
        folder_in_the_way(scope, path);
    }
    remove_file(scope, path);
}

void folder_in_the_way(const py::Scope& scope, py::Borrowed path) {
    fail(scope, PyExc_IsADirectoryError,
         {"На месте файла ", path, " находится папка; уберите её и запустите обновление снова."},
         {"A folder stands at ", path, "; move it away and run the update again."});
}

void restore_set_aside(const py::Scope& scope) {
    py::Ref exe = beside(bot_directory(scope), scope[n.LOCAL_EXE_NAME]);
    if (path_test(scope, n.lexists, exe)) {
        return;
    }
    for (int index = 0; index < set_aside_names; ++index) {
        py::Ref old_copy = set_aside_name(exe, index);
        if (is_file(scope, old_copy)) {
            py::call(py::attr(scope[n.os], n.rename), old_copy, exe);
            return;
        }
    }
}

const py::FunctionSpec replace_exe = {
    defined::replace_exe, py::Parameters::none, nullptr, put_download_in_place,
};

}  // namespace updater::update
