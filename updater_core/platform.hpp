// The one place that knows the platform.
//
// On Windows the updater forms its paths with a backslash and recognises a "\bin" working
// directory. On POSIX systems, where such paths cannot work, the same rules use "/" and "/bin".
// The build can force the Windows style on any system (UPDATER_PATH_STYLE=windows), so that the
// Windows path rules can be exercised where there is no Windows.
//
// The executable bit and the lock that keeps a second updater out of a bot folder live here
// too.
#pragma once

#include "capi/scope.hpp"

#if defined(UPDATER_WINDOWS_PATHS)
#define UPDATER_PATH_STYLE_WINDOWS 1
#elif defined(UPDATER_POSIX_PATHS)
#define UPDATER_PATH_STYLE_WINDOWS 0
#elif defined(_WIN32)
#define UPDATER_PATH_STYLE_WINDOWS 1
#else
#define UPDATER_PATH_STYLE_WINDOWS 0
#endif

namespace updater::platform {

#if UPDATER_PATH_STYLE_WINDOWS
inline constexpr const char* separator = "\\";
inline constexpr const char* bin_suffix = "\\bin";
#else
inline constexpr const char* separator = "/";
inline constexpr const char* bin_suffix = "/bin";
#endif

// Both suffixes are four characters; the bot directory drops exactly these.
inline constexpr long bin_suffix_length = 4;

// Makes the downloaded executable at `path` startable. A file written on POSIX has no execute
// permission, so it gets one for whoever may read it (os.stat, then os.chmod); Windows starts
// any .exe, and a Windows-style build elsewhere only tests the path rules: nothing is called.
void prepare_to_start(const py::Scope& scope, py::Borrowed path);

// One updater at a time per bot folder: an operating-system lock on the bot directory (the
// working directory, or its parent when it is a bin subdirectory), taken by the constructor,
// which waits for any other holder, and released by the destructor. The system releases it
// when a process dies, so a killed updater never leaves a stale lock. Nothing is created in the
// folder: POSIX locks the directory itself (flock), Windows a named mutex made from its path.
class BotFolderLock {
public:
    BotFolderLock();
    ~BotFolderLock();
    BotFolderLock(const BotFolderLock&) = delete;
    BotFolderLock& operator=(const BotFolderLock&) = delete;

private:
#if defined(_WIN32)
    void* mutex_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace updater::platform
