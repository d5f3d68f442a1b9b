#include "capi/interned.hpp"

namespace updater::py {

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) {
        throw ErrorAlreadySet{};
    }
    return s;
}

PyObject* keyword_names(std::initializer_list<const char*> words) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(words.size())));
    Py_ssize_t i = 0;
    for (const char* word : words) {
        PyTuple_SET_ITEM(tuple.get(), i++, intern(word));
    }
    return tuple.release();
}

void forget_at_finalize(void (*forget)()) {
    // The table of exit functions is small and fixed; without a place the objects simply live
    // on, and a later interpreter of the same process would see stale pointers, so refuse.
    if (Py_AtExit(forget) != 0) {
        raise(PyExc_RuntimeError, "no room left for an exit function (Py_AtExit)");
    }
}

namespace {

Words table{};
bool filled = false;

}  // namespace

const Words& words() {
    if (!filled) {
        table = {intern("__enter__"), intern("__exit__"), intern("__import__"), intern("__name__"),
                 intern("name")};
        forget_at_finalize([] { filled = false; });
        filled = true;
    }
    return table;
}

}  // namespace updater::py
