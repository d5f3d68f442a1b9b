#include "capi/ops.hpp"

namespace updater::py {

std::array<Ref, 2> unpack_two(Borrowed value) {
    PyObject* object = value.get();
    if (PyTuple_CheckExact(object) || PyList_CheckExact(object)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
        if (size == 2) {
            PyObject** items = PySequence_Fast_ITEMS(object);
            return {Ref::share(items[0]), Ref::share(items[1])};
        }
        if (size < 2) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                         size);
        } else {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)",
                         size);
        }
        throw ErrorAlreadySet{};
    }

    Ref iterator = Ref::steal_or_null(PyObject_GetIter(object));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(object)->tp_iter == nullptr &&
            !PySequence_Check(object)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(object)->tp_name);
        }
        throw ErrorAlreadySet{};
    }
    std::array<Ref, 2> items;
    for (Py_ssize_t i = 0; i < 2; ++i) {
        items[i] = Ref::steal_or_null(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected 2, got %zd)", i);
            }
            throw ErrorAlreadySet{};
        }
    }
    Ref extra = Ref::steal_or_null(PyIter_Next(iterator.get()));
    if (extra) {
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) {
        throw ErrorAlreadySet{};
    }
    return items;
}

}  // namespace updater::py

namespace updater::py {

Ref special_method(Borrowed object, Borrowed name) {
    PyTypeObject* type = Py_TYPE(object.get());
    // _PyType_Lookup gives a borrowed reference and never raises.
    PyObject* found = _PyType_Lookup(type, name.get());
    if (found == nullptr) {
        return Ref();
    }
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (get == nullptr) {
        return Ref::share(found);
    }
    return Ref::steal(get(found, object.get(), reinterpret_cast<PyObject*>(type)));
}

void exit_with_error(Borrowed exit) {
    Ref error = Ref::steal_or_null(take_raised());
    Ref traceback = Ref::steal_or_null(PyException_GetTraceback(error.get()));
    Ref suppress = Ref::steal_or_null(PyObject_Vectorcall(
        exit.get(),
        std::array<PyObject*, 3>{reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get(),
                                 traceback ? traceback.get() : Py_None}
            .data(),
        3, nullptr));
    if (!suppress) {
        // __exit__ failed itself: its exception goes on, with the body's as its context.
        Ref raised = Ref::steal_or_null(take_raised());
        PyException_SetContext(raised.get(), error.release());
        put_back(raised.release());
        throw ErrorAlreadySet{};
    }
    const int suppressed = PyObject_IsTrue(suppress.get());
    if (suppressed < 0) {
        throw ErrorAlreadySet{};
    }
    if (suppressed == 0) {
        put_back(error.release());
        throw ErrorAlreadySet{};
    }
}

}  // namespace updater::py
