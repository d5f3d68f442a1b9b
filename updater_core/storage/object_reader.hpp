#pragma once

#include "lines.hpp"

namespace updater::storage {

// s3_file_reader(file_path): the whole content of one object of the bucket, as stored.
extern const py::FunctionSpec s3_file_reader;

}  // namespace updater::storage
