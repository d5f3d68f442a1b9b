// File-name operations of the update: removing a file of the updater's own, freeing a name for
// one, the moves and starts that another program may briefly refuse, and the error for a folder
// that stands in a file's place. Every room that writes in the bot folder uses them.
#pragma once

#include "capi/scope.hpp"

#include <functional>

namespace updater::update {

// os.unlink(path); a read-only file (which Windows refuses to remove) is made writable first.
void remove_file(const py::Scope& scope, py::Borrowed path);

// remove_file(path) as far as it can: a failure (the file is gone already, or held) is dropped.
void remove_if_there(const py::Scope& scope, py::Borrowed path);

// Makes `path` free for a file of the updater's own: a file or link standing there is removed
// without following it; a folder is an error that says so.
void clear_name(const py::Scope& scope, py::Borrowed path);

// Runs `attempt`; while it raises an OSError for which `held` is true (another program holds the
// file for a moment: a virus scanner on the fresh file is the common case), waits half a second
// and runs it again, for about two and a half seconds. The last refusal goes on unchanged.
void retrying_while_held(const py::Scope& scope, const std::function<void()>& attempt,
                         const std::function<bool(py::Borrowed error)>& held);

// Runs `move`, retried while it is refused (PermissionError).
void move_retrying(const py::Scope& scope, const std::function<void()>& move);

// Raises IsADirectoryError: a folder stands where the updater must put a file of its own.
[[noreturn]] void folder_in_the_way(const py::Scope& scope, py::Borrowed path);

// Refuses the update as "disk_full": `folder` has no room for the `needed` bytes of the
// executable. Said in the person's language, with the folder and the size.
[[noreturn]] void refuse_no_room(const py::Scope& scope, py::Borrowed folder, py::Borrowed needed);

// Runs `write`, which writes the executable's `needed` bytes into a file in `folder`; when the
// file system runs out of room for them, the update is refused as "disk_full" (refuse_no_room),
// after the system's error.
void refused_when_full(const py::Scope& scope, py::Borrowed folder, py::Borrowed needed,
                       const std::function<void()>& write);

}  // namespace updater::update
