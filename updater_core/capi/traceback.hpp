// Traceback entries for native code, so that a failure shows where in the module it happened.
#pragma once

#include "capi/ref.hpp"

namespace updater::py {

// Adds an entry "File `file`, line `line`, in `function`" to the traceback of the exception
// being raised. If the entry itself cannot be made, the exception stays as it was.
void add_traceback(const char* file, const char* function, int line, Borrowed globals) noexcept;

// Runs statement; if it raises, the traceback gets an entry for `function` at `line`.
template <class Statement>
void at_line(const char* file, const char* function, int line, Borrowed globals,
             Statement&& statement) {
    try {
        statement();
    } catch (const ErrorAlreadySet&) {
        add_traceback(file, function, line, globals);
        throw;
    }
}

}  // namespace updater::py
