#pragma once

#include "capi/scope.hpp"
#include "lines.hpp"

#include <functional>

namespace updater::update {

// get_update.<locals>.replace_exe(): puts the downloaded file in the place of the executable,
// never leaving the bot directory without one, and returns the name the old executable was set
// aside under (None when there was none), which stays until the new one has started.
extern const py::FunctionSpec replace_exe;

// The set-aside copy `old_copy` renamed back over `exe` in one step, retried while refused.
void put_back(const py::Scope& scope, py::Borrowed old_copy, py::Borrowed exe);

// os.unlink(path); a read-only file (which Windows refuses to remove) is made writable first.
void remove_file(const py::Scope& scope, py::Borrowed path);

// Makes `path` free for a file of the updater's own: a file or link standing there is removed
// without following it; a folder is an error that says so.
void clear_name(const py::Scope& scope, py::Borrowed path);

// Runs `move`; while another program refuses it (PermissionError), waits half a second and runs
// it again, a few times.
void move_retrying(const py::Scope& scope, const std::function<void()>& move);

// Raises IsADirectoryError: a folder stands where the updater must put a file of its own.
[[noreturn]] void folder_in_the_way(const py::Scope& scope, py::Borrowed path);

// When the bot directory holds the set-aside copy of the executable but no executable (an
// updater was killed between setting it aside and moving the new one in), the copy goes back;
// when that fails, the person is told where it stays. Beside an executable, a set-aside copy is
// stale and is removed.
void restore_set_aside(const py::Scope& scope);

}  // namespace updater::update
