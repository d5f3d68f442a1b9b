// Objects kept for the life of one interpreter: interned strings, keyword-name tuples, types.
//
// A table of interned strs is declared and filled from lists of its words, each word named once:
// WORD(member) for an identifier that is its own text, TEXT(member, "text") for another text.
// Every member is declared and filled by its own name, so that a word added anywhere in a list
// cannot shift another; a table of a higher room takes a lower room's words as a base, shared
// from that room's table rather than interned again.
//
// Each kind is kept in a table, filled on first use in an interpreter. A program that embeds
// Python may finalise the interpreter and initialise a new one, which must get fresh objects,
// never pointers into the old interpreter's freed memory. So every table is registered with one
// list, and one exit function forgets them all together once the interpreter has finalised
// (Py_AtExit). By then no Python API may be called: the references are dropped without being
// released, since the interpreter that owned the objects is gone.
#pragma once

#include "capi/ref.hpp"

#include <initializer_list>
#include <new>
#include <utility>

namespace updater::py {

// The interned str of `text`.
Ref intern(const char* text);

// A tuple of interned strs: the keyword names of a vectorcall, in the order they are passed.
Ref keyword_names(std::initializer_list<const char*> words);

// A table's member of each entry of a word list, and the line of its fill (into `table`).
#define UPDATER_DECLARE_WORD(member) ::updater::py::Ref member;
#define UPDATER_DECLARE_TEXT(member, text) ::updater::py::Ref member;
#define UPDATER_INTERN_WORD(member) table.member = ::updater::py::intern(#member);
#define UPDATER_INTERN_TEXT(member, text) table.member = ::updater::py::intern(text);

// Has forget(table) run, with every other table's, once the interpreter has finalised.
void forget_at_finalize(void (*forget)(void* table), void* table);

// One table of Refs (a struct of them), made by `fill` on first use in each interpreter.
template <class Table>
class PerInterpreter {
public:
    using Fill = Table (*)();

    constexpr explicit PerInterpreter(Fill fill) noexcept : fill_(fill), table_() {}
    // Never destroyed: at process exit the interpreter that owned the objects may be gone.
    ~PerInterpreter() {}
    PerInterpreter(const PerInterpreter&) = delete;
    PerInterpreter& operator=(const PerInterpreter&) = delete;

    // The table, filled in this interpreter if it is not yet. A fill that fails keeps nothing,
    // and the next use starts over.
    Table& get() {
        if (!filled_) {
            Table fresh = fill_();
            forget_at_finalize(forget, this);
            table_ = std::move(fresh);
            filled_ = true;
        }
        return table_;
    }

    // The table as it stands, for code that runs only after get() (it stays at one address).
    constexpr const Table& unchecked() const noexcept { return table_; }

private:
    static void forget(void* self) noexcept {
        auto* kept = static_cast<PerInterpreter*>(self);
        // A new empty table over the old one, whose destructor must not run.
        new (&kept->table_) Table();
        kept->filled_ = false;
    }

    Fill fill_;
    bool filled_ = false;
    union {
        Table table_;
    };
};

// The interpreter's own words that this layer passes: special methods and attribute names.
#define UPDATER_PYTHON_WORDS(WORD, TEXT)                                                       \
    TEXT(dunder_enter, "__enter__") TEXT(dunder_exit, "__exit__")                              \
    TEXT(dunder_import, "__import__") TEXT(dunder_name, "__name__") WORD(name)

struct Words {
    UPDATER_PYTHON_WORDS(UPDATER_DECLARE_WORD, UPDATER_DECLARE_TEXT)
};

// The table, filled on first use.
const Words& words();

}  // namespace updater::py
