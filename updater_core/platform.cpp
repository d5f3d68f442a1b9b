#include "platform.hpp"

#include "capi/ops.hpp"
#include "names.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace updater::platform {

void prepare_to_start([[maybe_unused]] const py::Scope& scope, [[maybe_unused]] py::Borrowed path) {
#if !UPDATER_PATH_STYLE_WINDOWS
    py::Ref stat = py::attr(scope[n.os], n.stat);
    py::Ref mode = py::attr(py::call(stat, path), n.st_mode);
    const long bits = PyLong_AsLong(mode.get());
    if (bits == -1 && PyErr_Occurred()) {
        throw py::ErrorAlreadySet{};
    }
    py::Ref chmod = py::attr(scope[n.os], n.chmod);
    py::call(chmod, path, py::integer(bits | ((bits & 0444) >> 2)));
#endif
}

namespace {

// The bot directory by the updater's rule, from the process's own working directory.
template <class String>
String bot_directory(String directory, const typename String::value_type* suffix) {
    const String bin(suffix);
    if (directory.size() >= bin.size() &&
        directory.compare(directory.size() - bin.size(), bin.size(), bin) == 0) {
        directory.resize(directory.size() - bin.size());
    }
    return directory;
}

}  // namespace

#if defined(_WIN32)

BotFolderLock::BotFolderLock() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring directory(size, L'\0');
    const DWORD length = GetCurrentDirectoryW(size, directory.data());
    if (size == 0 || length == 0 || length >= size) {
        PyErr_SetFromWindowsErr(0);
        throw py::ErrorAlreadySet{};
    }
    directory.resize(length);
    directory = bot_directory(directory, L"\\bin");
    // Paths are case-insensitive, and a mutex name is at most MAX_PATH long: the name is a
    // hash of the lower-cased path.
    std::wstring lower(directory.size(), L'\0');
    const int lowered = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, directory.data(),
                                      static_cast<int>(directory.size()), lower.data(),
                                      static_cast<int>(lower.size()), nullptr, nullptr, 0);
    if (lowered == 0 && !directory.empty()) {
        PyErr_SetFromWindowsErr(0);
        throw py::ErrorAlreadySet{};
    }
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (const wchar_t c : lower) {
        hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ULL;
    }
    wchar_t name[64];
    swprintf(name, 64, L"Local\\kelvo_bot.updater.%016llx", static_cast<unsigned long long>(hash));

    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) {
        PyErr_SetFromWindowsErr(0);
        throw py::ErrorAlreadySet{};
    }
    DWORD waited = 0;
    Py_BEGIN_ALLOW_THREADS
    waited = WaitForSingleObject(mutex, INFINITE);
    Py_END_ALLOW_THREADS
    // An abandoned mutex was held by an updater that died: it is ours now.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        PyErr_SetFromWindowsErr(0);
        CloseHandle(mutex);
        throw py::ErrorAlreadySet{};
    }
    mutex_ = mutex;
}

BotFolderLock::~BotFolderLock() {
    ReleaseMutex(static_cast<HANDLE>(mutex_));
    CloseHandle(static_cast<HANDLE>(mutex_));
}

#else

BotFolderLock::BotFolderLock() {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw py::ErrorAlreadySet{};
    }
    std::string directory = bot_directory(std::string(cwd), bin_suffix);
    std::free(cwd);
    if (directory.empty()) {
        directory.push_back('/');  // "/bin" is the bin directory of the root
    }
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, directory.c_str());
        throw py::ErrorAlreadySet{};
    }
    for (;;) {
        int status = 0;
        Py_BEGIN_ALLOW_THREADS
        status = flock(fd, LOCK_EX);
        Py_END_ALLOW_THREADS
        if (status == 0) {
            break;
        }
        // A signal while waiting: its handler runs (Ctrl-C raises KeyboardInterrupt here).
        if (errno != EINTR || PyErr_CheckSignals() < 0) {
            if (!PyErr_Occurred()) {
                PyErr_SetFromErrnoWithFilename(PyExc_OSError, directory.c_str());
            }
            close(fd);
            throw py::ErrorAlreadySet{};
        }
    }
    fd_ = fd;
}

BotFolderLock::~BotFolderLock() { close(fd_); }

#endif

}  // namespace updater::platform
