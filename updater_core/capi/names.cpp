#include "capi/names.hpp"

#include "platform.hpp"

#include <initializer_list>

namespace updater::names {

Table table{};

namespace {

PyObject* interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) {
        throw py::ErrorAlreadySet{};
    }
    return s;
}

PyObject* keywords(std::initializer_list<const char*> words) {
    py::Ref tuple = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(words.size())));
    Py_ssize_t i = 0;
    for (const char* word : words) {
        PyTuple_SET_ITEM(tuple.get(), i++, interned(word));
    }
    return tuple.release();
}

bool filled = false;

}  // namespace

void intern() {
    if (filled) {
        return;
    }
    // A failure half way leaves some entries set; the next call starts over and the strings
    // already interned are simply interned again.
#define UPDATER_INTERN_IDENTIFIER(id) table.id = interned(#id);
#define UPDATER_INTERN_TEXT(id, text) table.id = interned(text);
    UPDATER_IDENTIFIERS(UPDATER_INTERN_IDENTIFIER)
    UPDATER_TEXTS(UPDATER_INTERN_TEXT)
#undef UPDATER_INTERN_IDENTIFIER
#undef UPDATER_INTERN_TEXT
    table.kw_client = keywords(
        {"service_name", "aws_access_key_id", "aws_secret_access_key", "endpoint_url", "verify"});
    table.kw_bucket_key = keywords({"Bucket", "Key"});
    table.kw_bar = keywords({"marker", "left", "right"});
    table.kw_progress_bar = keywords({"widgets", "maxval"});
    table.kw_callback = keywords({"Callback"});
    table.kw_encoding = keywords({"encoding"});
    filled = true;
}

}  // namespace updater::names
