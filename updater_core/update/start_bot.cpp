#include "update/start_bot.hpp"

#include "messages.hpp"
#include "update/paths.hpp"
#include "update/replacement.hpp"

namespace updater::update {

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
    const bool had_old = set_aside && set_aside.get() != Py_None;
    // The path goes as a one-item argument list, which subprocess quotes: an unquoted path
    // with a space would let Windows start another program ("C:\Program.exe" for a bot in
    // "C:\Program Files\...") and would split the bot's own argv[0]. The process object is
    // dropped at once. A system that cannot start it at all raises OSError at once.
    py::try_except(
        PyExc_OSError, [&] { py::call(popen, py::list({command})); },
        [&](py::Borrowed) {
            const Piece local_exe_name = Piece::global(n.LOCAL_EXE_NAME);
            if (!had_old) {
                refuse(scope, n.refusal_not_started,
                       {"Новый ", local_exe_name,
                        " не удалось запустить, а прежнего не было; новый остаётся на месте."},
                       {"The new ", local_exe_name,
                        " could not be started, and there was no previous one; the new one "
                        "stays."});
            }
            put_back(scope, set_aside, command);
            refuse(scope, n.refusal_not_started,
                   {"Новый ", local_exe_name,
                    " не удалось запустить; прежний возвращён на его место."},
                   {"The new ", local_exe_name,
                    " could not be started; the previous one was put back in its place."});
        });
    if (had_old) {
        // A copy that cannot go now (another program holds it) is stale: the next run removes it.
        py::try_except(PyExc_OSError, [&] { remove_file(scope, set_aside); }, [](py::Borrowed) {});
    }

    py::Ref sleep = py::attr(scope[n.time], n.sleep);
    py::call(sleep, py::integer(seconds_after_start));
}

}  // namespace updater::update
