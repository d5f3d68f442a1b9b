// The module's own function type.
//
// Builtin function objects cannot carry a __qualname__ such as "outer.<locals>.inner", nor
// reach the module's globals by name the way a Python function does. This small type can: each
// object holds its names, the module's globals and builtins, an optional closure (a tuple of
// cells, like a Python closure), and a pointer to the C++ body. It is called through
// vectorcall, checks its arguments itself (with the interpreter's texts), and adds a traceback
// entry when the body fails. Its __module__ is the __name__ of the globals it was made in, as
// for a Python function; the entry is named by that module's name and the function's dotted
// path ("module.outer.inner"), in the file "<module>". The layer thus knows no module by name.
#pragma once

#include "capi/ref.hpp"
#include "capi/scope.hpp"

namespace updater::py {

// No parameters; one, by position or keyword; or any keywords and no positionals (`**kwargs`,
// the body's argument then a new dict of them, as for a callback that is handed keywords).
enum class Parameters { none, one, keywords };

// Which texts a wrong call gets: those of a builtin function ("f() takes no arguments (1 given)")
// or those of a function defined in Python ("f() takes 0 positional arguments but 1 was given",
// named by its qualified name).
enum class ArgumentErrors { builtin, python };

// Where and as what a function is defined.
struct Definition {
    const char* name;      // __name__
    const char* qualname;  // __qualname__; with the module's name, it names traceback entries
    int first_line;        // the line its traceback entries report
    ArgumentErrors errors;
};

// What a body sees: the scope for names, the closure (or nothing), and the one argument (or
// nothing, for a function without parameters).
using Body = Ref (*)(const Scope& scope, Borrowed closure, Borrowed argument);

struct FunctionSpec {
    Definition definition;
    Parameters parameters;
    const char* parameter;  // the name of the one parameter, if it has one
    Body body;
};

// A new function object for spec, bound to scope's globals and builtins and to closure.
Ref make_function(const FunctionSpec& spec, const Scope& scope, Borrowed closure = {});

}  // namespace updater::py
