#include "update/patch.hpp"

#include "messages.hpp"
#include "platform.hpp"
#include "storage/store_watch.hpp"
#include "update/download.hpp"
#include "update/file_names.hpp"
#include "update/paths.hpp"

#include <algorithm>
#include <bit>
#include <string>

namespace updater::update {

namespace {

// The pieces the patch is read in (the watch's measure of progress), and the most bytes one
// step of the rebuild makes: what the rebuild holds at once beside the decoder's window.
constexpr Py_ssize_t piece = 262144;          // 256 KiB
constexpr Py_ssize_t made_at_once = 1048576;  // 1 MiB

// What is wrong with a patch, said in the line that gives it up.
[[noreturn]] void unusable(const std::string& what) { py::raise(PyExc_ValueError, what.c_str()); }

long long as_long_long(py::Borrowed number) {
    const long long value = PyLong_AsLongLong(number.get());
    if (value == -1 && PyErr_Occurred() != nullptr) {
        throw py::ErrorAlreadySet{};
    }
    return value;
}

// The largest window a patch may ask the decoder for: the power of two above the larger of the
// old executable and the signed size, as the publisher makes it, so that a patch never makes
// the decoder hold more than the executables it is about.
long window_log(long long old_size, long long new_size) {
    const auto largest = static_cast<unsigned long long>(std::max({old_size, new_size, 1LL}));
    return std::clamp(static_cast<long>(std::bit_width(largest)), 10L, 31L);
}

// The old executable as the patch's prefix: mapped, handed to the library (which keeps its own
// copy), and unmapped.
struct Base {
    py::Ref prefix;
    long long size = 0;
};

Base base_of(const py::Scope& scope, py::Borrowed zstd, py::Borrowed old) {
    py::Ref mmap = scope.import(n.mmap, Py_None);
    py::Ref map_file = py::attr(mmap, n.mmap);
    py::Ref descriptor = py::call_method(old, n.fileno);
    py::Ref map = py::call_kw(map_file, n.kw_access, descriptor, py::integer(0),
                              py::attr(mmap, n.ACCESS_READ));
    Base base;
    py::with(map, [&](py::Borrowed mapped) {
        base.size = PyObject_Length(mapped.get());
        py::require(base.size < 0 ? -1 : 0);
        py::Ref dictionary = py::call_kw(py::attr(zstd, n.ZstdDict), n.kw_is_raw, mapped, Py_True);
        base.prefix = py::attr(dictionary, n.as_prefix);
    });
    return base;
}

// The patch that a request found: its answer, its size, and the old executable as its prefix.
struct Found {
    py::Ref response;
    py::Ref size;
    Base base;
    py::Ref zstd;
};

// Streams the patch from the store through the decoder into `out`, the bar following the
// patch's bytes, and checks what it made against the release.
void rebuild(const py::Scope& scope, const Found& found, const Release& release,
             py::Borrowed out) {
    const long long most = as_long_long(release.size);
    py::Ref options = py::Ref::steal(PyDict_New());
    py::require(PyDict_SetItem(
        options.get(),
        py::attr(py::attr(found.zstd, n.DecompressionParameter), n.window_log_max).get(),
        py::integer(window_log(found.base.size, most)).get()));
    py::Ref decoder = py::call_kw(py::attr(found.zstd, n.ZstdDecompressor), n.kw_patch_reader,
                                  found.base.prefix, options);
    py::Ref decompress = py::attr(decoder, n.decompress);
    py::Ref write = py::attr(out, n.write);
    py::Ref digest = py::call(py::attr(scope[n.hashlib], n.sha256));
    py::Ref nothing = py::Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    long long made = 0;

    // Feeds the decoder, and writes what it makes, never more than one byte past the release.
    auto decode = [&](py::Borrowed data) {
        if (py::truth(py::attr(decoder, n.eof))) {
            unusable("data follows the end of the patch");
        }
        py::Ref input = py::Ref::share(data);
        for (;;) {
            const long long room = std::min<long long>(made_at_once, most + 1 - made);
            py::Ref chunk = py::call_kw(decompress, n.kw_max_length, input,
                                        py::Ref::steal(PyLong_FromLongLong(room)));
            input = nothing;
            const Py_ssize_t length = PyObject_Length(chunk.get());
            py::require(length < 0 ? -1 : 0);
            made += length;
            if (made > most) {
                unusable("it makes more than the " + std::to_string(most) +
                         " bytes of the release");
            }
            py::call(write, chunk);
            py::call_method(digest, n.update, chunk);
            if (py::truth(py::attr(decoder, n.eof))) {
                if (py::truth(py::attr(decoder, n.unused_data))) {
                    unusable("data follows the end of the patch");
                }
                return;
            }
            if (py::truth(py::attr(decoder, n.needs_input))) {
                return;
            }
        }
    };

    py::Ref bar = start_progress_bar(scope, found.size);
    py::Ref body = py::item(found.response, n.Body);
    storage::watched(
        scope,
        [&](py::Borrowed step_watch) {
            long long received = 0;
            for (;;) {
                py::Ref data = py::call_method(body, n.read,
                                               py::Ref::steal(PyLong_FromSsize_t(piece)));
                const Py_ssize_t length = PyObject_Length(data.get());
                py::require(length < 0 ? -1 : 0);
                if (length == 0) {
                    break;
                }
                received += length;
                py::call_method(bar, n.update, py::Ref::steal(PyLong_FromLongLong(received)));
                storage::progressed(step_watch, received);
                decode(data);
            }
        },
        LastLine::progress_bar);
    py::call_method(bar, n.finish);
    say(scope, {"Загрузка завершена"}, {"Download done."});

    if (!py::truth(py::attr(decoder, n.eof))) {
        unusable("it is cut short");
    }
    if (made != most) {
        unusable("it makes " + std::to_string(made) + " bytes, the release " +
                 std::to_string(most));
    }
    if (!py::equal(py::call_method(digest, n.hexdigest), release.digest)) {
        unusable("what it makes does not match the release's digest");
    }
    py::call_method(out, n.flush);
}

// Asks the store for the patch from the executable open as `old`, into `found`: no response when
// there is none. A patch larger than the whole release is no use.
void find(const py::Scope& scope, const Release& release, py::Borrowed old, Found& found) {
    py::Ref file_digest = py::attr(scope[n.hashlib], n.file_digest);
    py::Ref digest = py::call_method(py::call(file_digest, old, n.sha256), n.hexdigest);
    py::Ref key = py::concat({n.patch_prefix, digest, n.patch_suffix});
    py::Ref get_object = py::attr(scope[n.s3unsafe], n.get_object);
    py::Ref missing = py::attr(py::attr(scope[n.s3unsafe], n.exceptions), n.NoSuchKey);
    py::try_except(
        missing.get(),
        [&] {
            storage::watched(scope, [&](py::Borrowed) {
                found.response = py::call_kw(get_object, n.kw_bucket_key, n.bucket, key);
            });
        },
        [](py::Borrowed) {});
    if (!found.response) {
        return;
    }
    py::Ref to_int = scope[n.int_];
    found.size = py::call(to_int, py::item(found.response, n.ContentLength));
    if (!py::truth(found.size)) {
        unusable("it is empty");
    }
    if (as_long_long(found.size) > as_long_long(release.size)) {
        unusable("it is larger than the release");
    }
    found.zstd = py::attr(scope.import(n.backports_zstd, Py_None), n.zstd);
    found.base = base_of(scope, found.zstd, old);
}

// The line that gives the patch up, with what was wrong; the patch's answer, if any, is closed
// with what it has not sent.
void given_up(const py::Scope& scope, const Found& found, py::Borrowed error) {
    if (found.response) {
        py::try_except(
            PyExc_Exception,
            [&] { py::call_method(py::item(found.response, n.Body), n.close); },
            [](py::Borrowed) {});
    }
    py::Ref reason = py::str(Py_TYPE(error.get())->tp_name);
    py::Ref text = py::text(error);
    if (py::truth(text)) {
        reason = py::concat({reason, py::str(": "), text});
    }
    say(scope, {"Патч от установленной версии не подошёл (", reason, "); загружаю файл целиком."},
        {"The patch from the installed version could not be used (", reason,
         "); downloading the whole file."});
}

}  // namespace

bool patched(const py::Scope& scope, py::Borrowed bots, const Release& release,
             const std::function<void(py::Borrowed file)>& install) {
    py::Ref exe_path = beside(bots, scope[n.LOCAL_EXE_NAME]);
    if (!is_file(scope, exe_path)) {
        return false;
    }
    Found found;
    bool failed = false;
    py::try_except(
        PyExc_Exception,
        [&] {
            py::Ref old_file = py::call(scope[n.open], exe_path, n.mode_read_binary);
            py::with(old_file, [&](py::Borrowed old) { find(scope, release, old, found); });
        },
        [&](py::Borrowed error) {
            failed = true;
            given_up(scope, found, error);
        });
    if (failed || !found.response) {
        if (!failed) {
            say(scope, {"Патча от установленной версии на сервере нет; загружаю файл целиком."},
                {"There is no patch from the installed version on the server; downloading the "
                 "whole file."});
        }
        return false;
    }

    py::Ref kibi = py::integer(1024);
    py::Ref size = py::format(py::true_divide(py::true_divide(found.size, kibi), kibi),
                              n.size_format);
    say(scope, {"Загружаю патч до новой версии: ", size, " MiB"},
        {"Downloading the patch to the new version: ", size, " MiB"});

    // Into a file of the updater's own, as the whole download goes: whatever stands at its name
    // is removed, not followed, and it stays open until it is installed.
    clear_name(scope, scope[n.TEMP_EXE_NAME]);
    py::Ref file = platform::create_exclusive(scope, scope[n.TEMP_EXE_NAME]);
    bool rebuilt = false;
    py::with(file, [&](py::Borrowed out) {
        py::try_except(
            PyExc_Exception,
            [&] {
                rebuild(scope, found, release, out);
                rebuilt = true;
            },
            [&](py::Borrowed error) { given_up(scope, found, error); });
        if (rebuilt) {
            install(out);
        }
    });
    if (!rebuilt) {
        py::try_except(PyExc_OSError, [&] { remove_file(scope, scope[n.TEMP_EXE_NAME]); },
                       [](py::Borrowed) {});
    }
    return rebuilt;
}

}  // namespace updater::update
