// The bot folder, held by one updater at a time for its check and its update: an updater started
// twice never replaces the executable under the other; the second waits, then finds the bot
// current.
#pragma once

#include "capi/scope.hpp"
#include "platform.hpp"

#include <chrono>

namespace updater::update {

// How long an updater waits for another one that holds the bot folder before it gives up: long
// enough for a slow download of the whole executable by the other.
inline constexpr std::chrono::seconds another_updater_wait{600};

// Refuses the update (refusal "not_writable"), naming the folder, when this user may not write
// in `folder`, one the update writes in: before anything is written or downloaded.
void require_writable(const py::Scope& scope, py::Borrowed folder);

class HeldBotFolder {
public:
    // Takes the lock of the bot folder (the bot directory as the working directory gives it now),
    // saying so when it waits for another updater or cannot be had, then puts back a set-aside
    // copy left without its executable (an updater killed half way), so that the check sees the
    // executable the folder really has. A bot folder this user may not write is refused here
    // (require_writable), before the check: nothing could be installed or recorded there, so
    // nothing is downloaded. Released when the holder goes.
    explicit HeldBotFolder(const py::Scope& scope);

private:
    platform::FolderLock lock_;
};

}  // namespace updater::update
