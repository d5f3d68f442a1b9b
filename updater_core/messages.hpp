// Console messages. Every message has a Russian and an English text; the message site reads RU
// at the moment it prints and prints the chosen text with the built-in print.
#pragma once

#include "capi/ops.hpp"
#include "capi/scope.hpp"
#include "names.hpp"

#include <initializer_list>

namespace updater {

// One piece of a message: fixed text, a module global read when the message is made, or a
// value the caller already has.
class Piece {
public:
    Piece(const char* text) : text_(text) {}
    Piece(py::Borrowed value) : value_(value) {}
    Piece(PyObject* value) : value_(value) {}
    Piece(const py::Ref& value) : value_(value) {}

    // The module global `name`, looked up when the message is made.
    static Piece global(py::Borrowed name) {
        Piece piece(name);
        piece.is_global_ = true;
        return piece;
    }

    py::Ref make(const py::Scope& scope) const {
        if (text_ != nullptr) {
            return py::str(text_);
        }
        return is_global_ ? scope[value_] : py::Ref::share(value_);
    }

private:
    const char* text_ = nullptr;
    py::Borrowed value_;
    bool is_global_ = false;
};

// The chosen language's pieces, made one by one and joined left to right with `+`.
inline py::Ref join(const py::Scope& scope, std::initializer_list<Piece> pieces) {
    py::Ref text;
    for (const Piece& piece : pieces) {
        py::Ref made = piece.make(scope);
        text = text ? py::add(text, made) : made;
    }
    return text;
}

// `print(russian if RU else english)`, each given as its pieces: RU and print are looked up
// first, then only the chosen language's pieces are made, as
// `if RU: print("..." + NAME + "...")` evaluates.
inline void say(const py::Scope& scope, std::initializer_list<Piece> russian,
                std::initializer_list<Piece> english) {
    const bool ru = py::truth(scope[n.RU]);
    py::Ref print = scope[n.print];
    py::call(print, join(scope, ru ? russian : english));
}

// Raises `type` with the message in the user's language.
[[noreturn]] inline void fail(const py::Scope& scope, PyObject* type,
                              std::initializer_list<Piece> russian,
                              std::initializer_list<Piece> english) {
    const bool ru = py::truth(scope[n.RU]);
    py::Ref text = join(scope, ru ? russian : english);
    PyErr_SetObject(type, text.get());
    throw py::ErrorAlreadySet{};
}

// Refuses the update: RuntimeError with the message in the user's language, its attribute
// `refusal` naming the kind of refusal for whoever explains it to the person (the launcher).
[[noreturn]] inline void refuse(const py::Scope& scope, py::Borrowed kind,
                                std::initializer_list<Piece> russian,
                                std::initializer_list<Piece> english) {
    const bool ru = py::truth(scope[n.RU]);
    py::Ref error = py::call(PyExc_RuntimeError, join(scope, ru ? russian : english));
    py::require(PyObject_SetAttr(error.get(), n.refusal.get(), kind.get()));
    PyErr_SetObject(PyExc_RuntimeError, error.get());
    throw py::ErrorAlreadySet{};
}

// Raises `error` (being handled) again as a refusal of kind `kind`: its attribute `refusal` is
// set, and it keeps its class (a system error that the launcher explains as a refusal).
[[noreturn]] inline void raise_as_refusal(py::Borrowed error, py::Borrowed kind) {
    py::require(PyObject_SetAttr(error.get(), n.refusal.get(), kind.get()));
    py::raise_again(error);
}

// Refuses the downloaded executable, saying what is wrong with it: "The downloaded
// kelvo_bot.exe" and `english` (or the Russian of both).
[[noreturn]] inline void refuse_download(const py::Scope& scope, py::Borrowed kind,
                                         const char* russian, const char* english) {
    const Piece local_exe_name = Piece::global(n.LOCAL_EXE_NAME);
    refuse(scope, kind, {"Загруженный файл ", local_exe_name, russian},
           {"The downloaded ", local_exe_name, english});
}

}  // namespace updater
