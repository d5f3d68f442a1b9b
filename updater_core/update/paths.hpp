// The bot directory rule, shared by the update check, the download and the replacement.
//
// The bot directory holds the managed executable. It is the working directory, unless that
// ends with the bin suffix ("\bin" on Windows), in which case exactly those four characters go.
// The test looks at the text only, case-sensitively; paths are joined by plain concatenation
// with the platform's separator, without normalisation.
#pragma once

#include "capi/ops.hpp"
#include "capi/scope.hpp"
#include "names.hpp"
#include "platform.hpp"

namespace updater::update {

// os.getcwd(), asked anew every time.
inline py::Ref working_directory(const py::Scope& scope) {
    return py::call_method(scope[n.os], n.getcwd);
}

// directory.endswith("\bin")
inline bool is_bin_directory(py::Borrowed directory) {
    return py::truth(py::call_method(directory, n.endswith, n.bin_suffix));
}

// directory[:-4]: the parent of a bin directory.
inline py::Ref parent_of_bin(py::Borrowed directory) {
    return py::slice_to(directory, -platform::bin_suffix_length);
}

// The bot directory, from the working directory as it is now.
inline py::Ref bot_directory(const py::Scope& scope) {
    py::Ref directory = working_directory(scope);
    return is_bin_directory(directory) ? parent_of_bin(directory) : directory;
}

// directory + "\" + name
inline py::Ref beside(py::Borrowed directory, py::Borrowed name) {
    return py::concat({directory, n.separator, name});
}

// os.path.<test>(path), for the tests of os.path: isfile (only a regular file counts), isdir,
// islink and lexists (anything at all stands at the name, a dangling link included).
inline bool path_test(const py::Scope& scope, py::Borrowed test, py::Borrowed path) {
    return py::truth(py::call(py::attr(py::attr(scope[n.os], n.path), test), path));
}

inline bool is_file(const py::Scope& scope, py::Borrowed path) {
    return path_test(scope, n.isfile, path);
}

// A folder that is itself at `path`, not reached through a link.
inline bool is_real_directory(const py::Scope& scope, py::Borrowed path) {
    return path_test(scope, n.isdir, path) && !path_test(scope, n.islink, path);
}

}  // namespace updater::update
