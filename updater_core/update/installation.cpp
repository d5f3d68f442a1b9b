#include "update/installation.hpp"

#include "messages.hpp"
#include "update/file_names.hpp"
#include "update/paths.hpp"
#include "update/replacement.hpp"

namespace updater::update {

namespace {

// The file the update installs, once it stands beside the executable: open, with its name there.
struct Staged {
    py::Ref file;
    py::Ref path;
};

// The download, open as `download` and named `source`, copied into a new file at `staged` in the
// folder `bots` (on another drive), which is returned open; then `source` is removed. A copy
// that fails is closed and removed.
py::Ref copy_beside_executable(const py::Scope& scope, py::Borrowed download, py::Borrowed source,
                               py::Borrowed bots, py::Borrowed staged) {
    py::Ref copy = platform::create_exclusive(scope, staged);
    py::cleanup_on_error(
        [&] {
            py::Ref descriptor = py::call_method(download, n.fileno);
            py::Ref size = py::attr(py::call(py::attr(scope[n.os], n.fstat), descriptor), n.st_size);
            py::call_method(download, n.seek, py::integer(0));
            py::Ref copy_file = py::attr(scope[n.shutil], n.copyfileobj);
            refused_when_full(scope, bots, size, [&] { py::call(copy_file, download, copy); });
            remove_file(scope, source);
        },
        [&] {
            py::call_method(copy, n.close);
            remove_if_there(scope, staged);
        });
    return copy;
}

// Puts the download, open as `download`, beside the executable under the download's name, and
// returns the open file that holds it there. Run from the bot folder, the download is there
// already; from its bin subdirectory it is renamed up, and the open file goes with it. Only
// across drives is it copied, into a file created for the copy (never through a link, never over
// another file), and the download is removed; a copy that fails (the bot folder's disk is full)
// goes (and the download goes with the update that failed: see download.cpp).
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
            result.file = copy_beside_executable(scope, download, source, bots, staged);
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

}  // namespace

void require_replaceable(const py::Scope& scope, py::Borrowed exe_path) {
    // A folder in the executable's place would receive the download inside it.
    if (path_test(scope, n.isdir, exe_path)) {
        folder_in_the_way(scope, exe_path);
    }
    // A running bot's file cannot be replaced on Windows.
    if (platform::running(exe_path)) {
        py::try_except(
            PyExc_PermissionError,
            [&] {
                fail(scope, PyExc_PermissionError,
                     {"Бот запущен (файл ", exe_path,
                      " занят); закройте его и запустите обновление снова. Ничего не загружено."},
                     {"The bot is running (", exe_path,
                      " is in use); close it and run the update again. Nothing was downloaded."});
            },
            [&](py::Borrowed error) { raise_as_refusal(error, n.refusal_running); });
    }
}

py::Ref install(const py::Scope& scope, py::Borrowed download, const Release* release,
                py::Ref& replace) {
    Staged staged = stage_beside_executable(scope, download);
    py::Ref set_aside;
    auto install_staged = [&](py::Borrowed staged_file) {
        py::cleanup_on_error(
            [&] {
                // It takes the permissions of the executable it replaces.
                py::Ref bots = bot_directory(scope);
                py::Ref exe = beside(bots, scope[n.LOCAL_EXE_NAME]);
                platform::make_executable(scope, staged_file, exe);
                verify_download(scope, staged_file, release);
                replace = py::make_function(replace_exe, scope, staged_file);
                const Piece local_exe_name = Piece::global(n.LOCAL_EXE_NAME);
                say(scope, {"Заменяю локальный файл ", local_exe_name, " загруженным с сервера..."},
                    {"Replacing local file ", local_exe_name, " with downloaded..."});
                set_aside = py::call(replace);
            },
            [&] {
                // As far as it can: the file may be gone already.
                py::Ref unlink = py::attr(scope[n.os], n.unlink);
                py::try_except(PyExc_OSError, [&] { py::call(unlink, staged.path); },
                               [](py::Borrowed) {});
            });
    };
    if (staged.file.get() == download.get()) {
        install_staged(download);
    } else {
        py::with(staged.file, install_staged);
    }
    return set_aside;
}

}  // namespace updater::update
