#include "update/bot_folder.hpp"

#include "messages.hpp"
#include "update/paths.hpp"
#include "update/replacement.hpp"

namespace updater::update {

namespace {

platform::BotFolderLock::Callbacks said(const py::Scope& scope) {
    return {
        [&] {
            say(scope, {"Уже идёт другое обновление этого бота; жду..."},
                {"Another update of this bot is running; waiting..."});
        },
        [&] {
            py::Ref minutes = py::text(py::integer(platform::BotFolderLock::patience_seconds / 60));
            fail(scope, PyExc_TimeoutError,
                 {"Другое обновление этого бота идёт уже больше ", minutes,
                  " минут; это обновление остановлено, ничего не изменено. Запустите его позже."},
                 {"Another update of this bot has been running for more than ", minutes,
                  " minutes; this one stopped and changed nothing. Run it again later."});
        },
        [&](py::Borrowed what) {
            say(scope, {"Блокировку ", what, " держит чужой объект; обновление идёт без неё."},
                {"The lock ", what, " is taken by something not this user's; updating "
                 "without it."});
        },
    };
}

}  // namespace

HeldBotFolder::HeldBotFolder(const py::Scope& scope)
    : lock_(bot_directory(scope), n.lock_name, said(scope)) {
    restore_set_aside(scope);
}

}  // namespace updater::update
