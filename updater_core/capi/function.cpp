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
    PyObject* closure;         // may be NULL
    PyObject* parameter;       // may be NULL
    PyObject* traceback_file;  // "<module>"
    PyObject* traceback_name;  // "module.outer.inner"
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

bool same_name(PyObject* a, PyObject* b) {
    return a == b || PyUnicode_Compare(a, b) == 0;
}

// The texts of a builtin function's argument errors, named by the function's name.
PyObject* parse_as_builtin(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    const char* name = f->spec->definition.name;
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

// The texts of a Python function's argument errors, named by its qualified name, in the order
// the interpreter checks: the keywords one by one, then the number of positionals, then what
// is missing.
PyObject* parse_as_python(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    const Py_ssize_t count = f->spec->parameters == Parameters::one ? 1 : 0;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    PyObject* argument = count == 1 && nargs >= 1 ? args[0] : nullptr;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (count == 0 || !same_name(keyword, f->parameter)) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         f->qualname, keyword);
            throw ErrorAlreadySet{};
        }
        if (argument != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         f->qualname, keyword);
            throw ErrorAlreadySet{};
        }
        argument = args[nargs + i];
    }
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                     f->qualname, count, count == 1 ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        throw ErrorAlreadySet{};
    }
    if (count == 1 && argument == nullptr) {
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: '%U'",
                     f->qualname, f->parameter);
        throw ErrorAlreadySet{};
    }
    return argument;
}

// Checks the arguments against the spec, with the interpreter's texts. Returns the one
// argument (borrowed; NULL for a function without parameters).
PyObject* parse_arguments(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return f->spec->definition.errors == ArgumentErrors::python
               ? parse_as_python(f, args, nargs, kwnames)
               : parse_as_builtin(f, args, nargs, kwnames);
}

// The keywords of a call of a function that takes only keywords, as a new dict; positionals
// get a Python function's error.
Ref keyword_dict(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%U() takes 0 positional arguments but %zd %s given",
                     f->qualname, nargs, nargs == 1 ? "was" : "were");
        throw ErrorAlreadySet{};
    }
    Ref result = Ref::steal(PyDict_New());
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        require(PyDict_SetItem(result.get(), PyTuple_GET_ITEM(kwnames, i), args[i]));
    }
    return result;
}

// How deeply calls of these functions are nested on this thread.
thread_local int depth = 0;

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    PyObject* argument = nullptr;
    Ref keywords;
    try {
        if (f->spec->parameters == Parameters::keywords) {
            keywords = keyword_dict(f, args, PyVectorcall_NARGS(nargsf), kwnames);
            argument = keywords.get();
        } else {
            argument = parse_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames);
        }
    } catch (const ErrorAlreadySet&) {
        // A wrong call never starts the body, so it gets no entry of the body's.
        return nullptr;
    }
    if (f->globals == nullptr) {
        // Cleared by the garbage collector while a finaliser in its cycle still holds it.
        PyErr_Format(PyExc_SystemError, "%.200s() was cleared and cannot run",
                     f->spec->definition.name);
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
        // Both texts were encoded when the function was made, so this cannot fail.
        add_traceback(PyUnicode_AsUTF8(f->traceback_file), PyUnicode_AsUTF8(f->traceback_name),
                      f->spec->definition.first_line, f->globals);
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
    Py_VISIT(f->traceback_file);
    Py_VISIT(f->traceback_name);
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
    Py_CLEAR(f->traceback_file);
    Py_CLEAR(f->traceback_name);
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

// The type is named after the module of the first function made in the interpreter.
PyType_Spec function_spec = {
    "function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

struct Types {
    Ref function;
};

constinit PerInterpreter<Types> types([] { return Types{}; });

PyTypeObject* function_type(Borrowed module) {
    Ref& type = types.get().function;
    if (!type) {
        Ref name = PyUnicode_Check(module.get())
                       ? Ref::steal(PyUnicode_FromFormat("%U.%s", module.get(), function_spec.name))
                       : Ref::steal(PyUnicode_FromString(function_spec.name));
        PyType_Spec spec = function_spec;
        // The interpreter keeps a copy of the name.
        spec.name = PyUnicode_AsUTF8(name.get());
        if (spec.name == nullptr) {
            throw ErrorAlreadySet{};
        }
        type = Ref::steal(PyType_FromSpec(&spec));
    }
    return reinterpret_cast<PyTypeObject*>(type.get());
}

// UTF-8 text made now, and kept in the str, so that reading it later cannot fail.
Ref encoded(Ref text) {
    if (PyUnicode_AsUTF8(text.get()) == nullptr) {
        throw ErrorAlreadySet{};
    }
    return text;
}

}  // namespace

Ref make_function(const FunctionSpec& spec, const Scope& scope, Borrowed closure) {
    Ref name = intern(spec.definition.name);
    Ref qualname = intern(spec.definition.qualname);
    // Like a Python function, it belongs to the module whose globals it was made in.
    Ref module = dict_item(scope.globals(), words().dunder_name);
    if (!module) {
        module = Ref::share(Py_None);
    }
    Ref parameter;
    if (spec.parameters == Parameters::one) {
        parameter = intern(spec.parameter);
    }
    // Its traceback entries name it by its module and its dotted path, "<locals>" left out.
    Ref path = Ref::steal(
        PyUnicode_Replace(qualname.get(), intern(".<locals>").get(), intern("").get(), -1));
    const bool named = PyUnicode_Check(module.get()) != 0;
    Ref traceback_file = encoded(named ? Ref::steal(PyUnicode_FromFormat("<%U>", module.get()))
                                       : Ref::steal(PyUnicode_FromString("<unknown>")));
    Ref traceback_name = encoded(
        named ? Ref::steal(PyUnicode_FromFormat("%U.%U", module.get(), path.get())) : path);

    PyTypeObject* type = function_type(module);
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
    f->traceback_file = traceback_file.release();
    f->traceback_name = traceback_name.release();
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace updater::py
