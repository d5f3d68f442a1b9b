#include "update/download.hpp"

#include "lines.hpp"
#include "messages.hpp"
#include "platform.hpp"
#include "storage/store_watch.hpp"
#include "update/file_names.hpp"
#include "update/paths.hpp"

namespace updater::update {

namespace {

// The download state that one call of get_update shares with its transfer_progress: a closure
// of two cells, as a Python closure would hold them. It lives as long as its last holder.
// A third cell holds the most bytes the download may bring: the signed size, or the size the
// store gave; a fourth the watch of the step that downloads.
enum Cell : Py_ssize_t { bar = 0, downloaded = 1, most = 2, watch = 3 };

py::Ref new_download_state() {
    py::Ref bar_cell = py::Ref::steal(PyCell_New(nullptr));
    py::Ref downloaded_cell = py::Ref::steal(PyCell_New(nullptr));
    py::Ref most_cell = py::Ref::steal(PyCell_New(nullptr));
    py::Ref watch_cell = py::Ref::steal(PyCell_New(nullptr));
    return py::Ref::steal(PyTuple_Pack(4, bar_cell.get(), downloaded_cell.get(), most_cell.get(),
                                       watch_cell.get()));
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
// A store that sends more than it said (or than was signed) is stopped there, before the bar is
// asked to show more than its maximum and before the disk fills.
py::Ref transfer_progress_body(const py::Scope& scope, py::Borrowed state, py::Borrowed chunk) {
    py::Ref total = py::add_in_place(get(state, downloaded, "downloaded"), chunk);
    set(state, downloaded, total);
    py::Ref limit = get(state, most, "most");
    const int too_much = PyObject_RichCompareBool(total.get(), limit.get(), Py_GT);
    py::require(too_much);
    if (too_much != 0) {
        py::Ref bytes = py::text(limit);
        refuse(scope, n.refusal_oversized,
               {"Сервер прислал больше ", bytes,
                " байт этой версии; загрузка остановлена, ничего не изменено."},
               {"The store sent more than the ", bytes,
                " bytes of the release; the download was stopped and nothing was changed."});
    }
    py::call_method(get(state, bar, "bar"), n.update, total);
    // The transfer library reports the bytes of a piece it lost and fetches again as a negative
    // step: the watch sees the running total and counts only what goes beyond its most.
    const long long received = PyLong_AsLongLong(total.get());
    if (received == -1 && PyErr_Occurred() != nullptr) {
        throw py::ErrorAlreadySet{};
    }
    storage::progressed(get(state, watch, "watch"), received);
    return py::Ref::share(Py_None);
}

const py::FunctionSpec transfer_progress = {
    defined::transfer_progress, py::Parameters::one, "chunk", transfer_progress_body,
};

// The file the download goes into: a file of the updater's own, created anew as `name` in the
// working directory as it is now, before any change of directory. Whatever stands at the name (a
// file left by an earlier run that was killed, or a link that would send the download elsewhere)
// is removed first, not followed, and the creation is exclusive, so nothing outside the folder is
// ever written. A folder without room for the `most` bytes the download may bring is refused
// before a byte is written. The file stays open until it has been checked and renamed into
// place: what is checked is what is installed, read through the same open file, and (on Windows)
// no other program may write it meanwhile.
py::Ref make_download_file(const py::Scope& scope, py::Borrowed name, py::Borrowed most) {
    clear_name(scope, name);
    py::Ref folder = working_directory(scope);
    py::Ref usage = py::call(py::attr(scope[n.shutil], n.disk_usage), folder);
    py::Ref free = py::attr(usage, n.free);
    const int short_of_room = PyObject_RichCompareBool(free.get(), most.get(), Py_LT);
    py::require(short_of_room);
    if (short_of_room != 0) {
        refuse_no_room(scope, folder, most);
    }
    return platform::create_exclusive(scope, name);
}

// Fills the open `file` with the executable object while `callback` (transfer_progress) follows
// it, under the step's own watch, which the download's `state` hands to the callback. A disk that
// fills up meanwhile ends the download at that write.
void fill_download(const py::Scope& scope, py::Borrowed file, py::Borrowed callback,
                   py::Borrowed state) {
    py::Ref download_fileobj = py::attr(scope[n.s3unsafe], n.download_fileobj);
    refused_when_full(scope, working_directory(scope), get(state, most, "most"), [&] {
        storage::watched(
            scope,
            [&](py::Borrowed step_watch) {
                set(state, Cell::watch, step_watch);
                py::call_kw(download_fileobj, n.kw_callback, n.bucket, n.exe_name, file,
                            callback);
            },
            LastLine::progress_bar);
    });
}

}  // namespace

py::Ref start_progress_bar(const py::Scope& scope, py::Borrowed most) {
    py::Ref percentage = py::call(py::attr(scope[n.progressbar], n.Percentage));
    py::Ref bar_widget = py::call_kw(py::attr(scope[n.progressbar], n.Bar), n.kw_bar,
                                     py::str("#"), py::str("["), py::str("]"));
    py::Ref eta = py::call(py::attr(scope[n.progressbar], n.ETA));
    py::Ref speed = py::call(py::attr(scope[n.progressbar], n.FileTransferSpeed));
    py::Ref widgets = py::list(
        {n.space, percentage, n.space, bar_widget, n.space, eta, n.space, speed});

    py::Ref progress_bar = py::call_kw(py::attr(scope[n.progressbar], n.ProgressBar),
                                       n.kw_progress_bar, widgets, most);
    return py::call_method(progress_bar, n.start);
}

void download(const py::Scope& scope, const Release* release,
              const std::function<void(py::Borrowed file)>& install) {
    py::Borrowed bucket = n.bucket;
    py::Borrowed server_path = n.exe_name;
    py::Ref state = new_download_state();

    // The size, for the message and as the bar's maximum.
    py::Ref to_int = scope[n.int_];
    py::Ref head_object = py::attr(scope[n.s3unsafe], n.head_object);
    py::Ref head;
    storage::watched(scope, [&](py::Borrowed) {
        head = py::call_kw(head_object, n.kw_bucket_key, bucket, server_path);
    });
    py::Ref object_size = py::call(to_int, py::item(head, n.ContentLength));
    if (release != nullptr && !py::equal(object_size, release->size)) {
        py::Ref stored = py::text(object_size);
        py::Ref signed_size = py::text(release->size);
        refuse(scope, n.refusal_mismatch,
               {"Файл ", server_path, " на сервере имеет размер ", stored,
                " байт, а подписанная версия ", signed_size, " байт; ничего не изменено."},
               {"The store's ", server_path, " is ", stored, " bytes, the signed release ",
                signed_size, " bytes; nothing was changed."});
    }
    set(state, most, release != nullptr ? release->size : object_size);

    set(state, downloaded, py::integer(0));

    py::Ref kibi = py::integer(1024);
    py::Ref size = py::format(py::true_divide(py::true_divide(object_size, kibi), kibi),
                              n.size_format);
    const Piece temp_exe_name = Piece::global(n.TEMP_EXE_NAME);
    say(scope, {"Загружаю файл: ", temp_exe_name, " размер файла: ", size, " MiB"},
        {"Downloading file: ", temp_exe_name, " file size: ", size, " MiB"});

    set(state, bar, start_progress_bar(scope, object_size));

    py::Ref callback = py::make_function(transfer_progress, scope, state);

    py::Ref download_name = scope[n.TEMP_EXE_NAME];
    py::Ref file = make_download_file(scope, download_name, get(state, most, "most"));
    // An update that fails for any reason (the store cut the download short, stalled or sent
    // too much, the disk filled up, Ctrl-C, an installation refused) leaves no download behind:
    // a part of the executable, or one never checked, is of no use to anyone, and it would keep
    // its room on the disk until the next run. Once closed, whatever is left of the file at its
    // name goes (the installation may have moved it on already, or removed it).
    py::cleanup_on_error(
        [&] {
            py::with(file, [&](py::Borrowed downloaded_file) {
                fill_download(scope, downloaded_file, callback, state);
                py::call_method(get(state, bar, "bar"), n.finish);
                say(scope, {"Загрузка завершена"}, {"Download done."});
                install(downloaded_file);
            });
        },
        [&] { remove_if_there(scope, download_name); });
}

}  // namespace updater::update
