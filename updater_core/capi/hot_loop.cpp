#include "capi/hot_loop.hpp"

#include <utility>

namespace updater::py {

namespace {

bool immutable(PyTypeObject* type) noexcept {
    return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) != 0;
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
    Ref found = dict_item(type_dict(type), name_);
    if (!found) {
        return;
    }
    PyTypeObject* kind = Py_TYPE(found.get());
    if (immutable(kind) && kind->tp_descr_get != nullptr && kind->tp_descr_set != nullptr) {
        descriptor_ = std::move(found);
        getter_ = kind->tp_descr_get;
    }
}

}  // namespace updater::py
