// The module's statements, run by the exec step in the order of their lines.
#pragma once

#include "capi/scope.hpp"
#include "capi/traceback.hpp"

namespace updater::module {

// Runs one statement of the module body; a failure gets the traceback entry of the module's
// initialisation at the statement's line.
template <class Statement>
void line(const py::Scope& module, int number, Statement&& statement) {
    py::at_line("init updater_core", number, module.globals(), statement);
}

// Lines 1 to 20: libraries, file names, language, storage client.
void configure(const py::Scope& module);

// Lines 28, 33, 45 and 114: the four module functions.
void define_functions(const py::Scope& module);

// Lines 165 to 170: check, update or wait, and exit.
void start_up(const py::Scope& module);

}  // namespace updater::module
