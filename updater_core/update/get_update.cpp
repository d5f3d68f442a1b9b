// Download with progress: the published executable is written to the temporary file while a
// console progress bar follows the bytes received, then replaces the old one and is started.
#include "update/get_update.hpp"

#include "messages.hpp"
#include "update/paths.hpp"
#include "update/release.hpp"
#include "update/replacement.hpp"

#include <optional>

namespace updater::update {

namespace {

// The download state that one call of get_update shares with its transfer_progress: a closure
// of two cells, as a Python closure would hold them. It lives as long as its last holder.
// A third cell holds the most bytes the download may bring: the signed size, or the size the
// store gave.
enum Cell : Py_ssize_t { bar = 0, downloaded = 1, most = 2 };

py::Ref new_download_state() {
    py::Ref bar_cell = py::Ref::steal(PyCell_New(nullptr));
    py::Ref downloaded_cell = py::Ref::steal(PyCell_New(nullptr));
    py::Ref most_cell = py::Ref::steal(PyCell_New(nullptr));
    return py::Ref::steal(PyTuple_Pack(3, bar_cell.get(), downloaded_cell.get(), most_cell.get()));
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
                " байт выпуска; загрузка остановлена, ничего не изменено."},
               {"The store sent more than the ", bytes,
                " bytes of the release; the download was stopped and nothing was changed."});
    }
    py::call_method(get(state, bar, "bar"), n.update, total);
    return py::Ref::share(Py_None);
}

const py::FunctionSpec transfer_progress = {
    defined::transfer_progress, py::Parameters::one, "chunk", transfer_progress_body,
};

// The file the update installs, once it stands beside the executable: open, with its name there.
struct Staged {
    py::Ref file;
    py::Ref path;
};

// Puts the download, open as `download`, beside the executable under the download's name, and
// returns the open file that holds it there. Run from the bot folder, the download is there
// already; from its bin subdirectory it is renamed up, and the open file goes with it. Only
// across drives is it copied, into a file created for the copy (never through a link, never over
// another file), and the download is removed.
Staged stage_beside_executable(const py::Scope& scope, py::Borrowed download) {
    py::Ref working = working_directory(scope);
    if (!is_bin_directory(working)) {
        return {py::Ref::share(download), scope[n.TEMP_EXE_NAME]};
    }
    py::Ref bots = parent_of_bin(working_directory(scope));
    py::Ref staged = beside(bots, scope[n.TEMP_EXE_NAME]);
    py::Ref here = working_directory(scope);
    py::Ref source = beside(here, scope[n.TEMP_EXE_NAME]);
    clear_name(scope, staged);
    Staged result{py::Ref::share(download), staged};
    py::try_except(
        PyExc_OSError,
        [&] {
            py::Ref rename = py::attr(scope[n.os], n.rename);
            move_retrying(scope, [&] { py::call(rename, source, staged); });
        },
        [&](py::Borrowed) {
            py::Ref copy = platform::create_exclusive(scope, staged);
            py::cleanup_on_error(
                [&] {
                    py::call_method(download, n.seek, py::integer(0));
                    py::Ref copy_file = py::attr(scope[n.shutil], n.copyfileobj);
                    py::call(copy_file, download, copy);
                    remove_file(scope, source);
                },
                [&] { py::call_method(copy, n.close); });
            result.file = copy;
        });
    return result;
}

// The digest of the file to install, read through the file itself in large pieces by
// hashlib.file_digest: the bytes were just written, so this pass costs what SHA-256 itself costs
// and little more.
py::Ref staged_digest(const py::Scope& scope, py::Borrowed file) {
    py::call_method(file, n.seek, py::integer(0));
    py::Ref file_digest = py::attr(scope[n.hashlib], n.file_digest);
    return py::call_method(py::call(file_digest, file, n.sha256), n.hexdigest);
}

// The file to install, checked through the open file itself. A build with the publisher's key
// compares it with the digest of the signed statement (anything else is not the signed release);
// one without compares it with the published digest, read again now rather than taken from the
// check: an object cut short or swapped on the way, or an executable published since the check
// without its digest, never takes the executable's place. A published digest with white space
// around it or in upper case names the same file, so it is accepted here.
void verify_download(const py::Scope& scope, py::Borrowed file, const Release* release) {
    py::Ref downloaded = staged_digest(scope, file);
    auto compare = [&](py::Borrowed expected) {
        py::Ref actual = py::call_kw(scope[n.bytes], n.kw_encoding, downloaded, n.utf_8);
        if (py::equal(actual, expected)) {
            return;
        }
        refuse_download(scope, n.refusal_mismatch,
                        " не совпадает с опубликованной hash-суммой; ничего не изменено.",
                        " does not match the published digest; nothing was changed.");
    };
    if (release != nullptr) {
        py::Ref signed_digest = digest_bytes(*release);
        refused_unless_signed(scope, [&] { compare(signed_digest); });
        return;
    }
    py::Ref published = py::call(scope[n.s3_file_reader], n.hash_object_key);
    compare(py::call_method(py::call_method(published, n.strip), n.lower));
}

