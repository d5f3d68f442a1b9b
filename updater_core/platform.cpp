#include "platform.hpp"

#include "capi/interned.hpp"
#include "capi/ops.hpp"

#include <cerrno>
#include <chrono>
#include <memory>

#if defined(_WIN32)
#include <windows.h>
#include <sddl.h>
#include <cwchar>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace updater::platform {

namespace {

Words intern_words() {
    Words table;
    UPDATER_PLATFORM_WORDS(UPDATER_INTERN_WORD, UPDATER_INTERN_TEXT)
    return table;
}

constinit py::PerInterpreter<Words> held_words(intern_words);

}  // namespace

const Words& words() { return held_words.get(); }

void make_executable([[maybe_unused]] const py::Scope& scope, [[maybe_unused]] py::Borrowed file,
                     [[maybe_unused]] py::Borrowed like) {
#if !UPDATER_PATH_STYLE_WINDOWS
    py::Ref os = scope[words().os];
    py::Ref stat = py::attr(os, words().stat);
    constexpr long permissions = 0777, others_write = 0022, read = 0444;
    long bits = -1;
    py::try_except(
        PyExc_FileNotFoundError,
        [&] { bits = py::as_long(py::attr(py::call(stat, like), words().st_mode)) & permissions; },
        [](py::Borrowed) {});
    py::Ref descriptor = py::call_method(file, words().fileno);
    if (bits < 0) {
        bits = py::as_long(py::attr(py::call(stat, descriptor), words().st_mode)) & permissions &
               ~others_write;
    }
    py::call(py::attr(os, words().chmod), descriptor, py::integer(bits | ((bits & read) >> 2)));
#endif
}

namespace {

// The number an OSError carries in `field` ("errno", "winerror"), or -1 when it carries none.
long error_code(py::Borrowed error, py::Borrowed field) {
    py::Ref code = py::Ref::steal_or_null(PyObject_GetAttr(error.get(), field.get()));
    if (!code) {
        PyErr_Clear();
        return -1;
    }
    return PyLong_Check(code.get()) ? py::as_long(code) : -1;
}

}  // namespace

bool held_by_another(py::Borrowed error) {
#if defined(_WIN32)
    const long code = error_code(error, words().windows_error);
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
#else
    return error_code(error, words().error_number) == ETXTBSY;
#endif
}

bool no_room(py::Borrowed error) {
    const long code = error_code(error, words().error_number);
#if defined(EDQUOT)
    return code == ENOSPC || code == EDQUOT;
#else
    return code == ENOSPC;
#endif
}

void sync_file(const py::Scope& scope, py::Borrowed file) {
    py::call_method(file, words().flush);
    py::Ref descriptor = py::call_method(file, words().fileno);
    py::call(py::attr(scope[words().os], words().fsync), descriptor);
}

void sync_folder([[maybe_unused]] const py::Scope& scope, [[maybe_unused]] py::Borrowed directory) {
#if !UPDATER_PATH_STYLE_WINDOWS
    py::Ref os = scope[words().os];
    py::Ref folder = py::truth(directory) ? py::Ref::share(directory) : py::str("/");
    py::Ref open = py::attr(os, words().open);
    py::Ref read_only = py::attr(os, words().read_only_flag);
    py::Ref descriptor = py::call(open, folder, read_only);
    py::Ref close = py::attr(os, words().close);
    py::cleanup_on_error(
        [&] {
            py::try_except(
                PyExc_OSError, [&] { py::call(py::attr(os, words().fsync), descriptor); },
                [&](py::Borrowed error) {
                    // Some network and user-space file systems keep no folder to flush.
                    if (py::as_long(py::attr(error, words().error_number)) != EINVAL) {
                        py::raise_again(error);
                    }
                });
        },
        [&] { py::call(close, descriptor); });
    py::call(close, descriptor);
#endif
}

#if defined(_WIN32)

namespace {

// A str as the wide-character text that Windows' functions take.
using Wide = std::unique_ptr<wchar_t, decltype(&PyMem_Free)>;

Wide wide(py::Borrowed text) {
    Wide result(PyUnicode_AsWideCharString(text.get(), nullptr), &PyMem_Free);
    if (!result) {
        throw py::ErrorAlreadySet{};
    }
    return result;
}

}  // namespace

py::Ref create_exclusive(const py::Scope& scope, py::Borrowed path) {
    const Wide name = wide(path);
    // Shared for reading and for renaming or removal, never for writing; not inherited by the
    // bot started later.
    HANDLE file = CreateFileW(name.get(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, 0, path.get());
        throw py::ErrorAlreadySet{};
    }
    // The handle becomes a C runtime descriptor, which the file object then owns.
    py::Ref descriptor;
    try {
        py::Ref msvcrt = scope.import(words().msvcrt, nullptr);
        py::Ref handle = py::Ref::steal(PyLong_FromVoidPtr(file));
        descriptor = py::call(py::attr(msvcrt, words().open_osfhandle), handle, py::integer(0));
    } catch (...) {
        CloseHandle(file);
        throw;
    }
    py::Ref result;
    py::cleanup_on_error(
        [&] {
            result = py::call(scope[words().open], descriptor, words().read_write, py::integer(0));
        },
        [&] { py::call(py::attr(scope[words().os], words().close), descriptor); });
    return result;
}

