// Name lookup and imports as the module's statements do them: the module's globals first, then
// the builtins, at the moment of use. A name in neither raises NameError.
#pragma once

#include "capi/ref.hpp"

namespace updater::py {

class Scope {
public:
    Scope(Borrowed globals, Borrowed builtins) noexcept : globals_(globals), builtins_(builtins) {}

    // The value bound to name, or NameError "name '...' is not defined" (with its `name` set,
    // so that the traceback can suggest a close match).
    Ref operator[](Borrowed name) const;

    // name = value, in the module's globals.
    void bind(Borrowed name, Borrowed value) const {
        require(PyDict_SetItem(globals_.get(), name.get(), value.get()));
    }

    // `import name`, an absolute import of a top-level module: the __import__ of the builtins
    // in force is called as an import statement calls it, __import__(name, globals, locals,
    // None, 0), so import hooks see it. `locals` is the globals at module level and None in a
    // function.
    Ref import(Borrowed name, Borrowed locals) const;

    Borrowed globals() const noexcept { return globals_; }
    Borrowed builtins() const noexcept { return builtins_; }

private:
    Borrowed globals_;
    Borrowed builtins_;
};

}  // namespace updater::py
