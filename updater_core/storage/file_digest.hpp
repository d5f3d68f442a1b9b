#pragma once

#include "lines.hpp"

namespace updater::storage {

// get_hash_digest(file_path): the SHA-256 digest of a local file, as 64 lower-case hex digits.
extern const py::FunctionSpec get_hash_digest;

}  // namespace updater::storage
