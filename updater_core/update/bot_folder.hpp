// The bot folder, held by one updater at a time for its check and its update: an updater started
// twice never replaces the executable under the other; the second waits, then finds the bot
// current.
#pragma once

#include "capi/scope.hpp"
#include "platform.hpp"

namespace updater::update {

class HeldBotFolder {
public:
    // Takes the lock of the bot folder (the bot directory as the working directory gives it now),
    // saying so when it waits for another updater or cannot be had, then puts back a set-aside
    // copy left without its executable (an updater killed half way), so that the check sees the
    // executable the folder really has. Released when the holder goes.
    explicit HeldBotFolder(const py::Scope& scope);

private:
    platform::BotFolderLock lock_;
};

}  // namespace updater::update
