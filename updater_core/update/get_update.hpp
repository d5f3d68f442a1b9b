#pragma once

#include "lines.hpp"

namespace updater::update {

// get_update(): downloads the published executable with a progress bar, checks it against the
// published digest, puts it in the place of the old one, and starts the bot.
extern const py::FunctionSpec get_update;

}  // namespace updater::update
