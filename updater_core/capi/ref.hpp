// Ownership and errors over the CPython C API.
//
// Two reference types carry ownership in their type: Ref owns one strong reference and drops
// it when it goes out of scope; Borrowed only looks at an object that someone else keeps alive.
// Code above this layer never calls Py_INCREF or Py_DECREF itself.
//
// ErrorAlreadySet is the one C++ exception of the module. It carries nothing: it only says that
// the Python error indicator is set. Every C entry point (the module slots, the vectorcall of our
// function type) catches it once and returns NULL or -1 to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace updater::py {

struct ErrorAlreadySet {};

// Whether this thread may touch Python objects now: it has a thread state and holds the
// interpreter's lock. It has not when the interpreter ended the thread while it waited for the
// lock (see error_from_current_exception); what the thread's frames still own is then left
// alone, as the thread itself is. (3.11 keeps one current thread state for the whole process,
// the one of whichever thread holds the lock, so it must be this thread's; its
// PyGILState_Check answers yes in every thread once a second interpreter has existed.)
inline bool attached() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    const PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current->thread_id == PyThread_get_thread_ident();
#endif
}

// Called in a `catch (...)` block of a C entry point, before it returns NULL or -1: makes sure
// the error indicator says what went wrong. ErrorAlreadySet has set it already; std::bad_alloc
// becomes MemoryError, and any other C++ exception SystemError with its text, rather than
// letting it end the process at the C boundary.
//
// One thing is not an error and goes on untouched: the forced unwinding with which POSIX threads
// end a thread (pthread_exit). The interpreter ends a thread that way when it wants its lock
// back after the interpreter began to finalise (a daemon thread at exit): the thread has no
// thread state any more, so an error set for it would crash the process, and an unwinding that
// is caught and not thrown on aborts it. So this function throws, and it must not be noexcept;
// nor may any function through which such an unwinding can pass (one that calls into Python),
// or std::terminate would end the process there. (The unwinding carries no object, so the
// reference its handler binds is null: the sanitizer's check of that binding is left out here.)
#if defined(__GLIBCXX__)
__attribute__((no_sanitize("null")))
#endif
inline void error_from_current_exception() {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

// Throws when a C API call reported failure. Only for calls that set an exception on failure.
inline void require(int status) {
    if (status < 0) {
        throw ErrorAlreadySet{};
    }
}

// Raises `type` with `message` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw ErrorAlreadySet{};
}

// The exception being raised, taken out of the error indicator (normalised, its traceback
// attached), as a new reference; NULL when none is set.
inline PyObject* take_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Puts an exception taken by take_raised back as the one being raised (steals the reference).
inline void put_back(PyObject* raised) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(raised);
#else
    if (raised == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(raised))), raised,
                  PyException_GetTraceback(raised));
#endif
}

class Borrowed {
public:
    Borrowed() = default;
    constexpr Borrowed(PyObject* object) noexcept : object_(object) {}

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

class Ref {
public:
    Ref() = default;
    Ref(const Ref& other) noexcept : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~Ref() { drop(); }

    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    // Takes over a new reference, as returned by most C API calls; throws on NULL.
    static Ref steal(PyObject* object) {
        if (object == nullptr) {
            throw ErrorAlreadySet{};
        }
        return Ref(object);
    }
    // Takes over a new reference that may be NULL without an error (an optional result).
    static Ref steal_or_null(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of our own to an object somebody else owns.
    static Ref share(Borrowed object) noexcept { return Ref(Py_XNewRef(object.get())); }

    PyObject* get() const noexcept { return object_; }
    operator Borrowed() const noexcept { return Borrowed(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller, as a C entry point returns it to the interpreter.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { drop(); }
    // Gives the reference up where this thread is known to hold the interpreter, as it does
    // right after a call into Python returned: without drop()'s question, which only a thread
    // unwound at the interpreter's exit needs (the destructor keeps it, for the unwinding).
    void reset_attached() noexcept { Py_XDECREF(std::exchange(object_, nullptr)); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    // Gives the reference up; in a thread that the interpreter is ending, where no Python object
    // may be touched, it is left as the thread leaves everything else.
    void drop() noexcept {
        if (PyObject* object = std::exchange(object_, nullptr); object != nullptr && attached()) {
            Py_DECREF(object);
        }
    }
    PyObject* object_ = nullptr;
};

// dict[key], or an empty Ref with no error set when the key is missing.
inline Ref dict_item(Borrowed dict, Borrowed key) {
    PyObject* value = PyDict_GetItemWithError(dict.get(), key.get());
    if (value == nullptr && PyErr_Occurred()) {
        throw ErrorAlreadySet{};
    }
    return Ref::share(value);
}

// A type's own dictionary (not its bases'), as a new reference.
inline Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    // A static builtin type keeps its dictionary per interpreter, out of tp_dict.
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::share(reinterpret_cast<PyObject*>(type->tp_dict));
#endif
}

// While it lives, `error` is the exception being handled, as in an except block: calls see it
// in sys.exc_info(), and an exception raised meanwhile gets it as its context from the
// interpreter. At its end the handled exception is what it was before.
//
// The public API reads the topmost handled exception of the whole stack but writes only the
// current frame's level, which may hold none while a level below handles one (a generator
// resumed in an except block), or the very exception that a level below handles too (a
// generator resumed in the except block of its own exception). What the current level holds is
// read from the thread state's own record of that level, so that exactly it is put back: writing
// back the topmost would leave another level's exception there for good, and writing back
// nothing would lose the generator's own.
class Handling {
public:
    explicit Handling(Borrowed error) noexcept
        : own_(Ref::share(PyThreadState_Get()->exc_info->exc_value)) {
        PyErr_SetHandledException(error.get());
    }
    ~Handling() {
        if (attached()) {
            PyErr_SetHandledException(own_.get());
        }
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref own_;  // what the current level held; empty (or None) for none
};

// Raises `error` again, as a bare `raise` in its except block does.
[[noreturn]] inline void raise_again(Borrowed error) {
    put_back(Py_NewRef(error.get()));
    throw ErrorAlreadySet{};
}

// `try: body() except type as error: handler(error)`. The handler runs with the error as the
// exception being handled; any other exception, a C++ one included, goes on unchanged.
template <class Body, class Handler>
void try_except(PyObject* type, Body&& body, Handler&& handler) {
    try {
        body();
        return;
    } catch (...) {
        error_from_current_exception();
    }
    if (!PyErr_ExceptionMatches(type)) {
        throw ErrorAlreadySet{};
    }
    Ref error = Ref::steal_or_null(take_raised());
    Handling handling(error);
    handler(Borrowed(error));
}

// Inside a cleanup of cleanup_on_error: whether the exception being handled is a `type`, as
// `except type:` would test it.
inline bool handling(PyObject* type) {
    Ref handled = Ref::steal_or_null(PyErr_GetHandledException());
    return handled && PyErr_GivenExceptionMatches(handled.get(), type);
}

// `try: body() except BaseException: cleanup(); raise`, for every failure of body, a C++ one
// included. While cleanup runs the exception is the one being handled (see Handling), so
// nested cleanups keep every earlier exception in the chain.
template <class Body, class Cleanup>
void cleanup_on_error(Body&& body, Cleanup&& cleanup) {
    try {
        body();
        return;
    } catch (...) {
        error_from_current_exception();
    }
    Ref error = Ref::steal_or_null(take_raised());
    {
        Handling handling(error);
        try {
            cleanup();
        } catch (...) {
            error_from_current_exception();
            throw ErrorAlreadySet{};
        }
    }
    put_back(error.release());
    throw ErrorAlreadySet{};
}

}  // namespace updater::py
