// The one place that knows the platform.
//
// On Windows the updater forms its paths with a backslash and recognises a "\bin" working
// directory. On POSIX systems, where such paths cannot work, the same rules use "/" and "/bin".
// The build can force the Windows style on any system (UPDATER_PATH_STYLE=windows), so that the
// Windows path rules can be exercised where there is no Windows.
//
// The executable bit, the flushes that make a replacement last a power cut, and the lock that
// keeps a second process out of a folder live here too.
#pragma once

#include "capi/interned.hpp"
#include "capi/scope.hpp"

#include <chrono>
#include <functional>

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

// The platform knows none of the updater's words: what it looks up and calls it names here, in
// Python's words, interned once per interpreter (the rooms above pass them too); what is the
// updater's (a path, the lock's name) it is given.
#define UPDATER_PLATFORM_WORDS(WORD, TEXT)                                                     \
    WORD(os) WORD(open) WORD(fileno) WORD(stat) WORD(st_mode) WORD(chmod) WORD(close)           \
    WORD(msvcrt) WORD(open_osfhandle) TEXT(create_read_write, "x+b") TEXT(read_write, "r+b")    \
    WORD(flush) WORD(fsync) WORD(rename) WORD(replace) TEXT(read_only_flag, "O_RDONLY")        \
    TEXT(write_only_flag, "O_WRONLY") TEXT(create_flag, "O_CREAT") TEXT(exclusive_flag, "O_EXCL") \
    TEXT(write_binary, "wb") TEXT(error_number, "errno") TEXT(windows_error, "winerror")

struct Words {
    UPDATER_PLATFORM_WORDS(UPDATER_DECLARE_WORD, UPDATER_DECLARE_TEXT)
};

// The table, filled on first use in the interpreter.
const Words& words();

// Both suffixes are four characters; the bot directory drops exactly these.
inline constexpr long bin_suffix_length = 4;

// Makes the download, open as `file`, startable, with the permissions of the program it
// replaces. On POSIX it takes the permission bits of the file at `like` (a str: the executable it
// replaces), or, with none there, its own less the group's and others' write (whatever the
// umask left them), and in either case execute permission for whoever may read it; os.stat and
// os.chmod work on the open file's descriptor, so that no name is followed. Windows starts any
// .exe, and a Windows-style build elsewhere only tests the path rules: nothing is called.
void make_executable(const py::Scope& scope, py::Borrowed file, py::Borrowed like);

// A new file at `path` (a str: a bare name or a full path), created exclusively (a file or link
// standing there is an error, never followed), open for reading and writing as a binary file
// object without a buffer of its own: every write reaches the system at once, so that a full
// disk stops the first write that finds no room, and closing the file writes nothing more. The
// file the updater checks is then the file it installs: it is read back and renamed
// into place through this one open file. On Windows no other program may write the file while
// it is open, and it may be renamed and removed while open.
py::Ref create_exclusive(const py::Scope& scope, py::Borrowed path);

// A new file at `path` (a str), created exclusively, that neither its group nor anybody else may
// write whatever the umask (on POSIX, os.open with mode 0644, which the umask can only narrow;
// Windows gives a new file its folder's access list), open for writing as a binary file object.
py::Ref create_private(const py::Scope& scope, py::Borrowed path);

// Whether this user may create files in the folder `directory` (a str; the empty text is the
// root). POSIX asks the system (faccessat for writing and searching, with the effective
// identity); Windows, whose access lists only a try can answer, creates the file `probe` (a
// name) there, which goes when its handle closes, even should the process be killed. Only a
// refusal counts: a folder that is not there, or any other failure, answers true, and the
// steps that then write there fail with their own errors.
bool may_write(py::Borrowed directory, py::Borrowed probe);

// Writes the file object `file` (open for writing) through to the device: its buffer is flushed,
// then os.fsync is called on its descriptor (on Windows that is FlushFileBuffers). A file must
// be on the device before it is renamed over another, or a power cut may leave the name with
// no data behind it.
void sync_file(const py::Scope& scope, py::Borrowed file);

// Writes the entries of the folder `directory` (a str; the empty text is the root) through to
// the device, so that a rename in it outlasts a power cut: on POSIX the folder is opened for
// reading (os.open) and flushed (os.fsync); a file system that has no such flush (EINVAL) is left
// as it is. Windows has no flush of a folder, so nothing is called there: a rename that must last
// is made with move_through or replace_through.
void sync_folder(const py::Scope& scope, py::Borrowed directory);

// os.rename(source, target) (both str), which on Windows is write-through: MoveFileExW with
// MOVEFILE_WRITE_THROUGH, which returns once the move is on the device.
void move_through(const py::Scope& scope, py::Borrowed source, py::Borrowed target);

// os.replace(source, target) (both str): the same, over a file that stands at `target`.
void replace_through(const py::Scope& scope, py::Borrowed source, py::Borrowed target);

// Whether the OSError `error` says that another program holds the file for the moment (a
// virus scanner that has just opened it), so that the same step may succeed a moment later:
// on POSIX a program file open for writing (ETXTBSY), on Windows a sharing or lock violation.
bool held_by_another(py::Borrowed error);

// Whether the OSError `error` says that the file system has no room left (ENOSPC, or the
// user's quota, EDQUOT; Python gives Windows' "disk full" errors as ENOSPC too).
bool no_room(py::Borrowed error);

// Whether the program file at `path` (a str) runs now: Windows lets nobody write the file of a
// running program, nor remove it, so an update would fail after its download. Elsewhere, and
// for a file that is not there, false.
bool running(py::Borrowed path);

// One process at a time per folder: an operating-system lock for the folder `directory` (a str),
// named after `name` (a str), taken by the constructor and released by the destructor. The
// system releases it when a process dies, so a killed holder never leaves a stale lock.
//
// Only the process's own user can hold it. POSIX locks the file `name` in the folder (joined
// with "/"), created readable and writable by its owner only (a lock on the folder itself would
// need no more than the right to read it); a file found there counts only when it is a regular
// file of this user that nobody else may write. Windows locks a named mutex made from the
// folder's identity (its volume and file ID), so that every spelling of one folder (drive
// letters, short names, junctions) meets the same lock, with an access list of the current user,
// SYSTEM and Administrators. A folder that cannot be locked at all (a file system without locks)
// is not locked.
//
// When another process holds the lock, `on_wait` is called once and the constructor waits;
// Ctrl-C ends the wait with KeyboardInterrupt, and after `patience` `on_give_up` is called, which
// raises. When the name is taken by something the process cannot use (another user's file or
// mutex, a file others may write, a link), `on_unusable` is called with what it is, and the
// constructor returns without the lock. When POSIX refuses to create the file for lack of
// permission (the folder may not be written, or its file system is read-only), `on_unwritable`
// is called with the folder; it may raise, and otherwise there is no lock.
class FolderLock {
public:
    struct Callbacks {
        std::function<void()> on_wait;
        std::function<void()> on_give_up;
        std::function<void(py::Borrowed what)> on_unusable;
        std::function<void(py::Borrowed folder)> on_unwritable;
    };

    FolderLock(py::Borrowed directory, py::Borrowed name, std::chrono::seconds patience,
               const Callbacks& callbacks);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
#if defined(_WIN32)
    void* mutex_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// The number of this process: a child forked from it has another, and none of its threads
// but the one that forked.
long process_id() noexcept;

}  // namespace updater::platform
