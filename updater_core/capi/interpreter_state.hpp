// State kept for the life of one interpreter, in the interpreter's own dictionary
// (PyInterpreterState_GetDict) under a key of its own. It is made on first use in each
// interpreter and destroyed when that interpreter clears its dictionary as it ends, while its
// objects can still be released: nothing outlives the interpreter, and a later interpreter of
// the same process starts with none. Touched only with the interpreter's lock held.
#pragma once

#include "capi/ref.hpp"

#include <utility>

namespace updater::py {

namespace held_state {

template <class State>
void destroy(PyObject* capsule) noexcept {
    delete static_cast<State*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
}

}  // namespace held_state

// The object that holds the State kept under `key` in this interpreter (a capsule), made with
// `make()` when there is none yet. `key` is a literal: the capsule keeps it as its name.
template <class State, class Make>
Ref interpreter_state(const char* key, Make&& make) {
    PyObject* dictionary = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dictionary == nullptr) {
        raise(PyExc_RuntimeError, "this interpreter keeps no state for extensions");
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(key));
    PyObject* held = PyDict_GetItemWithError(dictionary, name.get());
    if (held != nullptr) {
        if (!PyCapsule_IsValid(held, key)) {
            raise(PyExc_RuntimeError, "the interpreter's state of this extension was replaced");
        }
        return Ref::share(held);
    }
    if (PyErr_Occurred() != nullptr) {
        throw ErrorAlreadySet{};
    }
    auto* state = new State(std::forward<Make>(make)());
    Ref capsule = Ref::steal_or_null(PyCapsule_New(state, key, held_state::destroy<State>));
    if (!capsule) {
        delete state;
        throw ErrorAlreadySet{};
    }
    require(PyDict_SetItem(dictionary, name.get(), capsule.get()));
    return capsule;
}

// The State a capsule of interpreter_state holds.
template <class State>
State& state_of(Borrowed capsule) noexcept {
    return *static_cast<State*>(PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
}

}  // namespace updater::py
