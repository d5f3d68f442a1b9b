// The module's own function type.
//
// Builtin function objects cannot carry a __qualname__ such as
// "get_update.<locals>.transfer_progress", nor reach the module's globals by name the way a
// Python function does. This small type can: each object holds its names, the module's globals
// and builtins, an optional closure (a tuple of cells, like a Python closure), and a pointer to
// the C++ body. It is called through vectorcall, checks its arguments itself (with the
// interpreter's texts), and adds a traceback entry under the function's dotted name when the
// body fails. Its __module__ is the __name__ of the globals it was made in, as for a Python
// function.
#pragma once

#include "capi/ref.hpp"
#include "capi/scope.hpp"

namespace updater::py {

enum class Parameters { none, one };

// What a body sees: the scope for names, the closure (or nothing), and the one argument (or
// nothing, for a function without parameters).
using Body = Ref (*)(const Scope& scope, Borrowed closure, Borrowed argument);

struct FunctionSpec {
    const char* name;            // __name__, and the name in argument errors
    const char* qualname;        // __qualname__
    const char* traceback_name;  // the function named in traceback entries
    int first_line;              // the line the traceback entry reports
    Parameters parameters;
    const char* parameter;       // the name of the one parameter, if it has one
    Body body;
};

// A new function object for spec, bound to scope's globals and builtins and to closure.
Ref make_function(const FunctionSpec& spec, const Scope& scope, Borrowed closure = {});

}  // namespace updater::py
