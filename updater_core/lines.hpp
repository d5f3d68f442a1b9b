// Where each statement of the module stands: the one table of its lines.
//
// Tracebacks name a statement by its line, on one scale for the configuration, the function
// definitions and the start-up sequence; the statements, the function definitions and the
// tests all read their lines (and the functions their names) from here.
//
//   STATEMENT(name, line)          a statement of the module body
//   FUNCTION(name, line)           `def name` at module level, at its first line
//   NESTED(outer, name, line)      `def name` in the body of the module function `outer`
#pragma once

#include "capi/function.hpp"

#define UPDATER_LINES(STATEMENT, FUNCTION, NESTED) \
    STATEMENT(import_boto3, 1)                     \
    STATEMENT(import_os_sys_time, 2)               \
    STATEMENT(import_progressbar, 3)               \
    STATEMENT(import_shutil, 4)                    \
    STATEMENT(import_urllib3, 5)                   \
    STATEMENT(import_hashlib, 6)                   \
    STATEMENT(import_locale, 7)                    \
    STATEMENT(local_exe_name, 9)                   \
    STATEMENT(temp_exe_name, 10)                   \
    STATEMENT(getlocale, 12)                       \
    STATEMENT(is_russian, 13)                      \
    STATEMENT(russian, 14)                         \
    STATEMENT(english, 16)                         \
    STATEMENT(disable_warnings, 18)                \
    STATEMENT(session, 19)                         \
    STATEMENT(client, 20)                          \
    FUNCTION(s3_file_reader, 28)                   \
    FUNCTION(get_hash_digest, 33)                  \
    FUNCTION(get_update, 45)                       \
    NESTED(get_update, transfer_progress, 63)      \
    NESTED(get_update, replace_exe, 85)            \
    FUNCTION(check_update_is_needed, 114)          \
    STATEMENT(check, 165)                          \
    STATEMENT(update, 166)                         \
    STATEMENT(wait, 168)                           \
    STATEMENT(exit, 170)

#define UPDATER_NO_LINE(...)

// The statements' lines: lines::getlocale, lines::update, ...
namespace updater::lines {
#define UPDATER_STATEMENT_LINE(name, line) inline constexpr int name = line;
UPDATER_LINES(UPDATER_STATEMENT_LINE, UPDATER_NO_LINE, UPDATER_NO_LINE)
#undef UPDATER_STATEMENT_LINE
}  // namespace updater::lines

// The functions' names and first lines: defined::get_update, ... A module function answers a
// wrong call as a builtin function does, a nested one as a Python function does.
namespace updater::defined {
#define UPDATER_FUNCTION(name, line) \
    inline constexpr py::Definition name{#name, #name, line, py::ArgumentErrors::builtin};
#define UPDATER_NESTED(outer, name, line)                                            \
    inline constexpr py::Definition name{#name, #outer ".<locals>." #name, line, \
                                         py::ArgumentErrors::python};
UPDATER_LINES(UPDATER_NO_LINE, UPDATER_FUNCTION, UPDATER_NESTED)
#undef UPDATER_FUNCTION
#undef UPDATER_NESTED
}  // namespace updater::defined

#undef UPDATER_NO_LINE
