#pragma once

#include "lines.hpp"

namespace updater::update {

// check_update_is_needed(): True when the local executable is missing or differs from the
// published one, False when it is identical.
extern const py::FunctionSpec check_update_is_needed;

}  // namespace updater::update
