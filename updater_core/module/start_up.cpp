// The module functions, and the sequence that the import runs: check, update or wait, exit.
#include "capi/function.hpp"
#include "capi/interned.hpp"
#include "capi/ops.hpp"
#include "module/statements.hpp"
#include "names.hpp"
#include "storage/file_digest.hpp"
#include "storage/object_reader.hpp"
#include "update/bot_folder.hpp"
#include "update/get_update.hpp"
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
    // Both functions are reached by name at the moment of the call, like every other name. The
    // check and the update run with the bot folder held, the wait and the exit without it.
    bool update_needed = false;
    {
        std::optional<update::HeldBotFolder> held;
        line(module, lines::check, [&] {
            held.emplace(module);
            update_needed = py::truth(py::call(module[n.check_update_is_needed]));
        });
        if (update_needed) {
            line(module, lines::update, [&] { py::call(module[n.get_update]); });
        }
    }
    if (!update_needed) {
        line(module, lines::wait, [&] {
            py::Ref sleep = py::attr(module[n.time], n.sleep);
            py::call(sleep, py::integer(update::seconds_before_closing));
        });
    }
    // SystemExit leaves the exec step, and with it the import statement.
    line(module, lines::exit, [&] { py::call(py::attr(module[n.sys], n.exit)); });
}

}  // namespace updater::module
