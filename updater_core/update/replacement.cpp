// Executable replacement: the freshly downloaded file takes the place of the old executable,
// and the bot directory never holds neither.
//
// The old executable is first set aside under the name of its path plus ".old"; the new file
// moves into place; only then does the old copy go. Whatever fails in between (a refused move,
// a message that cannot be printed, an interrupt) puts the old executable back before the
// error goes on. The old copy cannot go while the bot runs from it on Windows (a running
// program's file may be renamed but not deleted): then the new file goes back to its
// temporary name and the old one to its place, so that no second bot is started beside the
// running one and the next run finds the download where it left it.
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

// The old executable at `exe`, if there is one, set aside as `exe + ".old"` (replacing a copy
// left by an updater that was killed half way); the new file moved into place by `move_in`;
// then the old copy removed. `temporary` is where the new file goes back to when the old copy
// cannot be removed.
template <class MoveIn>
void install(const py::Scope& scope, bool old_exists, py::Borrowed exe, py::Borrowed temporary,
             MoveIn&& move_in) {
    py::Ref old_copy = py::add(exe, n.set_aside_suffix);
    if (old_exists) {
        replace_file(scope, exe, old_copy);
    }
    py::cleanup_on_error(move_in, [&] {
        if (old_exists) {
            replace_file(scope, old_copy, exe);
        }
    });
    if (!old_exists) {
        return;
    }
    py::cleanup_on_error(
        [&] { py::call(py::attr(scope[n.os], n.unlink), old_copy); },
        [&] {
            // The old executable goes back even if the new file cannot be moved aside.
            py::cleanup_on_error([&] { replace_file(scope, exe, temporary); },
                                 [&] { replace_file(scope, old_copy, exe); });
            replace_file(scope, old_copy, exe);
        });
}

py::Ref replace(const py::Scope& scope, py::Borrowed, py::Borrowed) {
    if (is_bin_directory(working_directory(scope))) {
        // Run from the bin subdirectory: the new file moves up into the bot directory.
        py::Ref exe = beside(parent_of_bin(working_directory(scope)), scope[n.LOCAL_EXE_NAME]);
        py::Ref source = beside(working_directory(scope), scope[n.TEMP_EXE_NAME]);
        const bool old_exists = is_file(scope, exe);
        if (old_exists) {
            say(scope, {"Удаляю старый kelvo_bot.exe"}, {"Deleting old kelvo_bot.exe"});
        }
        install(scope, old_exists, exe, source, [&] {
            say(scope, {"Перемещаю новый файл в ", exe}, {"Moving new file to ", exe});
            py::Ref move = py::attr(scope[n.shutil], n.move);
            move_retrying(scope, [&] { py::call(move, source, exe); });
        });
        return py::Ref::share(Py_None);
    }

    // Run from the bot directory itself: a silent rename in place. Only a regular file is ever
    // set aside.
    py::Ref exe = beside(working_directory(scope), scope[n.LOCAL_EXE_NAME]);
    py::Ref temp_name = scope[n.TEMP_EXE_NAME];
    install(scope, is_file(scope, exe), exe, temp_name, [&] {
        py::Ref rename = py::attr(scope[n.os], n.rename);
        py::Ref local_name = scope[n.LOCAL_EXE_NAME];
        move_retrying(scope, [&] { py::call(rename, temp_name, local_name); });
    });
    return py::Ref::share(Py_None);
}

}  // namespace

const py::FunctionSpec replace_exe = {
    defined::replace_exe, py::Parameters::none, nullptr, replace,
};

}  // namespace updater::update