py::Ref download_install_and_start(const py::Scope& scope, py::Borrowed, py::Borrowed) {
    py::Borrowed bucket = n.bucket;
    py::Borrowed server_path = n.exe_name;
    py::Ref state = new_download_state();

    // A folder in the executable's place would receive the download inside it: said before
    // anything is downloaded.
    py::Ref bots = bot_directory(scope);
    py::Ref exe_path = beside(bots, scope[n.LOCAL_EXE_NAME]);
    if (path_test(scope, n.isdir, exe_path)) {
        folder_in_the_way(scope, exe_path);
    }
    // A running bot's file cannot be replaced on Windows: said before anything is downloaded.
    if (platform::running(exe_path)) {
        fail(scope, PyExc_PermissionError,
             {"Бот запущен (файл ", exe_path,
              " занят); закройте его и запустите обновление снова. Ничего не загружено."},
             {"The bot is running (", exe_path,
              " is in use); close it and run the update again. Nothing was downloaded."});
    }

    // A signed release is known before anything is downloaded: its statement says what the
    // download must be, and an expired or older release goes no further.
    std::optional<Release> release;
    if (signed_releases()) {
        release = read_release(scope);
        require_installable(scope, bots, *release);
    }

    // The size, for the message and as the bar's maximum.
    py::Ref to_int = scope[n.int_];
    py::Ref head_object = py::attr(scope[n.s3unsafe], n.head_object);
    py::Ref head = py::call_kw(head_object, n.kw_bucket_key, bucket, server_path);
    py::Ref object_size = py::call(to_int, py::item(head, n.ContentLength));
    if (release && !py::equal(object_size, release->size)) {
        py::Ref stored = py::text(object_size);
        py::Ref signed_size = py::text(release->size);
        refuse(scope, n.refusal_mismatch,
               {"Файл ", server_path, " на сервере имеет размер ", stored,
                " байт, а подписанный выпуск ", signed_size, " байт; ничего не изменено."},
               {"The store's ", server_path, " is ", stored, " bytes, the signed release ",
                signed_size, " bytes; nothing was changed."});
    }
    set(state, most, release ? release->size : object_size);

    set(state, downloaded, py::integer(0));

    py::Ref kibi = py::integer(1024);
    py::Ref size = py::format(py::true_divide(py::true_divide(object_size, kibi), kibi),
                              n.size_format);
    const Piece temp_exe_name = Piece::global(n.TEMP_EXE_NAME);
    say(scope, {"Загружаю файл: ", temp_exe_name, " размер файла: ", size, " MiB"},
        {"Downloading file: ", temp_exe_name, " file size: ", size, " MiB"});

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

    // The download goes into a file of the updater's own, created anew in the working directory
    // as it is now, before any change of directory. Whatever stands at its name (a file left by
    // an earlier failed run, or a link that would send the download elsewhere) is removed first,
    // not followed, and the creation is exclusive, so nothing outside the folder is ever written.
    // The file stays open until it has been checked and renamed into place: what is checked is
    // what is installed, read through the same open file, and (on Windows) no other program may
    // write it meanwhile.
    clear_name(scope, scope[n.TEMP_EXE_NAME]);
    py::Ref download = platform::create_exclusive(scope, scope[n.TEMP_EXE_NAME]);
    py::Ref replace;
    py::with(download, [&](py::Borrowed file) {
        py::Ref download_fileobj = py::attr(scope[n.s3unsafe], n.download_fileobj);
        py::call_kw(download_fileobj, n.kw_callback, bucket, server_path, file, callback);
        py::call_method(get(state, bar, "bar"), n.finish);
        say(scope, {"Загрузка завершена"}, {"Download done."});

        Staged staged = stage_beside_executable(scope, file);
        // Refused or not put in place, the file goes (as far as it can: it may be gone already),
        // and the bot folder is as it was.
        auto install = [&](py::Borrowed staged_file) {
            py::cleanup_on_error(
                [&] {
                    platform::make_executable(scope, staged_file);
                    verify_download(scope, staged_file, release ? &*release : nullptr);
                    replace = py::make_function(replace_exe, scope, staged_file);
                    const Piece local_exe_name = Piece::global(n.LOCAL_EXE_NAME);
                    say(scope,
                        {"Заменяю локальный файл ", local_exe_name, " загруженным с сервера..."},
                        {"Replacing local file ", local_exe_name, " with downloaded..."});
                    py::call(replace);
                },
                [&] {
                    py::Ref unlink = py::attr(scope[n.os], n.unlink);
                    py::try_except(PyExc_OSError, [&] { py::call(unlink, staged.path); },
                                   [](py::Borrowed) {});
                });
        };
        if (staged.file.get() == file.get()) {
            install(file);
        } else {
            py::with(staged.file, install);
        }
    });
    // Only an update that was installed goes on to start the bot, even should a file's __exit__
    // have swallowed an error on the way.
    py::assigned(replace, "replace_exe");
    if (release) {
        record_installed(scope, bots, *release);
    }
    say(scope, {"Работа заверщена. Запускаю бота"}, {"Done. Starting bot."});

    // Leave a bin subdirectory: the bot starts in the bot directory, and the change of the
    // process's working directory outlasts this call.
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
    // dropped at once; the bot runs on after the updater ends.
    py::call(popen, py::list({command}));

    py::Ref sleep = py::attr(scope[n.time], n.sleep);
    py::call(sleep, py::integer(3));
    return py::Ref::share(Py_None);
}

}  // namespace

const py::FunctionSpec get_update = {
    defined::get_update, py::Parameters::none, nullptr, download_install_and_start,
};

}  // namespace updater::update
