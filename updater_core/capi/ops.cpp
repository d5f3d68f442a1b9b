#include "capi/ops.hpp"

namespace updater::py {

std::array<Ref, 2> unpack_two(Borrowed value) {
    PyObject* object = value.get();
    if ((PyTuple_CheckExact(object) || PyList_CheckExact(object)) &&
        PySequence_Fast_GET_SIZE(object) == 2) {
        PyObject** items = PySequence_Fast_ITEMS(object);
        return {Ref::share(items[0]), Ref::share(items[1])};
    }

    // Everything else goes item by item, as the interpreter's own unpacking does once its fast
    // path for a pair does not apply, and with its texts: a tuple of three and an iterator of
    // three fail alike.
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
    for (int i = 0; i < 2; ++i) {
        items[static_cast<size_t>(i)] = Ref::steal_or_null(PyIter_Next(iterator.get()));
        if (!items[static_cast<size_t>(i)]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            }
            throw ErrorAlreadySet{};
        }
    }
    if (Ref extra = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) {
        throw ErrorAlreadySet{};
    }
    return items;
}

namespace {

// The attribute `name` of the first class along type's method resolution order that defines
// it, without the instance and without the metaclass: how the interpreter finds a special
// method. An empty Ref, with no error set, when no class defines it.
Ref find_on_type(PyTypeObject* type, Borrowed name) {
    PyObject* mro = type->tp_mro;
    const Py_ssize_t count = mro == nullptr ? 0 : PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = 0; i < count; ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (Ref found = dict_item(type_dict(base), name)) {
            return found;
        }
    }
    return Ref();
}

}  // namespace

Ref special_method(Borrowed object, Borrowed name) {
    PyTypeObject* type = Py_TYPE(object.get());
    Ref found = find_on_type(type, name);
    if (!found) {
        return found;
    }
    descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
    if (get == nullptr) {
        return found;
    }
    return Ref::steal(get(found.get(), object.get(), reinterpret_cast<PyObject*>(type)));
}

void exit_with_error(Borrowed exit) {
    Ref error = Ref::steal_or_null(take_raised());
    Ref traceback = Ref::steal_or_null(PyException_GetTraceback(error.get()));
    bool suppressed = false;
    {
        // An exception that __exit__ or the truth test raises gets the body's as its context
        // from the interpreter, as it is raised, and goes on.
        Handling handling(error);
        Ref result = Ref::steal(PyObject_Vectorcall(
            exit.get(),
            std::array<PyObject*, 3>{reinterpret_cast<PyObject*>(Py_TYPE(error.get())),
                                     error.get(), traceback ? traceback.get() : Py_None}
                .data(),
            3, nullptr));
        suppressed = truth(result);
    }
    if (!suppressed) {
        put_back(error.release());
        throw ErrorAlreadySet{};
    }
}

}  // namespace updater::py
