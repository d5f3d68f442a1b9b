#include "capi/hot_loop.hpp"

#include <utility>

namespace updater::py {

namespace {

bool immutable(PyTypeObject* type) noexcept {
    return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) != 0;
}

// A C function's calling convention, as its method's vectorcall entry is chosen by it.
constexpr int convention_flags = METH_VARARGS | METH_FASTCALL | METH_NOARGS | METH_O | METH_KEYWORDS;

}  // namespace

LoopCall::LoopCall(Ref callable) noexcept : callable_(std::move(callable)) {
    PyObject* method = callable_.get();
    if (!Py_IS_TYPE(method, &PyCFunction_Type)) {
        return;
    }
    const int convention = PyCFunction_GET_FLAGS(method) & convention_flags;
    if (convention == METH_O) {
        one_ = PyCFunction_GET_FUNCTION(method);
    } else if (convention == METH_FASTCALL) {
        fast_ = reinterpret_cast<Fast>(reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(method)));
    } else {
        return;
    }
    self_ = PyCFunction_GET_SELF(method);
}

void AttributeLookup::remember(PyTypeObject* type) {
    type_ = Ref::share(reinterpret_cast<PyObject*>(type));
    getter_ = nullptr;
    closure_ = nullptr;
    // The generic lookup searches the type's MRO, the type itself first (a metaclass could
    // order it otherwise).
    PyObject* mro = type->tp_mro;
    if (!immutable(type) || type->tp_getattro != PyObject_GenericGetAttr || mro == nullptr ||
        PyTuple_GET_SIZE(mro) == 0 ||
        PyTuple_GET_ITEM(mro, 0) != reinterpret_cast<PyObject*>(type)) {
        return;
    }
    Ref found = dict_item(type_dict(type), name_);
    if (!found || !Py_IS_TYPE(found.get(), &PyGetSetDescr_Type) ||
        !PyType_IsSubtype(type, PyDescr_TYPE(found.get()))) {
        return;
    }
    const PyGetSetDef* getset = reinterpret_cast<PyGetSetDescrObject*>(found.get())->d_getset;
    getter_ = getset->get;
    closure_ = getset->closure;
}

}  // namespace updater::py
