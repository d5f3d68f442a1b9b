// Console messages. Every message has a Russian and an English text; the message site asks
// use_russian() at the moment it prints, then prints the chosen text with the built-in print.
#pragma once

#include "capi/names.hpp"
#include "capi/ops.hpp"
#include "capi/scope.hpp"

namespace updater::py {

// The truth value of the global RU, read anew for every message.
inline bool use_russian(const Scope& scope) { return truth(scope[n.RU]); }

// `if RU: print(russian) else: print(english)`, the text made only for the branch taken.
// Each text is a callable returning a Ref, so a message made of pieces reads its values (a
// global, a path) after RU and print have been looked up, as the statement would.
template <class Russian, class English>
void say(const Scope& scope, Russian&& russian, English&& english) {
    const bool ru = use_russian(scope);
    Ref print = scope[n.print];
    Ref text = ru ? russian() : english();
    call(print, text);
}

// A message of one fixed text in each language.
inline void say(const Scope& scope, const char* russian, const char* english) {
    say(scope, [&] { return str(russian); }, [&] { return str(english); });
}

}  // namespace updater::py
