#include "capi/scope.hpp"

#include "capi/interned.hpp"

#include <array>

namespace updater::py {

Ref Scope::operator[](Borrowed name) const {
    if (Ref value = dict_item(globals_, name)) {
        return value;
    }
    if (Ref value = dict_item(builtins_, name)) {
        return value;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    Ref error = Ref::steal_or_null(take_raised());
    // As the interpreter does; if even that fails, the NameError goes on without it.
    if (PyObject_SetAttr(error.get(), words().name.get(), name.get()) < 0) {
        PyErr_Clear();
    }
    put_back(error.release());
    throw ErrorAlreadySet{};
}

Ref Scope::import(Borrowed name, Borrowed locals) const {
    Ref import_function = dict_item(builtins_, words().dunder_import);
    if (!import_function) {
        raise(PyExc_ImportError, "__import__ not found");
    }
    std::array<PyObject*, 5> args = {name.get(), globals_.get(),
                                     locals ? locals.get() : Py_None, Py_None, nullptr};
    Ref level = Ref::steal(PyLong_FromLong(0));
    args[4] = level.get();
    return Ref::steal(PyObject_Vectorcall(import_function.get(), args.data(), args.size(), nullptr));
}

}  // namespace updater::py
