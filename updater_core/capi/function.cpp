#include "capi/function.hpp"

#include "capi/interned.hpp"
#include "capi/traceback.hpp"

#include <cstddef>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace updater::py {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* globals;
    PyObject* builtins;
    PyObject* closure;    // may be NULL
    PyObject* parameter;  // may be NULL
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

bool same_name(PyObject* a, PyObject* b) {
    return a == b || PyUnicode_Compare(a, b) == 0;
}

// Checks the arguments against the spec, with the texts of the interpreter's own argument
// errors. Returns the one argument (borrowed; NULL for a function without parameters).
PyObject* parse_arguments(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    const char* name = f->spec->name;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);

    if (f->spec->parameters == Parameters::none) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
            throw ErrorAlreadySet{};
        }
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name, nargs);
            throw ErrorAlreadySet{};
        }
        return nullptr;
    }

    auto wrong_count = [&] {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     name, "exactly", Py_ssize_t{1}, "", nargs);
        throw ErrorAlreadySet{};
    };
    if (nargs > 1) {
        wrong_count();
    }
    PyObject* argument = nargs == 1 ? args[0] : nullptr;
    if (argument == nullptr) {
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (same_name(PyTuple_GET_ITEM(kwnames, i), f->parameter)) {
                argument = args[nargs + i];  // keyword values follow the positionals
            }
        }
        if (argument == nullptr) {
            wrong_count();
        }
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!same_name(keyword, f->parameter)) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                         keyword);
            throw ErrorAlreadySet{};
        }
        if (nargs == 1) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name, keyword);
            throw ErrorAlreadySet{};
        }
    }
    return argument;
}

// How deeply calls of these functions are nested on this thread.
thread_local int depth = 0;

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    PyObject* argument = nullptr;
    try {
        argument = parse_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames);
    } catch (const ErrorAlreadySet&) {
        // A wrong call never starts the body, so it gets no entry of the body's.
        return nullptr;
    }
    if (f->globals == nullptr) {
        // Cleared by the garbage collector while a finaliser in its cycle still holds it.
        PyErr_Format(PyExc_SystemError, "%.200s() was cleared and cannot run", f->spec->name);
        return nullptr;
    }
    // A body calls back into Python, which may call this function again. Endless recursion
    // must end in RecursionError, not a crash: the interpreter's guard for C calls counts each
    // call, and since a body's C++ frames take more stack than the interpreter's own (several
    // times more under the sanitizers), these functions also count against the recursion
    // limit of Python functions, which they stand in for.
    if (depth >= Py_GetRecursionLimit()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
        return nullptr;
    }
    ++depth;
    PyObject* result = nullptr;
    try {
        Scope scope(f->globals, f->builtins);
        result = f->spec->body(scope, f->closure, argument).release();
    } catch (...) {
        error_from_current_exception();
    }
    --depth;
    Py_LeaveRecursiveCall();
    if (result == nullptr) {
        add_traceback(f->spec->traceback_name, f->spec->first_line, f->globals);
    }
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->closure);
    Py_VISIT(f->parameter);
    return 0;
}

// Only what can hold a cycle back to this function is cleared. The names are strings, which
// cannot, and repr(), the attributes and argument errors rely on them being there.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->closure);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->parameter);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "updater_core.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// The type is made once per interpreter, like the names table, and forgotten when the
// interpreter finalises.
PyTypeObject* function_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyType_FromSpec(&function_spec);
        if (type == nullptr) {
            throw ErrorAlreadySet{};
        }
        forget_at_finalize([] { type = nullptr; });
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

Ref make_function(const FunctionSpec& spec, const Scope& scope, Borrowed closure) {
    Ref name = Ref::steal(intern(spec.name));
    Ref qualname = Ref::steal(intern(spec.qualname));
    // Like a Python function, it belongs to the module whose globals it was made in.
    Ref module = dict_item(scope.globals(), words().dunder_name);
    if (!module) {
        module = Ref::share(Py_None);
    }
    Ref parameter;
    if (spec.parameters == Parameters::one) {
        parameter = Ref::steal(intern(spec.parameter));
    }

    PyTypeObject* type = function_type();
    FunctionObject* f = PyObject_GC_New(FunctionObject, type);
    if (f == nullptr) {
        throw ErrorAlreadySet{};
    }
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->globals = Py_NewRef(scope.globals().get());
    f->builtins = Py_NewRef(scope.builtins().get());
    f->closure = Py_XNewRef(closure.get());
    f->parameter = parameter.release();
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace updater::py
