#include "update/bot_folder.hpp"

#include "messages.hpp"
#include "update/paths.hpp"
#include "update/replacement.hpp"

namespace updater::update {

namespace {

[[noreturn]] void refuse_unwritable(const py::Scope& scope, py::Borrowed folder) {
    refuse(scope, n.refusal_not_writable,
           {"Этому пользователю нельзя писать в папку ", folder,
            ", в которой работает обновление; запустите обновление от имени владельца папки или "
            "разрешите этому пользователю запись в неё. Ничего не загружено и не изменено."},
           {"This user may not write to the folder ", folder,
            ", where the update writes; run the update as the folder's owner, or let this user "
            "write to it. Nothing was downloaded or changed."});
}

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
        [&](py::Borrowed folder) { refuse_unwritable(scope, folder); },
    };
}

}  // namespace

// The bot directory is the one the bin rule gives; for "/bin" that is the empty text, whose lock
// file is then the root's.
HeldBotFolder::HeldBotFolder(const py::Scope& scope)
    : lock_(bot_directory(scope), n.lock_name, another_updater_wait, said(scope)) {
    require_writable(scope, bot_directory(scope));
    restore_set_aside(scope);
}

void require_writable(const py::Scope& scope, py::Borrowed folder) {
    if (!platform::may_write(folder, n.lock_name)) {
        refuse_unwritable(scope, folder);
    }
}

}  // namespace updater::update
