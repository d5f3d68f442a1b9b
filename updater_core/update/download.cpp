// Download with progress: the published executable is written to the temporary file while a
// console progress bar follows the bytes received, then replaces the old one and is started.
#include "update/download.hpp"

#include "capi/console.hpp"
#include "update/paths.hpp"

namespace updater::update {

namespace {

// The download state that one call of get_update shares with its transfer_progress: a closure
// of two cells, as a Python closure would hold them. It lives as long as its last holder.
enum Cell : Py_ssize_t { bar = 0, downloaded = 1 };

py::Ref new_download_state() {
    py::Ref bar_cell = py::Ref::steal(PyCell_New(nullptr));
    py::Ref downloaded_cell = py::Ref::steal(PyCell_New(nullptr));
    return py::Ref::steal(PyTuple_Pack(2, bar_cell.get(), downloaded_cell.get()));
}

py::Ref get(py::Borrowed state, Cell cell, const char* name) {
    py::Ref value = py::Ref::steal_or_null(PyCell_Get(PyTuple_GET_ITEM(state.get(), cell)));
    if (!value) {
        PyErr_Format(PyExc_NameError,
                     "cannot access free variable '%s' where it is not associated with a value "
                     "in enclosing scope",
                     name);
        throw py::ErrorAlreadySet{};
    }
    return value;
}

void set(py::Borrowed state, Cell cell, py::Borrowed value) {
    py::require(PyCell_Set(PyTuple_GET_ITEM(state.get(), cell), value.get()));
}

// transfer_progress(chunk): the storage client's callback, possibly from its worker threads.
// The read, the addition and the store happen without giving up the interpreter's lock in
// between, so interleaved calls lose no byte.
py::Ref transfer_progress_body(const py::Scope&, py::Borrowed state, py::Borrowed chunk) {
    py::Ref total = py::add_in_place(get(state, downloaded, "downloaded"), chunk);
    set(state, downloaded, total);
    py::call_method(get(state, bar, "bar"), n.update, total);
    return py::Ref::share(Py_None);
}

const py::FunctionSpec transfer_progress = {
    "transfer_progress", "get_update.<locals>.transfer_progress",
    "updater_core.get_update.transfer_progress", 63, py::Parameters::one, "chunk",
    transfer_progress_body,
};

// os.stat(path).st_mode, made executable for whoever may read it, by os.chmod.
void make_executable(const py::Scope& scope, py::Borrowed path) {
    py::Ref stat = py::attr(scope[n.os], n.stat);
    py::Ref mode = py::attr(py::call(stat, path), n.st_mode);
    const long bits = PyLong_AsLong(mode.get());
    if (bits == -1 && PyErr_Occurred()) {
        throw py::ErrorAlreadySet{};
    }
    py::Ref chmod = py::attr(scope[n.os], n.chmod);
    py::call(chmod, path, py::integer(bits | ((bits & 0444) >> 2)));
}

// prefix + TEMP_EXE_NAME + middle + the size in MiB with two decimals + " MiB".
py::Ref size_message(const py::Scope& scope, const char* prefix, const char* middle,
                     py::Borrowed object_size) {
    py::Ref kibi = py::integer(1024);
    return py::concat(
        {py::str(prefix), scope[n.TEMP_EXE_NAME], py::str(middle),
         py::format(py::true_divide(py::true_divide(object_size, kibi), kibi), n.size_format),
         py::str(" MiB")});
}

py::Ref install(const py::Scope& scope, py::Borrowed, py::Borrowed) {
    py::Borrowed bucket = n.bucket;
    py::Borrowed server_path = n.exe_object_key;
    py::Ref state = new_download_state();

    // The size, for the message and as the bar's maximum.
    py::Ref to_int = scope[n.int_];
    py::Ref head_object = py::attr(scope[n.s3unsafe], n.head_object);
    py::Ref head = py::call_kw(head_object, n.kw_bucket_key, bucket, server_path);
    py::Ref object_size = py::call(to_int, py::item(head, n.ContentLength));

    set(state, downloaded, py::integer(0));

    py::say(
        scope,
        [&] { return size_message(scope, "Загружаю файл: ", " размер файла: ", object_size); },
        [&] { return size_message(scope, "Downloading file: ", " file size: ", object_size); });

    py::Ref percentage = py::call(py::attr(scope[n.progressbar], n.Percentage));
    py::Ref bar_widget = py::call_kw(py::attr(scope[n.progressbar], n.Bar), n.kw_bar,
                                     py::str("#"), py::str("["), py::str("]"));
    py::Ref eta = py::call(py::attr(scope[n.progressbar], n.ETA));
    py::Ref speed = py::call(py::attr(scope[n.progressbar], n.FileTransferSpeed));
    py::Ref widgets = py::list(
        {n.space, percentage, n.space, bar_widget, n.space, eta, n.space, speed});

    py::Ref progress_bar = py::call_kw(py::attr(scope[n.progressbar], n.ProgressBar),
                                       n.kw_progress_bar, widgets, object_size);
    set(state, bar, py::call_method(progress_bar, n.start));

    py::Ref callback = py::make_function(transfer_progress, scope, state);

    // The temporary file is opened in the working directory as it is now, before any change
    // of directory; a file left by an earlier failed run is truncated.
    py::Ref open = scope[n.open];
    py::Ref temp_file = py::call(open, scope[n.TEMP_EXE_NAME], n.mode_write_binary);
    py::with(temp_file, [&](py::Borrowed file) {
        py::Ref download_fileobj = py::attr(scope[n.s3unsafe], n.download_fileobj);
        py::call_kw(download_fileobj, n.kw_callback, bucket, server_path, file, callback);
    });
    py::call_method(get(state, bar, "bar"), n.finish);
    py::say(scope, "Загрузка завершена", "Download done.");

    py::Ref replace = py::make_function(replace_exe, scope);
    py::say(
        scope,
        [&] {
            return py::concat({py::str("Заменяю локальный файл "), scope[n.LOCAL_EXE_NAME],
                               py::str(" загруженным с сервера...")});
        },
        [&] {
            return py::concat({py::str("Replacing local file "), scope[n.LOCAL_EXE_NAME],
                               py::str(" with downloaded...")});
        });
    py::call(replace);
    py::say(scope, "Работа заверщена. Запускаю бота", "Done. Starting bot.");

    // Leave a bin subdirectory: the bot starts in the bot directory, and the change of the
    // process's working directory outlasts this call.
    if (is_bin_directory(working_directory(scope))) {
        py::Ref chdir = py::attr(scope[n.os], n.chdir);
        py::call(chdir, parent_of_bin(working_directory(scope)));
    }

    py::Ref subprocess = py::import(n.subprocess, scope.globals());
    py::Ref popen = py::attr(subprocess, n.Popen);
    py::Ref exe_path = beside(working_directory(scope), scope[n.LOCAL_EXE_NAME]);
    if constexpr (platform::needs_executable_bit) {
        make_executable(scope, exe_path);
    }
    // The path goes as a one-item argument list, which subprocess quotes: an unquoted path
    // with a space would let Windows start another program ("C:\Program.exe" for a bot in
    // "C:\Program Files\...") and would split the bot's own argv[0]. The process object is
    // dropped at once; the bot runs on after the updater ends.
    py::call(popen, py::list({exe_path}));

    py::Ref sleep = py::attr(scope[n.time], n.sleep);
    py::call(sleep, py::integer(3));
    return py::Ref::share(Py_None);
}

}  // namespace

const py::FunctionSpec get_update = {
    "get_update", "get_update", "updater_core.get_update", 45, py::Parameters::none, nullptr,
    install,
};

}  // namespace updater::update
