// The module's statements, run by the exec step in the order of their lines (lines.hpp).
#pragma once

#include "capi/scope.hpp"
#include "capi/traceback.hpp"
#include "lines.hpp"
#include "names.hpp"

namespace updater::module {

// Runs one statement of the module body; a failure gets the traceback entry of the module's
// initialisation at the statement's line.
template <class Statement>
void line(const py::Scope& module, int number, Statement&& statement) {
    py::at_line("<" UPDATER_MODULE_NAME ">", "init " UPDATER_MODULE_NAME, number,
                module.globals(), statement);
}

// The configuration: libraries, file names, language, storage client.
void configure(const py::Scope& module);

// The four module functions.
void define_functions(const py::Scope& module);

// The start-up sequence: check, update or wait, and exit.
void start_up(const py::Scope& module);

}  // namespace updater::module
