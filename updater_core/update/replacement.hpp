#pragma once

#include "capi/scope.hpp"
#include "lines.hpp"

namespace updater::update {

// get_update.<locals>.replace_exe(): puts the downloaded file in the place of the executable,
// never leaving the bot directory without one, and returns the name the old executable was set
// aside under (None when there was none), which stays until the new one has started.
extern const py::FunctionSpec replace_exe;

// The set-aside copy `old_copy` renamed back over `exe` in one step, retried while refused.
void put_back(const py::Scope& scope, py::Borrowed old_copy, py::Borrowed exe);

// When the bot directory holds the set-aside copy of the executable but no executable (an
// updater was killed between setting it aside and moving the new one in), the copy goes back;
// when that fails, the person is told where it stays. Beside an executable, a set-aside copy is
// stale and is removed.
void restore_set_aside(const py::Scope& scope);

}  // namespace updater::update
