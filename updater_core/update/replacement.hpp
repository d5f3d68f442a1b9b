#pragma once

#include "lines.hpp"

namespace updater::update {

// get_update.<locals>.replace_exe(): puts the downloaded file in the place of the executable,
// never leaving the bot directory without one.
extern const py::FunctionSpec replace_exe;

}  // namespace updater::update
