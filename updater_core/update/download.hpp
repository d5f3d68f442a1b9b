#pragma once

#include "capi/function.hpp"

namespace updater::update {

// get_update(): downloads the published executable with a progress bar, puts it in the place
// of the old one, and starts the bot.
extern const py::FunctionSpec get_update;

// get_update.<locals>.replace_exe(): puts the downloaded file in the place of the executable.
extern const py::FunctionSpec replace_exe;

}  // namespace updater::update