py::Ref create_private(const py::Scope& scope, py::Borrowed path) {
    return py::call(scope[words().open], path, words().create_read_write);
}

bool may_write(py::Borrowed directory, py::Borrowed probe) {
    py::Ref path = py::concat({directory, py::str("\\"), probe});
    const Wide name = wide(path);
    HANDLE file = CreateFileW(name.get(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error != ERROR_ACCESS_DENIED && error != ERROR_WRITE_PROTECT;
    }
    CloseHandle(file);
    return true;
}

bool running(py::Borrowed path) {
    const Wide name = wide(path);
    // Asking to write, sharing everything: only a running program's file (or one that another
    // program holds against writing) refuses that. Nothing is written.
    HANDLE file = CreateFileW(name.get(), FILE_WRITE_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(file);
    return false;
}

namespace {

void move_file(py::Borrowed source, py::Borrowed target, DWORD flags) {
    const Wide from = wide(source);
    const Wide to = wide(target);
    BOOL moved = FALSE;
    Py_BEGIN_ALLOW_THREADS
    moved = MoveFileExW(from.get(), to.get(), flags | MOVEFILE_WRITE_THROUGH);
    Py_END_ALLOW_THREADS
    if (!moved) {
        PyErr_SetExcFromWindowsErrWithFilenameObjects(PyExc_OSError, 0, source.get(), target.get());
        throw py::ErrorAlreadySet{};
    }
}

}  // namespace

void move_through(const py::Scope&, py::Borrowed source, py::Borrowed target) {
    move_file(source, target, 0);
}

void replace_through(const py::Scope&, py::Borrowed source, py::Borrowed target) {
    move_file(source, target, MOVEFILE_REPLACE_EXISTING);
}

namespace {

// The folder's identity, as a mutex name: the same for every path that reaches it. Empty when
// the file system gives none.
std::wstring lock_name(py::Borrowed directory, py::Borrowed base) {
    const Wide path = wide(directory);
    HANDLE folder = CreateFileW(path.get(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return {};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL known = GetFileInformationByHandle(folder, &info);
    CloseHandle(folder);
    if (!known) {
        return {};
    }
    const Wide prefix = wide(base);
    wchar_t identity[32];
    swprintf(identity, 32, L".%08lx.%08lx%08lx", static_cast<unsigned long>(info.dwVolumeSerialNumber),
             static_cast<unsigned long>(info.nFileIndexHigh),
             static_cast<unsigned long>(info.nFileIndexLow));
    return std::wstring(L"Local\\") + prefix.get() + identity;
}

// An access list of the current user, SYSTEM and Administrators: a process of the same user,
// elevated or not, may wait for the mutex; no other user may take or change it.
struct OwnAccess {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ~OwnAccess() { LocalFree(descriptor); }
};

bool own_access(OwnAccess& access) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> user(new BYTE[size]);
    const BOOL known = GetTokenInformation(token, TokenUser, user.get(), size, &size);
    CloseHandle(token);
    LPWSTR sid = nullptr;
    if (!known || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, &sid)) {
        return false;
    }
    const std::wstring sddl = std::wstring(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;") + sid + L")";
    LocalFree(sid);
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                &access.descriptor, nullptr);
}

}  // namespace

FolderLock::FolderLock(py::Borrowed directory, py::Borrowed base, std::chrono::seconds patience,
                       const Callbacks& callbacks) {
    const std::wstring name = lock_name(directory, base);
    if (name.empty()) {
        return;
    }
    OwnAccess access;
    if (!own_access(access)) {
        return;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, access.descriptor, FALSE};
    HANDLE mutex = CreateMutexW(&attributes, FALSE, name.c_str());
    if (mutex == nullptr) {
        // The name is another user's mutex, or no mutex at all: said, and no lock.
        py::Ref what = py::Ref::steal(PyUnicode_FromWideChar(name.c_str(), -1));
        callbacks.on_unusable(what);
        return;
    }
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_TIMEOUT) {
        try {
            callbacks.on_wait();
        } catch (...) {
            CloseHandle(mutex);
            throw;
        }
        // The wait is cut into short slices so that Ctrl-C, which Python notes from its console
        // handler, is answered between them.
        const ULONGLONG give_up_at =
            GetTickCount64() + static_cast<ULONGLONG>(
                std::chrono::duration_cast<std::chrono::milliseconds>(patience).count());
        for (;;) {
            Py_BEGIN_ALLOW_THREADS
            waited = WaitForSingleObject(mutex, 100);
            Py_END_ALLOW_THREADS
            if (waited != WAIT_TIMEOUT) {
                break;
            }
            if (PyErr_CheckSignals() < 0) {
                CloseHandle(mutex);
                throw py::ErrorAlreadySet{};
            }
            if (GetTickCount64() >= give_up_at) {
                CloseHandle(mutex);
                callbacks.on_give_up();
                throw py::ErrorAlreadySet{};
            }
        }
    }
    // An abandoned mutex was held by a process that died: it is ours now.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return;
    }
    mutex_ = mutex;
}

