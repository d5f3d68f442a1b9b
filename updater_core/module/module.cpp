// The module definition and its two steps. Importing the module is the whole program: the exec
// step configures, defines the functions and runs the start-up sequence, which always ends the
// import with SystemExit (or with the exception that stopped it earlier).
#include "names.hpp"
#include "capi/ops.hpp"
#include "capi/ref.hpp"
#include "module/statements.hpp"

#include <cstdint>

namespace updater::module {

namespace {

// Process-wide state, touched only by the create and exec steps under the interpreter's lock.
//
// The module keeps process-wide tables (interned names, its function type), so it may only live
// in the first interpreter that creates it.
std::int64_t first_interpreter = -1;
// The module object that the exec step is initialising, held from the start of the exec step
// until it fails. Since the start-up sequence always fails the step, it is empty between imports
// and a later import runs everything again. Should the step succeed after all (a sys.exit that
// returns), the module stays held until the interpreter finalises, and is forgotten with it:
// a later interpreter of the process makes a new one.
struct Held {
    py::Ref module;
};
constinit py::PerInterpreter<Held> held([] { return Held{}; });

py::Ref& current_module() { return held.get().module; }

// An attribute of the import spec, or an empty Ref when the spec lacks it.
py::Ref optional_attribute(py::Borrowed spec, py::Borrowed name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    py::require(PyObject_GetOptionalAttr(spec.get(), name.get(), &value));
    return py::Ref::steal_or_null(value);
#else
    py::Ref value;
    py::try_except(PyExc_AttributeError, [&] { value = py::attr(spec, name); },
                   [](py::Borrowed) {});
    return value;
#endif
}

py::Ref create_module(py::Borrowed spec) {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1 && PyErr_Occurred()) {
        throw py::ErrorAlreadySet{};
    }
    if (first_interpreter == -1) {
        first_interpreter = interpreter;
    } else if (first_interpreter != interpreter) {
        py::raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
    }
    if (current_module()) {
        return current_module();
    }

    names::intern();
    py::Ref module =
        py::Ref::steal(PyModule_NewObject(py::attr(spec, n.name).get()));
    PyObject* globals = PyModule_GetDict(module.get());
    const struct {
        py::Borrowed from;
        py::Borrowed to;
        bool even_none;
    } copies[] = {
        {n.loader, n.__loader__, true},
        {n.origin, n.__file__, true},
        {n.parent, n.__package__, true},
        {n.submodule_search_locations, n.__path__, false},
    };
    for (const auto& copy : copies) {
        py::Ref value = optional_attribute(spec, copy.from);
        if (value && (copy.even_none || value.get() != Py_None)) {
            py::require(PyDict_SetItem(globals, copy.to.get(), value.get()));
        }
    }
    return module;
}

// The version the module was compiled for. A test build may pretend another one, since an
// interpreter of another minor version cannot load this build at all.
#ifndef UPDATER_COMPILED_MAJOR
#define UPDATER_COMPILED_MAJOR PY_MAJOR_VERSION
#define UPDATER_COMPILED_MINOR PY_MINOR_VERSION
#endif

// Warns when the running interpreter is not the one the module was compiled for.
void check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major != UPDATER_COMPILED_MAJOR || minor != UPDATER_COMPILED_MINOR) {
        py::require(PyErr_WarnFormat(
            PyExc_RuntimeWarning, 1,
            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
            UPDATER_COMPILED_MAJOR, UPDATER_COMPILED_MINOR, UPDATER_MODULE_NAME, "does not match",
            major, minor));
    }
}

void execute(py::Borrowed module) {
    names::intern();
    PyObject* globals = PyModule_GetDict(module.get());

    py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
    py::require(PyDict_SetItem(globals, n.__builtins__.get(), builtins.get()));

    check_version();

    // Registered before any statement runs, so that code the statements call can find it.
    py::Borrowed modules = PyImport_GetModuleDict();
    const int registered = PyDict_Contains(modules.get(), n.module_name.get());
    py::require(registered);
    if (registered == 0) {
        py::require(PyDict_SetItem(modules.get(), n.module_name.get(), module.get()));
    }

    const py::Scope scope(globals, PyModule_GetDict(builtins.get()));
    configure(scope);
    define_functions(scope);
    start_up(scope);
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    try {
        return create_module(spec).release();
    } catch (...) {
        py::error_from_current_exception();
    }
    return nullptr;
}

int exec(PyObject* module) {
    try {
        py::Ref& current = current_module();
        if (current) {
            if (current.get() == module) {
                return 0;
            }
            py::raise(PyExc_RuntimeError,
                      "Module '" UPDATER_MODULE_NAME "' has already been imported. "
                      "Re-initialisation is not supported.");
        }
        current = py::Ref::share(module);
        try {
            execute(module);
            return 0;
        } catch (...) {
            current.reset();
            throw;
        }
    } catch (...) {
        py::error_from_current_exception();
    }
    return -1;
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    UPDATER_MODULE_NAME,
    nullptr,  // no docstring
    0,        // no per-module state
    no_methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace updater::module

PyMODINIT_FUNC PyInit_updater_core(void) { return PyModuleDef_Init(&updater::module::definition); }
