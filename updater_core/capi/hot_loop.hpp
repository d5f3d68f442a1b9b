// Calls and attribute lookups for a loop that repeats them a great many times, each cheaper than
// the general form and giving exactly the same result.
#pragma once

#include "capi/ref.hpp"

namespace updater::py {

// callable(args...) through the callable's own vectorcall entry, when it has one, read anew on
// every call (a type's or a function's entry may change); the generic PyObject_Vectorcall
// otherwise. What the direct call skips is the generic entry's check of a C function's result,
// so the one fault that check reports is reported here too: NULL with no exception set.
template <class... Args>
Ref call_direct(Borrowed callable, const Args&... args) {
    PyObject* argv[] = {nullptr, Borrowed(args).get()...};
    const size_t nargsf = sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    vectorcallfunc entry = PyVectorcall_Function(callable.get());
    PyObject* result = entry != nullptr
                           ? entry(callable.get(), argv + 1, nargsf, nullptr)
                           : PyObject_Vectorcall(callable.get(), argv + 1, nargsf, nullptr);
    if (result == nullptr && PyErr_Occurred() == nullptr) {
        PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception",
                     callable.get());
    }
    return Ref::steal(result);
}

// object.name, looked up again on every call, as `object.name` in a loop is.
//
// Where the answer to the lookup cannot change, most of it is done once. That is so when the
// object's type is immutable (no attribute of it can be set or deleted), uses the generic
// attribute lookup, and holds in its own dictionary a data descriptor for the name whose type is
// immutable too: the generic lookup then finds that descriptor first, before the instance's
// dictionary and before any base class, every time, and asks its getter for the value. Here the
// getter is asked directly, on every call, so the value is still the getter's of the moment.
// For any other object the ordinary lookup runs every time. The decision is remembered for the
// last type seen and made again when the object's type differs.
class AttributeLookup {
public:
    explicit AttributeLookup(Borrowed name) noexcept : name_(name) {}

    Ref operator()(Borrowed object) {
        PyTypeObject* type = Py_TYPE(object.get());
        if (reinterpret_cast<PyObject*>(type) != type_.get()) {
            remember(type);
        }
        if (getter_ != nullptr) {
            return Ref::steal(
                getter_(descriptor_.get(), object.get(), reinterpret_cast<PyObject*>(type)));
        }
        return Ref::steal(PyObject_GetAttr(object.get(), name_.get()));
    }

private:
    // Decides how objects of type are looked up: sets getter_ and descriptor_, or clears them.
    void remember(PyTypeObject* type);

    Borrowed name_;
    Ref type_;        // the type the decision holds for, kept alive so its address stays its own
    Ref descriptor_;  // the data descriptor whose getter answers, when one does
    descrgetfunc getter_ = nullptr;
};

}  // namespace updater::py