FolderLock::~FolderLock() {
    if (mutex_ != nullptr) {
        ReleaseMutex(static_cast<HANDLE>(mutex_));
        CloseHandle(static_cast<HANDLE>(mutex_));
    }
}

#else

bool running(py::Borrowed) { return false; }

py::Ref create_private(const py::Scope& scope, py::Borrowed path) {
    py::Ref os = scope[words().os];
    const long flags = py::as_long(py::attr(os, words().write_only_flag)) |
                       py::as_long(py::attr(os, words().create_flag)) |
                       py::as_long(py::attr(os, words().exclusive_flag));
    py::Ref descriptor =
        py::call(py::attr(os, words().open), path, py::integer(flags), py::integer(0644));
    py::Ref file;
    py::cleanup_on_error(
        [&] { file = py::call(scope[words().open], descriptor, words().write_binary); },
        [&] { py::call(py::attr(os, words().close), descriptor); });
    return file;
}

bool may_write(py::Borrowed directory, py::Borrowed) {
    py::Ref folder = py::truth(directory) ? py::Ref::share(directory) : py::str("/");
    py::Ref encoded = py::Ref::steal(PyUnicode_EncodeFSDefault(folder.get()));
    if (faccessat(AT_FDCWD, PyBytes_AS_STRING(encoded.get()), W_OK | X_OK, AT_EACCESS) == 0) {
        return true;
    }
    return errno != EACCES && errno != EPERM && errno != EROFS;
}

void move_through(const py::Scope& scope, py::Borrowed source, py::Borrowed target) {
    py::call(py::attr(scope[words().os], words().rename), source, target);
}

void replace_through(const py::Scope& scope, py::Borrowed source, py::Borrowed target) {
    py::call(py::attr(scope[words().os], words().replace), source, target);
}

py::Ref create_exclusive(const py::Scope& scope, py::Borrowed path) {
    py::Ref open = scope[words().open];
    return py::call(open, path, words().create_read_write, py::integer(0));
}

namespace {

// Whether the open file is one that only this user can have made and can write: a regular file
// of this user that neither its group nor anybody else may write. Any other file at the lock's
// name could be another user's (one who may write the folder, or who made the file writable for
// all), who could then hold it and keep every process of this user waiting.
bool own_private_file(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

FolderLock::FolderLock(py::Borrowed directory, py::Borrowed name, std::chrono::seconds patience,
                       const Callbacks& callbacks) {
    py::Ref path = py::concat({directory, py::str("/"), name});
    py::Ref encoded = py::Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
    py::Ref folder = py::Ref::steal(PyUnicode_EncodeFSDefault(directory.get()));
    const char* file = PyBytes_AS_STRING(encoded.get());
    // Never through a link: whatever stands at the name is the lock's or nothing.
    const int fd = open(file, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        struct stat status {};
        if (error == EROFS ||
            ((error == EACCES || error == EPERM) && lstat(file, &status) != 0 && errno == ENOENT)) {
            // Nothing stands at the name, and this user may not create it there.
            callbacks.on_unwritable(directory);
        } else if (error == EACCES || error == EPERM || error == ELOOP || error == EISDIR ||
                   error == ENXIO) {
            // Something this user may not open, a link, a folder or a device stands there.
            callbacks.on_unusable(path);
        }
        // A folder that is not there, or another failure of the file system, goes unlocked in
        // silence: what the caller does next there fails with its own error.
        return;
    }
    if (!own_private_file(fd)) {
        close(fd);
        callbacks.on_unusable(path);
        return;
    }
    // The file may stand from an earlier run in a folder that may not be written any more.
    if (faccessat(AT_FDCWD, PyBytes_AS_STRING(folder.get()), W_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EPERM || errno == EROFS)) {
        close(fd);
        callbacks.on_unwritable(directory);
        return;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        fd_ = fd;
        return;
    }
    if (errno != EWOULDBLOCK) {
        close(fd);
        return;
    }
    try {
        callbacks.on_wait();
    } catch (...) {
        close(fd);
        throw;
    }
    const auto give_up_at =
        std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (PyErr_CheckSignals() < 0) {
            close(fd);
            throw py::ErrorAlreadySet{};
        }
        if (std::chrono::steady_clock::now() >= give_up_at) {
            close(fd);
            callbacks.on_give_up();
            throw py::ErrorAlreadySet{};
        }
        int error = 0;
        Py_BEGIN_ALLOW_THREADS
        error = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
        if (error == EWOULDBLOCK) {
            usleep(100'000);
        }
        Py_END_ALLOW_THREADS
        if (error == 0) {
            fd_ = fd;
            return;
        }
        if (error != EWOULDBLOCK && error != EINTR) {
            close(fd);
            return;
        }
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

#endif

long process_id() noexcept {
#if defined(_WIN32)
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}

}  // namespace updater::platform
