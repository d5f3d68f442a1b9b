#include "update/start_bot.hpp"

#include "messages.hpp"
#include "platform.hpp"
#include "update/file_names.hpp"
#include "update/paths.hpp"
#include "update/replacement.hpp"

namespace updater::update {

namespace {

bool has_old_copy(py::Borrowed set_aside) { return set_aside && set_aside.get() != Py_None; }

// Raises the system's refusal to start `command` again, or, when it says the file is not there
// while it is (a script whose interpreter is missing: the system names the file it was asked
// to start), an error that says what is so.
[[noreturn]] void say_why_not_started(const py::Scope& scope, py::Borrowed error,
                                      py::Borrowed command) {
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_FileNotFoundError) == 0 ||
        !is_file(scope, command)) {
        py::raise_again(error);
    }
    fail(scope, PyExc_OSError,
         {"Файл ", command,
          " на месте, но система не может его запустить: это не программа этой системы, или нет "
          "интерпретатора, который в нём указан."},
         {command,
          " is there, but this system cannot run it: it is not a program of this system, or the "
          "interpreter it names is not there."});
}

// The new executable at `command` could not be started: the old one, set aside as `set_aside`
// (None when there was none), goes back over it, and the update ends refused.
[[noreturn]] void give_way(const py::Scope& scope, py::Borrowed set_aside, py::Borrowed command) {
    const Piece local_exe_name = Piece::global(n.LOCAL_EXE_NAME);
    if (!has_old_copy(set_aside)) {
        refuse(scope, n.refusal_not_started,
               {"Новый ", local_exe_name,
                " не удалось запустить, а прежнего не было; новый остаётся на месте."},
               {"The new ", local_exe_name,
                " could not be started, and there was no previous one; the new one stays."});
    }
    put_back(scope, set_aside, command);
    refuse(scope, n.refusal_not_started,
           {"Новый ", local_exe_name, " не удалось запустить; прежний возвращён на его место."},
           {"The new ", local_exe_name,
            " could not be started; the previous one was put back in its place."});
}

}  // namespace

void start_bot(const py::Scope& scope, py::Borrowed set_aside) {
    say(scope, {"Работа заверщена. Запускаю бота"}, {"Done. Starting bot."});

    if (is_bin_directory(working_directory(scope))) {
        py::Ref chdir = py::attr(scope[n.os], n.chdir);
        py::call(chdir, parent_of_bin(working_directory(scope)));
    }

    py::Ref subprocess = scope.import(n.subprocess, nullptr);
    py::Ref popen = py::attr(subprocess, n.Popen);
    py::Ref started_in = working_directory(scope);
    py::Ref command = beside(started_in, scope[n.LOCAL_EXE_NAME]);
    const bool had_old = has_old_copy(set_aside);
    // The path goes as a one-item argument list, which subprocess quotes: an unquoted path
    // with a space would let Windows start another program ("C:\Program.exe" for a bot in
    // "C:\Program Files\...") and would split the bot's own argv[0]. The process object is
    // dropped at once. A system that cannot start it raises OSError at once; one that refuses
    // because another program holds the fresh file (a virus scanner that has just opened it) is asked again
    // for a moment, as the moves are. Anything else that ends the start (Ctrl-C meanwhile) puts
    // the old executable back too, and goes on as it came.
    bool gave_way = false;
    py::cleanup_on_error(
        [&] {
            py::try_except(
                PyExc_OSError,
                [&] {
                    retrying_while_held(scope, [&] { py::call(popen, py::list({command})); },
                                        platform::held_by_another);
                },
                [&](py::Borrowed error) {
                    py::try_except(
                        PyExc_OSError, [&] { say_why_not_started(scope, error, command); },
                        [&](py::Borrowed) {
                            gave_way = true;
                            give_way(scope, set_aside, command);
                        });
                });
        },
        [&] {
            if (had_old && !gave_way) {
                put_back(scope, set_aside, command);
            }
        });
    if (had_old) {
        // A copy that cannot go now (another program holds it) is stale: the next run removes it.
        remove_if_there(scope, set_aside);
    }

    py::Ref sleep = py::attr(scope[n.time], n.sleep);
    py::call(sleep, py::integer(seconds_after_start));
}

}  // namespace updater::update
