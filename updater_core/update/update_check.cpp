#include "update/update_check.hpp"

#include "capi/console.hpp"
#include "update/paths.hpp"

namespace updater::update {

namespace {

py::Ref check(const py::Scope& scope, py::Borrowed, py::Borrowed) {
    py::say(scope, "Проверяю hash-сумму локального и удаленного файла...",
            "Checking hash-sum of local and remote file...");

    py::Ref directory = working_directory(scope);
    if (is_bin_directory(directory)) {
        directory = parent_of_bin(directory);
    }
    py::Ref exe_path = beside(directory, scope[n.LOCAL_EXE_NAME]);

    // A missing executable (or something that is not a regular file in its place) is no error:
    // the bot has to be downloaded. Neither the file nor the bucket is read then.
    py::Ref isfile = py::attr(py::attr(scope[n.os], n.path), n.isfile);
    if (!py::truth(py::call(isfile, exe_path))) {
        py::say(
            scope,
            [&] {
                return py::concat({py::str("Файл "), scope[n.LOCAL_EXE_NAME],
                                   py::str(" не найден по пути "), exe_path});
            },
            [&] {
                return py::concat({py::str("No "), scope[n.LOCAL_EXE_NAME],
                                   py::str(" found on path "), exe_path});
            });
        py::say(scope, "Начинаю Загрузку...", "Staring download...");
        return py::Ref::share(Py_True);
    }

    // The local digest first: the bucket is contacted only for a file that could be hashed.
    py::Ref bytes = scope[n.bytes];
    py::Ref local_digest = py::call(scope[n.get_hash_digest], exe_path);
    py::Ref local_exe_hash = py::call_kw(bytes, n.kw_encoding, local_digest, n.utf_8);
    py::Ref server_exe_hash = py::call(scope[n.s3_file_reader], n.hash_object_key);

    // Byte for byte: a published digest with a line end, spaces or upper case never matches.
    if (py::equal(local_exe_hash, server_exe_hash)) {
        py::say(
            scope,
            [&] {
                return py::concat({py::str("\nЛокальный файл "), scope[n.LOCAL_EXE_NAME],
                                   py::str(" расположенный по пути "), exe_path});
            },
            [&] {
                return py::concat({py::str("\nLocal file "), scope[n.LOCAL_EXE_NAME],
                                   py::str(" located at "), exe_path});
            });
        py::say(scope,
                "Абсолютно идентичен файлу на сервере, обновление не требуется и бессмысленно.",
                "Exactly identical to the file on the server! Updating is unnecessary and "
                "pointless.");
        py::say(
            scope,
            [&] {
                return py::concat({py::str("\nДля запуска бота используйте файл "),
                                   scope[n.LOCAL_EXE_NAME], py::str("!")});
            },
            [&] {
                return py::concat(
                    {py::str("\nTo run bot, use file "), scope[n.LOCAL_EXE_NAME], py::str("!")});
            });
        py::say(scope, "\nОкно будет закрыто через 60 секунд...",
                "\nnWindow will be closed in 60 seconds...");
        return py::Ref::share(Py_False);
    }
    py::say(scope, "Локальный файл не идентичен файлу на сервере, начинаю обновление...",
            "The local file is not identical to the file on the server, start updating...");
    return py::Ref::share(Py_True);
}

}  // namespace

const py::FunctionSpec check_update_is_needed = {
    "check_update_is_needed", "check_update_is_needed", "updater_core.check_update_is_needed",
    114, py::Parameters::none, nullptr, check,
};

}  // namespace updater::update
