// Name lookup as the module's statements do it: the module's globals first, then the builtins,
// at the moment of use. A name in neither raises NameError.
#pragma once

#include "capi/ref.hpp"

namespace updater::py {

class Scope {
public:
    Scope(Borrowed globals, Borrowed builtins) noexcept : globals_(globals), builtins_(builtins) {}

    // The value bound to name, or NameError "name '...' is not defined".
    Ref operator[](Borrowed name) const;

    // name = value, in the module's globals.
    void bind(Borrowed name, Borrowed value) const {
        require(PyDict_SetItem(globals_.get(), name.get(), value.get()));
    }

    Borrowed globals() const noexcept { return globals_; }
    Borrowed builtins() const noexcept { return builtins_; }

private:
    Borrowed globals_;
    Borrowed builtins_;
};

}  // namespace updater::py
