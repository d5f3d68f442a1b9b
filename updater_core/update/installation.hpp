// Installation: the downloaded executable, checked through the very file that is then renamed
// into place by replace_exe.
#pragma once

#include "capi/scope.hpp"
#include "update/release.hpp"

namespace updater::update {

// Refuses, before anything is downloaded, an executable at `exe_path` that no update could
// replace: a folder in its place, or (on Windows) a bot that runs from it.
void require_replaceable(const py::Scope& scope, py::Borrowed exe_path);

// Installs the download, open as `download`: puts it beside the executable, makes it startable,
// checks it (against `release` in a build that requires signed releases, else against the
// published digest) and has replace_exe put it in the executable's place. `replace` is set to
// replace_exe once it exists, as get_update's local would be. Refused or not put in place,
// the file goes, and the bot folder is as it was. Returns the name the old executable was set
// aside under (None when there was none): the start of the bot removes it, or puts it back.
py::Ref install(const py::Scope& scope, py::Borrowed download, const Release* release,
                py::Ref& replace);

}  // namespace updater::update
