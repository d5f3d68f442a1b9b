// Strings interned once and kept for the life of the interpreter.
//
// A table of interned strings is filled on first use and forgotten once the interpreter has
// finalised, so that a program which embeds Python and initialises it again gets fresh objects
// instead of pointers into the old interpreter's freed memory.
#pragma once

#include "capi/ref.hpp"

#include <initializer_list>

namespace updater::py {

// A new reference to the interned str of `text`.
PyObject* intern(const char* text);

// A tuple of interned strs: the keyword names of a vectorcall, in the order they are passed.
PyObject* keyword_names(std::initializer_list<const char*> words);

// Runs `forget` once the interpreter has finalised (Py_AtExit). Only for forgetting pointers:
// no Python API may be called by then.
void forget_at_finalize(void (*forget)());

// The interpreter's own words that this layer passes: special methods and attribute names.
struct Words {
    PyObject* dunder_enter;   // "__enter__"
    PyObject* dunder_exit;    // "__exit__"
    PyObject* dunder_import;  // "__import__"
    PyObject* dunder_name;    // "__name__"
    PyObject* name;
};

// The table, filled on first use.
const Words& words();

}  // namespace updater::py
