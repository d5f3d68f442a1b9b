// Patch updates: a bot one release behind downloads what changed, not the whole executable.
//
// Beside each release the publisher stores patches to it from earlier executables, each named
// after the SHA-256 of the executable it applies to (cmake/project.json), so that a bot asks for
// its own by its digest, with no index to read. A patch is one zstd frame made with the old
// executable as its referenced prefix and long-distance matching (backports.zstd, which is the
// standard library's compression.zstd from Python 3.14 on). The patch itself is not signed: only
// a build that requires signed releases tries one, and what it makes must be the signed size
// and digest before it is installed.
#pragma once

#include "capi/scope.hpp"
#include "update/release.hpp"

#include <functional>

namespace updater::update {

// Tries the patch from the executable in the bot directory `bots` to `release`: downloads it
// with the progress bar over its bytes, under the store's watch, and rebuilds the new executable
// from it into a new file TEMP_EXE_NAME in the working directory, streaming against the old one
// (mapped, not copied) and stopping at the first byte past the signed size. When the result has
// the signed size and digest, calls `install` with the file, still open, and returns true.
// Whatever keeps a patch from being used (none published, refused, cut short, malformed, too
// large, a result that is not the release) is said in one line, the file goes, and it returns
// false: the caller downloads the whole executable. With no executable to patch, it returns false
// at once, having asked for nothing.
bool patched(const py::Scope& scope, py::Borrowed bots, const Release& release,
             const std::function<void(py::Borrowed file)>& install);

}  // namespace updater::update
