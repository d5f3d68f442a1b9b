// Calls and attribute lookups for a loop that repeats them a great many times, each cheaper than
// the general form and giving exactly the same result.
//
// Such a loop gives up what a pass is done with by Ref::reset_attached, right after the call that
// used it returned: the thread then holds the interpreter, and there is nothing to ask.
#pragma once

#include "capi/ref.hpp"

namespace updater::py {

// callable(argument) on every pass of a loop, the callable bound once before it, as a Python
// loop keeps a bound method in a local. The call takes the argument over and gives it up as soon
// as it returns.
//
// A built-in method (exactly `builtin_function_or_method`) whose C function takes one object
// (METH_O) or an array of them (METH_FASTCALL) is called through that C function with the
// method's own object, as the method's vectorcall entry calls it. Left out are that entry's
// checks that cannot fail here (no keywords, one argument) and its count of one level of C
// recursion (every call deeper down counts its own). Any other callable is called through its
// own vectorcall entry, read anew on every call (a type's or a function's entry may change), or
// the generic PyObject_Vectorcall when it has none. Both skip the generic entry's check of the
// result, so the one fault that check reports is reported here too: NULL with no exception set.
class LoopCall {
public:
    LoopCall() = default;
    explicit LoopCall(Ref callable) noexcept;

    explicit operator bool() const noexcept { return static_cast<bool>(callable_); }

    Ref operator()(Ref argument) {
        PyObject* args[] = {nullptr, argument.get()};
        PyObject* result = nullptr;
        if (one_ != nullptr) {
            result = one_(self_, args[1]);
        } else if (fast_ != nullptr) {
            result = fast_(self_, args + 1, 1);
        } else {
            PyObject* callable = callable_.get();
            const size_t nargsf = 1 | PY_VECTORCALL_ARGUMENTS_OFFSET;
            vectorcallfunc entry = PyVectorcall_Function(callable);
            result = entry != nullptr ? entry(callable, args + 1, nargsf, nullptr)
                                      : PyObject_Vectorcall(callable, args + 1, nargsf, nullptr);
        }
        argument.reset_attached();
        if (result == nullptr && PyErr_Occurred() == nullptr) {
            PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception",
                         callable_.get());
        }
        return Ref::steal(result);
    }

private:
    using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);

    Ref callable_;
    PyObject* self_ = nullptr;  // the built-in method's own object, borrowed from callable_
    PyCFunction one_ = nullptr;  // its C function, when it takes one object
    Fast fast_ = nullptr;        // its C function, when it takes an array
};

// object.name, looked up again on every call, as `object.name` in a loop is.
//
// Where the answer to the lookup cannot change, most of it is done once. That is so when the
// object's type is immutable (no attribute of it can be set or deleted), uses the generic
// attribute lookup, and holds in its own dictionary, for the name, exactly a getset descriptor
// (a C getter) that applies to the type: the generic lookup then finds that descriptor first,
// before the instance's dictionary and before any base class, every time, and calls its getter.
// Here the getter is called directly, on every call, so the value is still the getter's of the
// moment. For any other object the ordinary lookup runs every time. The decision is remembered
// for the last type seen and made again when the object's type differs.
class AttributeLookup {
public:
    explicit AttributeLookup(Borrowed name) noexcept : name_(name) {}

    Ref operator()(Borrowed object) {
        if (reinterpret_cast<PyObject*>(Py_TYPE(object.get())) != type_.get()) {
            remember(Py_TYPE(object.get()));
        }
        if (getter_ != nullptr) {
            return Ref::steal(getter_(object.get(), closure_));
        }
        return Ref::steal(PyObject_GetAttr(object.get(), name_.get()));
    }

private:
    // Decides how objects of type are looked up: sets getter_ and closure_, or clears them.
    void remember(PyTypeObject* type);

    Borrowed name_;
    Ref type_;  // the type the decision holds for, kept alive so its getter stays its own
    getter getter_ = nullptr;
    void* closure_ = nullptr;
};

}  // namespace updater::py
