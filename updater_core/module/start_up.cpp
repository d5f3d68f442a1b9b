// The module functions, and the sequence that the import runs: check, update or wait, exit.
#include "capi/function.hpp"
#include "capi/names.hpp"
#include "capi/ops.hpp"
#include "module/statements.hpp"
#include "storage/file_digest.hpp"
#include "storage/object_reader.hpp"
#include "update/download.hpp"
#include "update/update_check.hpp"

namespace updater::module {

namespace {

void define(const py::Scope& module, int number, py::Borrowed name, const py::FunctionSpec& spec) {
    line(module, number, [&] { module.bind(name, py::make_function(spec, module)); });
}

}  // namespace

void define_functions(const py::Scope& module) {
    define(module, 28, n.s3_file_reader, storage::s3_file_reader);
    define(module, 33, n.get_hash_digest, storage::get_hash_digest);
    define(module, 45, n.get_update, update::get_update);
    define(module, 114, n.check_update_is_needed, update::check_update_is_needed);
}

void start_up(const py::Scope& module) {
    // Both functions are reached by name at the moment of the call, like every other name.
    bool update_needed = false;
    line(module, 165, [&] {
        update_needed = py::truth(py::call(module[n.check_update_is_needed]));
    });
    if (update_needed) {
        line(module, 166, [&] { py::call(module[n.get_update]); });
    } else {
        line(module, 168, [&] {
            py::Ref sleep = py::attr(module[n.time], n.sleep);
            py::call(sleep, py::integer(60));
        });
    }
    // SystemExit leaves the exec step, and with it the import statement.
    line(module, 170, [&] { py::call(py::attr(module[n.sys], n.exit)); });
}

}  // namespace updater::module
