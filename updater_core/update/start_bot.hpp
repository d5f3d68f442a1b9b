// The start of the bot, once the update is in place.
#pragma once

#include "capi/scope.hpp"

namespace updater::update {

// Says the update is done, leaves a bin subdirectory (the bot starts in the bot directory, and
// the change of the process's working directory outlasts the update), starts the executable
// there and waits three seconds. The bot runs on after the updater ends.
void start_bot(const py::Scope& scope);

}  // namespace updater::update
