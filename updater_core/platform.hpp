// The one place that knows the platform.
//
// On Windows the updater forms its paths with a backslash and recognises a "\bin" working
// directory. On POSIX systems, where such paths cannot work, the same rules use "/" and "/bin".
// The build can force the Windows style on any system (UPDATER_PATH_STYLE=windows), so that the
// Windows path rules can be exercised where there is no Windows.
//
// The executable bit belongs here too: a downloaded file has no execute permission on POSIX,
// so it must be given one before it can be started. Windows has no such bit.
#pragma once

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
// Windows starts any file named .exe; a Windows-style build elsewhere is only for testing the
// path rules, and marks nothing either.
inline constexpr bool needs_executable_bit = false;
#else
inline constexpr const char* separator = "/";
inline constexpr const char* bin_suffix = "/bin";
inline constexpr bool needs_executable_bit = true;
#endif

// Both suffixes are four characters; the bot directory drops exactly these.
inline constexpr long bin_suffix_length = 4;

}  // namespace updater::platform
