// The start of the bot, once the update is in place.
#pragma once

#include "capi/scope.hpp"

namespace updater::update {

// How long the updater waits once the bot has started, before it ends.
inline constexpr long seconds_after_start = 3;

// Says the update is done, leaves a bin subdirectory (the bot starts in the bot directory, and
// the change of the process's working directory outlasts the update), starts the executable
// there and waits `seconds_after_start`. The bot runs on after the updater ends.
//
// `set_aside` names the old executable's set-aside copy (None, or empty, when there is none):
// once the new executable has started it is removed, as far as it can be (a copy left is
// removed by the next run). When the system cannot start the new executable at all (OSError:
// not a program of this system, blocked, gone), the copy goes back over it, and the update ends
// refused, as `not_started`, after the system's error.
void start_bot(const py::Scope& scope, py::Borrowed set_aside);

}  // namespace updater::update
