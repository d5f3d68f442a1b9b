#pragma once

#include "lines.hpp"

namespace updater::update {

// check_update_is_needed(): True when the local executable is missing or differs from the
// published one, False when it is identical.
extern const py::FunctionSpec check_update_is_needed;

// When the bot is current, the window closes after this many seconds: the check says so, and
// the start-up sequence waits them.
inline constexpr long seconds_before_closing = 60;

}  // namespace updater::update
