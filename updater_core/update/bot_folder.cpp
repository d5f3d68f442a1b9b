#include "update/bot_folder.hpp"

#include "messages.hpp"
#include "update/paths.hpp"
#include "update/replacement.hpp"

namespace updater::update {

namespace {

platform::FolderLock::Callbacks said(const py::Scope& scope) {
    return {
        [&] {
            say(scope, {"Уже идёт другое обновление этого бота; жду..."},
                {"Another update of this bot is running; waiting..."});
        },
        [&] {
            py::Ref minutes = py::text(py::integer(static_cast<long>(
                std::chrono::duration_cast<std::chrono::minutes>(another_updater_wait).count())));
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
        [&](py::Borrowed folder) {
            fail(scope, PyExc_PermissionError,
                 {"Этому пользователю нельзя писать в папку бота ", folder,
                  ", поэтому обновить бота там нельзя; запустите обновление от имени владельца "
                  "папки или разрешите этому пользователю запись в неё. Ничего не загружено."},
                 {"This user may not write to the bot's folder ", folder,
                  ", so the bot cannot be updated there; run the update as the folder's owner, "
                  "or let this user write to it. Nothing was downloaded."});
        },
    };
}

}  // namespace

// The bot directory is the one the bin rule gives; for "/bin" that is the empty text, whose lock
// file is then the root's.
HeldBotFolder::HeldBotFolder(const py::Scope& scope)
    : lock_(bot_directory(scope), n.lock_name, another_updater_wait, said(scope)) {
    restore_set_aside(scope);
}

}  // namespace updater::update
