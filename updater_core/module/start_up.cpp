// The module functions, and the sequence that the import runs: check, update or wait, exit.
#include "capi/function.hpp"
#include "capi/interned.hpp"
#include "names.hpp"
#include "capi/ops.hpp"
#include "messages.hpp"
#include "module/statements.hpp"
#include "platform.hpp"
#include "storage/file_digest.hpp"
#include "storage/object_reader.hpp"
#include "update/get_update.hpp"
#include "update/paths.hpp"
#include "update/replacement.hpp"
#include "update/update_check.hpp"

#include <optional>

namespace updater::module {

namespace {

// `def name(...)` at the function's first line: a new function object bound under its name.
void define(const py::Scope& module, const py::FunctionSpec& spec) {
    line(module, spec.definition.first_line, [&] {
        module.bind(py::intern(spec.definition.name), py::make_function(spec, module));
    });
}

}  // namespace

void define_functions(const py::Scope& module) {
    define(module, storage::s3_file_reader);
    define(module, storage::get_hash_digest);
    define(module, update::get_update);
    define(module, update::check_update_is_needed);
}

void start_up(const py::Scope& module) {
    // Both functions are reached by name at the moment of the call, like every other name.
    // The check and the update run under the bot folder's lock, so that an updater started
    // twice never replaces the executable under the other; the second waits, then finds the
    // bot current.
    // A set-aside copy left without its executable (an updater killed half way) is put back
    // first, under the lock, so that the check sees the executable the folder really has.
    bool update_needed = false;
    {
        std::optional<platform::BotFolderLock> lock;
        line(module, lines::check, [&] {
            py::Ref bots = update::bot_directory(module);
            lock.emplace(bots, n.lock_name, platform::BotFolderLock::Callbacks{
                [&] {
                    say(module, {"Уже идёт другое обновление этого бота; жду..."},
                        {"Another update of this bot is running; waiting..."});
                },
                [&] {
                    fail(module, PyExc_TimeoutError,
                         {"Другое обновление этого бота идёт уже больше 10 минут; это обновление "
                          "остановлено, ничего не изменено. Запустите его позже."},
                         {"Another update of this bot has been running for more than 10 minutes; "
                          "this one stopped and changed nothing. Run it again later."});
                },
                [&](py::Borrowed what) {
                    say(module,
                        {"Блокировку ", what, " держит чужой объект; обновление идёт без неё."},
                        {"The lock ", what, " is taken by something not this user's; updating "
                         "without it."});
                },
            });
            update::restore_set_aside(module);
            update_needed = py::truth(py::call(module[n.check_update_is_needed]));
        });
        if (update_needed) {
            line(module, lines::update, [&] { py::call(module[n.get_update]); });
        }
    }
    if (!update_needed) {
        line(module, lines::wait, [&] {
            py::Ref sleep = py::attr(module[n.time], n.sleep);
            py::call(sleep, py::integer(60));
        });
    }
    // SystemExit leaves the exec step, and with it the import statement.
    line(module, lines::exit, [&] { py::call(py::attr(module[n.sys], n.exit)); });
}

}  // namespace updater::module
