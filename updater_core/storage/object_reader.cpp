#include "storage/object_reader.hpp"

#include "names.hpp"
#include "capi/ops.hpp"

namespace updater::storage {

namespace {

py::Ref read_object(const py::Scope& scope, py::Borrowed, py::Borrowed file_path) {
    // One request, the bucket named literally and the key passed on unchanged.
    py::Ref get_object = py::attr(scope[n.s3unsafe], n.get_object);
    py::Ref response = py::call_kw(get_object, n.kw_bucket_key, n.bucket, file_path);
    // The body is read whole, in one call, and handed back untouched: the caller compares
    // bytes, so no line end or space may be lost or added here.
    return py::call_method(py::item(response, n.Body), n.read);
}

}  // namespace

const py::FunctionSpec s3_file_reader = {
    defined::s3_file_reader, py::Parameters::one, "file_path", read_object,
};

}  // namespace updater::storage
