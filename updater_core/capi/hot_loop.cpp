#include "capi/hot_loop.hpp"

namespace updater::py {

namespace {

bool immutable(PyTypeObject* type) noexcept {
    return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) != 0;
}

// The type's own dictionary (not its bases'), as a new reference.
Ref own_dict(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    // A static builtin type keeps its dictionary per interpreter, out of tp_dict.
    return Ref::steal_or_null(PyType_GetDict(type));
#else
    return Ref::share(type->tp_dict);
#endif
}

}  // namespace

void AttributeLookup::remember(PyTypeObject* type) {
    type_ = Ref::share(reinterpret_cast<PyObject*>(type));
    descriptor_.reset();
    getter_ = nullptr;
    // The generic lookup searches the type's MRO, the type itself first (a metaclass could
    // order it otherwise).
    PyObject* mro = type->tp_mro;
    if (!immutable(type) || type->tp_getattro != PyObject_GenericGetAttr || mro == nullptr ||
        PyTuple_GET_SIZE(mro) == 0 ||
        PyTuple_GET_ITEM(mro, 0) != reinterpret_cast<PyObject*>(type)) {
        return;
    }
    Ref dict = own_dict(type);
    if (!dict) {
        return;
    }
    PyObject* found = PyDict_GetItemWithError(dict.get(), name_.get());
    if (found == nullptr) {
        if (PyErr_Occurred() != nullptr) {
            throw ErrorAlreadySet{};
        }
        return;
    }
    PyTypeObject* kind = Py_TYPE(found);
    if (immutable(kind) && kind->tp_descr_get != nullptr && kind->tp_descr_set != nullptr) {
        descriptor_ = Ref::share(found);
        getter_ = kind->tp_descr_get;
    }
}

}  // namespace updater::py
