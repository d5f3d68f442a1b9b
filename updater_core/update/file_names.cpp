#include "update/file_names.hpp"

#include "messages.hpp"
#include "platform.hpp"
#include "update/paths.hpp"

namespace updater::update {

namespace {

// A refusal that another program holds the file for is tried again every half second, six times
// in all.
constexpr int held_attempts = 6;

}  // namespace

void remove_file(const py::Scope& scope, py::Borrowed path) {
    py::Ref unlink = py::attr(scope[n.os], n.unlink);
    py::try_except(PyExc_PermissionError, [&] { py::call(unlink, path); }, [&](py::Borrowed refused) {
        // Windows refuses to remove a read-only file; a file in use is refused alike, and stays.
        // Only a failure of the system to say what the file is counts as "not read-only".
        long mode = 0;
        py::try_except(
            PyExc_OSError,
            [&] {
                py::Ref status = py::call(py::attr(scope[n.os], n.lstat), path);
                mode = py::as_long(py::attr(status, n.st_mode));
            },
            [](py::Borrowed) {});
        constexpr long file_type = 0170000, regular_file = 0100000, owner_write = 0200;
        if ((mode & file_type) != regular_file || (mode & owner_write) != 0) {
            py::raise_again(refused);
        }
        py::call(py::attr(scope[n.os], n.chmod), path, py::integer(mode | owner_write));
        py::call(unlink, path);
    });
}

void remove_if_there(const py::Scope& scope, py::Borrowed path) {
    py::try_except(PyExc_OSError, [&] { remove_file(scope, path); }, [](py::Borrowed) {});
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

void retrying_while_held(const py::Scope& scope, const std::function<void()>& attempt,
                         const std::function<bool(py::Borrowed error)>& held) {
    for (int attempts = 1;; ++attempts) {
        bool refused = false;
        py::try_except(PyExc_OSError, attempt, [&](py::Borrowed error) {
            if (attempts == held_attempts || !held(error)) {
                py::raise_again(error);
            }
            refused = true;
        });
        if (!refused) {
            return;
        }
        py::Ref sleep = py::attr(scope[n.time], n.sleep);
        py::call(sleep, py::Ref::steal(PyFloat_FromDouble(0.5)));
    }
}

void move_retrying(const py::Scope& scope, const std::function<void()>& move) {
    retrying_while_held(scope, move, [](py::Borrowed error) {
        return PyErr_GivenExceptionMatches(error.get(), PyExc_PermissionError) != 0;
    });
}

void folder_in_the_way(const py::Scope& scope, py::Borrowed path) {
    fail(scope, PyExc_IsADirectoryError,
         {"На месте файла ", path, " находится папка; уберите её и запустите обновление снова."},
         {"A folder stands at ", path, "; move it away and run the update again."});
}

void refuse_no_room(const py::Scope& scope, py::Borrowed folder, py::Borrowed needed) {
    py::Ref bytes = py::text(needed);
    refuse(scope, n.refusal_disk_full,
           {"В папке ", folder, " нет места для ", n.exe_name, " (", bytes,
            " байт): загрузка остановлена, бот остался прежним. ",
            "Освободите там место и запустите обновление снова."},
           {"There is no room in ", folder, " for ", n.exe_name, " (", bytes,
            " bytes): the download was stopped and the bot is as it was. ",
            "Free some space there and run the update again."});
}

void refused_when_full(const py::Scope& scope, py::Borrowed folder, py::Borrowed needed,
                       const std::function<void()>& write) {
    py::try_except(PyExc_OSError, write, [&](py::Borrowed error) {
        if (!platform::no_room(error)) {
            py::raise_again(error);
        }
        refuse_no_room(scope, folder, needed);
    });
}

}  // namespace updater::update
