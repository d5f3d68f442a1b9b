// get_update: the download, the installation and the start of the bot, in that order.
#include "update/get_update.hpp"

#include "names.hpp"
#include "update/bot_folder.hpp"
#include "update/download.hpp"
#include "update/installation.hpp"
#include "update/patch.hpp"
#include "update/paths.hpp"
#include "update/release.hpp"
#include "update/start_bot.hpp"

#include <optional>

namespace updater::update {

namespace {

py::Ref download_install_and_start(const py::Scope& scope, py::Borrowed, py::Borrowed) {
    // What would stop the installation is said before anything is downloaded or recorded: the
    // folder the download goes into (bin, when run from there; the bot folder, held, is checked
    // already) may be written, and the executable replaced.
    py::Ref working = working_directory(scope);
    py::Ref bots = is_bin_directory(working) ? parent_of_bin(working) : working;
    require_writable(scope, working);
    require_replaceable(scope, beside(bots, scope[n.LOCAL_EXE_NAME]));

    // A signed release is known before anything is downloaded: its statement says what the
    // download must be, an expired or older release goes no further, and the bot folder
    // records the release it takes before the download begins.
    std::optional<Release> release;
    bool recorded = false;
    if (signed_releases()) {
        release = read_release(scope);
        recorded = accept_release(scope, bots, *release);
    }
    const Release* signed_release = release ? &*release : nullptr;

    py::Ref replace, set_aside;
    auto install_download = [&](py::Borrowed file) {
        set_aside = install(scope, file, signed_release, replace);
    };
    after_acceptance(scope, signed_release, recorded, [&] {
        // A signed release may come as a patch to the installed executable; when none can be
        // used, the whole executable is downloaded.
        if (!release || !patched(scope, bots, *release, install_download)) {
            download(scope, signed_release, install_download);
        }
    });
    // Only an update that was installed goes on to start the bot, even should a file's __exit__
    // have swallowed an error on the way.
    py::assigned(replace, "replace_exe");
    start_bot(scope, set_aside);
    return py::Ref::share(Py_None);
}

}  // namespace

const py::FunctionSpec get_update = {
    defined::get_update, py::Parameters::none, nullptr, download_install_and_start,
};

}  // namespace updater::update
