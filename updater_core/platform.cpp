#include "platform.hpp"

#include "capi/ops.hpp"
#include "names.hpp"

#include <chrono>
#include <memory>

#if defined(_WIN32)
#include <windows.h>
#include <cwchar>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace updater::platform {

void make_executable([[maybe_unused]] const py::Scope& scope, [[maybe_unused]] py::Borrowed file) {
#if !UPDATER_PATH_STYLE_WINDOWS
    py::Ref descriptor = py::call_method(file, n.fileno);
    py::Ref mode = py::attr(py::call(py::attr(scope[n.os], n.stat), descriptor), n.st_mode);
    const long bits = PyLong_AsLong(mode.get());
    if (bits == -1 && PyErr_Occurred()) {
        throw py::ErrorAlreadySet{};
    }
    py::call(py::attr(scope[n.os], n.chmod), descriptor,
             py::integer(bits | ((bits & 0444) >> 2)));
#endif
}

#if defined(_WIN32)

py::Ref create_exclusive(const py::Scope& scope, py::Borrowed path) {
    std::unique_ptr<wchar_t, decltype(&PyMem_Free)> name(
        PyUnicode_AsWideCharString(path.get(), nullptr), &PyMem_Free);
    if (!name) {
        throw py::ErrorAlreadySet{};
    }
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
        py::Ref msvcrt = scope.import(n.msvcrt, nullptr);
        py::Ref handle = py::Ref::steal(PyLong_FromVoidPtr(file));
        descriptor = py::call(py::attr(msvcrt, n.open_osfhandle), handle, py::integer(0));
    } catch (...) {
        CloseHandle(file);
        throw;
    }
    py::Ref result;
    py::cleanup_on_error(
        [&] { result = py::call(scope[n.open], descriptor, n.mode_read_write); },
        [&] { py::call(py::attr(scope[n.os], n.close), descriptor); });
    return result;
}

namespace {

// The folder's identity, as a mutex name: the same for every path that reaches it. Empty when
// the file system gives none.
std::wstring lock_name(py::Borrowed directory) {
    std::unique_ptr<wchar_t, decltype(&PyMem_Free)> path(
        PyUnicode_AsWideCharString(directory.get(), nullptr), &PyMem_Free);
    if (!path) {
        throw py::ErrorAlreadySet{};
    }
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
    wchar_t name[64];
    swprintf(name, 64, L"Local\\kelvo_bot.updater.%08lx.%08lx%08lx",
             static_cast<unsigned long>(info.dwVolumeSerialNumber),
             static_cast<unsigned long>(info.nFileIndexHigh),
             static_cast<unsigned long>(info.nFileIndexLow));
    return name;
}

}  // namespace

BotFolderLock::BotFolderLock(py::Borrowed directory, const std::function<void()>& on_wait,
                             const std::function<void()>& on_give_up) {
    const std::wstring name = lock_name(directory);
    if (name.empty()) {
        return;
    }
    // A null access list: a mutex made by an elevated updater can still be waited for by a
    // normal one, instead of being refused to it.
    SECURITY_DESCRIPTOR open_to_all{};
    open_to_all.Revision = SECURITY_DESCRIPTOR_REVISION;
    open_to_all.Control = SE_DACL_PRESENT;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &open_to_all, FALSE};
    HANDLE mutex = CreateMutexW(&attributes, FALSE, name.c_str());
    if (mutex == nullptr) {
        mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
        if (mutex == nullptr) {
            return;
        }
    }
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_TIMEOUT) {
        try {
            on_wait();
        } catch (...) {
            CloseHandle(mutex);
            throw;
        }
        // The wait is cut into short slices so that Ctrl-C, which Python notes from its console
        // handler, is answered between them.
        const ULONGLONG give_up_at = GetTickCount64() + patience_seconds * 1000ULL;
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
                on_give_up();
                throw py::ErrorAlreadySet{};
            }
        }
    }
    // An abandoned mutex was held by an updater that died: it is ours now.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return;
    }
    mutex_ = mutex;
}

BotFolderLock::~BotFolderLock() {
    if (mutex_ != nullptr) {
        ReleaseMutex(static_cast<HANDLE>(mutex_));
        CloseHandle(static_cast<HANDLE>(mutex_));
    }
}

#else

py::Ref create_exclusive(const py::Scope& scope, py::Borrowed path) {
    py::Ref open = scope[n.open];
    return py::call(open, path, n.mode_create_read_write);
}

BotFolderLock::BotFolderLock(py::Borrowed directory, const std::function<void()>& on_wait,
                             const std::function<void()>& on_give_up) {
    py::Ref encoded = py::Ref::steal(PyUnicode_EncodeFSDefault(directory.get()));
    const char* path = PyBytes_AS_STRING(encoded.get());
    // "/bin" is the bin directory of the root, whose bot directory is the empty text.
    const int fd = open(*path != '\0' ? path : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
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
        on_wait();
    } catch (...) {
        close(fd);
        throw;
    }
    // The lock is asked for again every tenth of a second rather than waited for in one
    // blocking call, so that Ctrl-C is answered between the attempts: a signal that arrives
    // just before a blocking call would only be noted, and the wait would go on.
    const auto give_up_at =
        std::chrono::steady_clock::now() + std::chrono::seconds(patience_seconds);
    for (;;) {
        if (PyErr_CheckSignals() < 0) {
            close(fd);
            throw py::ErrorAlreadySet{};
        }
        if (std::chrono::steady_clock::now() >= give_up_at) {
            close(fd);
            on_give_up();
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

BotFolderLock::~BotFolderLock() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

#endif

}  // namespace updater::platform
