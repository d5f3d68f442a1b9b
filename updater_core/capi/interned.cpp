#include "capi/interned.hpp"

#include <array>
#include <cstddef>

namespace updater::py {

Ref intern(const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); }

Ref keyword_names(std::initializer_list<const char*> words) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(words.size())));
    Py_ssize_t i = 0;
    for (const char* word : words) {
        PyTuple_SET_ITEM(tuple.get(), i++, intern(word).release());
    }
    return tuple;
}

namespace {

struct Kept {
    void (*forget)(void*);
    void* table;
};

// The tables filled in this interpreter. Each registers once per interpreter, when it is
// filled, so a handful of places is enough.
std::array<Kept, 8> kept{};
std::size_t kept_count = 0;
bool exit_function_registered = false;

void forget_all() {
    for (std::size_t i = 0; i < kept_count; ++i) {
        kept[i].forget(kept[i].table);
    }
    kept_count = 0;
    exit_function_registered = false;
}

}  // namespace

void forget_at_finalize(void (*forget)(void*), void* table) {
    // The table of exit functions is small and fixed; without a place the objects would live
    // on, and a later interpreter of the same process would see stale pointers, so refuse.
    if (!exit_function_registered) {
        if (Py_AtExit(forget_all) != 0) {
            raise(PyExc_RuntimeError, "no room left for an exit function (Py_AtExit)");
        }
        exit_function_registered = true;
    }
    if (kept_count == kept.size()) {
        raise(PyExc_RuntimeError, "too many tables kept for the interpreter's life");
    }
    kept[kept_count++] = {forget, table};
}

namespace {

Words fill() {
    Words table;
    UPDATER_PYTHON_WORDS(UPDATER_INTERN_WORD, UPDATER_INTERN_TEXT)
    return table;
}

constinit PerInterpreter<Words> table(fill);

}  // namespace

const Words& words() { return table.get(); }

}  // namespace updater::py
