// Executable replacement: the freshly downloaded file takes the place of the old executable.
#include "capi/console.hpp"
#include "update/download.hpp"
#include "update/paths.hpp"

namespace updater::update {

namespace {

// The working directory is asked anew for every test and every path, as the steps below read.
py::Ref target_path(const py::Scope& scope) {
    return beside(parent_of_bin(working_directory(scope)), scope[n.LOCAL_EXE_NAME]);
}

// prefix + os.getcwd()[:-4] + "\\" + LOCAL_EXE_NAME, joined left to right.
py::Ref moving_to(const py::Scope& scope, const char* prefix) {
    return py::concat({py::str(prefix), parent_of_bin(working_directory(scope)), n.separator,
                       scope[n.LOCAL_EXE_NAME]});
}

py::Ref replace(const py::Scope& scope, py::Borrowed, py::Borrowed) {
    if (is_bin_directory(working_directory(scope))) {
        // Run from the bin subdirectory: the new file moves up into the bot directory.
        py::Ref isfile = py::attr(py::attr(scope[n.os], n.path), n.isfile);
        if (py::truth(py::call(isfile, target_path(scope)))) {
            py::say(scope, "Удаляю старый kelvo_bot.exe", "Deleting old kelvo_bot.exe");
            py::Ref unlink = py::attr(scope[n.os], n.unlink);
            py::call(unlink, target_path(scope));
        }
        py::say(
            scope,
            [&] { return moving_to(scope, "Перемещаю новый файл в "); },
            [&] { return moving_to(scope, "Moving new file to "); });
        py::Ref move = py::attr(scope[n.shutil], n.move);
        py::Ref source = beside(working_directory(scope), scope[n.TEMP_EXE_NAME]);
        py::call(move, source, target_path(scope));
        return py::Ref::share(Py_None);
    }

    // Run from the bot directory itself: a silent rename in place. Only a regular file is ever
    // deleted; the old executable goes before the new file takes its name.
    py::Ref isfile = py::attr(py::attr(scope[n.os], n.path), n.isfile);
    if (py::truth(py::call(isfile, beside(working_directory(scope), scope[n.LOCAL_EXE_NAME])))) {
        py::Ref unlink = py::attr(scope[n.os], n.unlink);
        py::call(unlink, beside(working_directory(scope), scope[n.LOCAL_EXE_NAME]));
    }
    py::Ref rename = py::attr(scope[n.os], n.rename);
    py::Ref temp_name = scope[n.TEMP_EXE_NAME];
    py::call(rename, temp_name, scope[n.LOCAL_EXE_NAME]);
    return py::Ref::share(Py_None);
}

}  // namespace

const py::FunctionSpec replace_exe = {
    "replace_exe", "get_update.<locals>.replace_exe", "updater_core.get_update.replace_exe", 85,
    py::Parameters::none, nullptr, replace,
};

}  // namespace updater::update
