#include "capi/scope.hpp"

namespace updater::py {

namespace {

// The item of a dict, or an empty Ref with no error when the key is missing.
Ref find(Borrowed dict, Borrowed key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    require(PyDict_GetItemRef(dict.get(), key.get(), &value));
    return Ref::steal_or_null(value);
#else
    PyObject* value = PyDict_GetItemWithError(dict.get(), key.get());
    if (value == nullptr && PyErr_Occurred()) {
        throw ErrorAlreadySet{};
    }
    return Ref::share(value);
#endif
}

}  // namespace

Ref Scope::operator[](Borrowed name) const {
    if (Ref value = find(globals_, name)) {
        return value;
    }
    if (Ref value = find(builtins_, name)) {
        return value;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    throw ErrorAlreadySet{};
}

}  // namespace updater::py
