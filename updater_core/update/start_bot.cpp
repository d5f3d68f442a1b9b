#include "update/start_bot.hpp"

#include "messages.hpp"
#include "update/paths.hpp"

namespace updater::update {

void start_bot(const py::Scope& scope) {
    say(scope, {"Работа заверщена. Запускаю бота"}, {"Done. Starting bot."});

    if (is_bin_directory(working_directory(scope))) {
        py::Ref chdir = py::attr(scope[n.os], n.chdir);
        py::call(chdir, parent_of_bin(working_directory(scope)));
    }

    py::Ref subprocess = scope.import(n.subprocess, nullptr);
    py::Ref popen = py::attr(subprocess, n.Popen);
    py::Ref started_in = working_directory(scope);
    py::Ref command = beside(started_in, scope[n.LOCAL_EXE_NAME]);
    // The path goes as a one-item argument list, which subprocess quotes: an unquoted path
    // with a space would let Windows start another program ("C:\Program.exe" for a bot in
    // "C:\Program Files\...") and would split the bot's own argv[0]. The process object is
    // dropped at once.
    py::call(popen, py::list({command}));

    py::Ref sleep = py::attr(scope[n.time], n.sleep);
    py::call(sleep, py::integer(3));
}

}  // namespace updater::update
