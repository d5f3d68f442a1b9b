// The operations that the statements are written in: calls, attributes, items, truth, text.
// Each one is a single C API call wrapped so that a failure throws ErrorAlreadySet and every
// result is a Ref. Calls go through vectorcall; keyword calls pass a tuple of interned keyword
// names, the trailing arguments being their values, as the vectorcall protocol has it.
#pragma once

#include "capi/interned.hpp"
#include "capi/ref.hpp"

#include <array>
#include <initializer_list>

namespace updater::py {

template <class... Args>
Ref call(Borrowed callable, const Args&... args) {
    PyObject* argv[] = {nullptr, Borrowed(args).get()...};
    return Ref::steal(PyObject_Vectorcall(
        callable.get(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(positional..., name=value...): the last len(kwnames) arguments are keyword values.
template <class... Args>
Ref call_kw(Borrowed callable, Borrowed kwnames, const Args&... args) {
    PyObject* argv[] = {nullptr, Borrowed(args).get()...};
    const size_t positional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames.get()));
    return Ref::steal(PyObject_Vectorcall(callable.get(), argv + 1,
                                          positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames.get()));
}

// object.name(args...), looked up as the interpreter looks up a method: no bound method is made.
template <class... Args>
Ref call_method(Borrowed object, Borrowed name, const Args&... args) {
    PyObject* argv[] = {nullptr, object.get(), Borrowed(args).get()...};
    return Ref::steal(PyObject_VectorcallMethod(
        name.get(), argv + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref attr(Borrowed object, Borrowed name) {
    return Ref::steal(PyObject_GetAttr(object.get(), name.get()));
}

// object[key]
inline Ref item(Borrowed object, Borrowed key) {
    return Ref::steal(PyObject_GetItem(object.get(), key.get()));
}

// The interpreter's truth test: `if object:`.
inline bool truth(Borrowed object) {
    // The common cases answered without a call, exactly as the interpreter answers them.
    PyObject* o = object.get();
    if (o == Py_True) {
        return true;
    }
    if (o == Py_False || o == Py_None) {
        return false;
    }
    if (PyBytes_CheckExact(o)) {
        return PyBytes_GET_SIZE(o) != 0;
    }
    const int result = PyObject_IsTrue(object.get());
    require(result);
    return result != 0;
}

// left == right, then its truth value, as `if left == right:` does.
inline bool equal(Borrowed left, Borrowed right) {
    return truth(Ref::steal(PyObject_RichCompare(left.get(), right.get(), Py_EQ)));
}

// left + right, by the operator (so a str concatenates, an int adds).
inline Ref add(Borrowed left, Borrowed right) {
    return Ref::steal(PyNumber_Add(left.get(), right.get()));
}

// left += right
inline Ref add_in_place(Borrowed left, Borrowed right) {
    return Ref::steal(PyNumber_InPlaceAdd(left.get(), right.get()));
}

inline Ref true_divide(Borrowed left, Borrowed right) {
    return Ref::steal(PyNumber_TrueDivide(left.get(), right.get()));
}

// format(value, spec)
inline Ref format(Borrowed value, Borrowed spec) {
    return Ref::steal(PyObject_Format(value.get(), spec.get()));
}

// A text piece joined left to right with `+`, as `a + b + c` evaluates.
inline Ref concat(std::initializer_list<Borrowed> pieces) {
    auto it = pieces.begin();
    Ref result = Ref::share(*it);
    for (++it; it != pieces.end(); ++it) {
        result = add(result, *it);
    }
    return result;
}

// A str from UTF-8 source text.
inline Ref str(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

inline Ref integer(long value) { return Ref::steal(PyLong_FromLong(value)); }

// int(object) as a C long, or the interpreter's error.
inline long as_long(Borrowed object) {
    const long value = PyLong_AsLong(object.get());
    if (value == -1 && PyErr_Occurred()) {
        throw ErrorAlreadySet{};
    }
    return value;
}

// str(object)
inline Ref text(Borrowed object) { return Ref::steal(PyObject_Str(object.get())); }

// The object a weak reference refers to, or an empty Ref once it is gone.
inline Ref referent(Borrowed weak) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* object = nullptr;
    require(PyWeakref_GetRef(weak.get(), &object));
    return Ref::steal_or_null(object);
#else
    PyObject* object = PyWeakref_GetObject(weak.get());
    if (object == nullptr) {
        throw ErrorAlreadySet{};
    }
    return Ref::share(object == Py_None ? nullptr : object);
#endif
}

// [items...]
inline Ref list(std::initializer_list<Borrowed> items) {
    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Borrowed object : items) {
        PyList_SET_ITEM(result.get(), i++, Py_NewRef(object.get()));
    }
    return result;
}

// object[:stop] with a negative stop counted from the end, as the slice syntax does.
inline Ref slice_to(Borrowed object, Py_ssize_t stop) {
    Ref end = Ref::steal(PyLong_FromSsize_t(stop));
    Ref slice = Ref::steal(PySlice_New(nullptr, end.get(), nullptr));
    return item(object, slice);
}

// `a, b = value`: exactly two items, with the interpreter's errors for any other count.
std::array<Ref, 2> unpack_two(Borrowed value);

}  // namespace updater::py

namespace updater::py {

// Looks up a special method on the type, as the `with` statement does, and binds it to object.
// Returns an empty Ref, with no error set, when the type has no such method.
Ref special_method(Borrowed object, Borrowed name);

// Calls manager.__exit__(type, value, traceback) for the exception being raised, with it as the
// exception being handled (as the `with` statement does), and decides whether it goes on:
// restores it (or lets the one __exit__ raised go on) and throws, unless __exit__ returned a
// true value.
void exit_with_error(Borrowed exit);

// `with manager as value: body(value)`.
template <class Body>
void with(Borrowed manager, Body&& body) {
    Ref enter = special_method(manager, words().dunder_enter);
    if (!enter) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager.get())->tp_name);
        throw ErrorAlreadySet{};
    }
    Ref exit = special_method(manager, words().dunder_exit);
    if (!exit) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol "
                     "(missed __exit__ method)",
                     Py_TYPE(manager.get())->tp_name);
        throw ErrorAlreadySet{};
    }
    Ref value = call(enter);
    try {
        body(Borrowed(value));
    } catch (...) {
        error_from_current_exception();
        exit_with_error(exit);
        return;
    }
    call(exit, Py_None, Py_None, Py_None);
}

// A local that a `with` body assigns, read after the block. When __exit__ swallowed the body's
// error before the assignment, Python raises UnboundLocalError there; so does this.
inline const Ref& assigned(const Ref& local, const char* name) {
    if (!local) {
        PyErr_Format(PyExc_UnboundLocalError,
                     "cannot access local variable '%s' where it is not associated with a value",
                     name);
        throw ErrorAlreadySet{};
    }
    return local;
}

}  // namespace updater::py
