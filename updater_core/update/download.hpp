// Download with progress: the published executable is written into a file of the updater's own
// while a console progress bar follows the bytes received.
#pragma once

#include "capi/scope.hpp"
#include "update/release.hpp"

#include <functional>

namespace updater::update {

// Asks the store for the executable's size, says it, and downloads the executable object into a
// new file TEMP_EXE_NAME in the working directory while the bar runs; then says the download is
// done and calls `install` with the file, still open: it is closed when `install` returns.
// `release` (a build that requires signed releases) is what the download must be: a store that
// offers another size, or sends more, is refused; without one the store's size is the most.
void download(const py::Scope& scope, const Release* release,
              const std::function<void(py::Borrowed file)>& install);

// The console's progress bar (percentage, bar, time left, speed) over `most` bytes, started.
py::Ref start_progress_bar(const py::Scope& scope, py::Borrowed most);

}  // namespace updater::update
