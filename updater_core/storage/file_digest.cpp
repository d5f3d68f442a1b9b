#include "storage/file_digest.hpp"

#include "capi/names.hpp"
#include "capi/ops.hpp"

namespace updater::storage {

namespace {

py::Ref hash_file(const py::Scope& scope, py::Borrowed, py::Borrowed file_path) {
    py::Ref h = py::call_method(scope[n.hashlib], n.sha256);
    py::Ref open = scope[n.open];
    py::Ref file = py::call(open, file_path, n.mode_read_binary);
    // The file is streamed one hash block at a time, never held whole, and closed on every way
    // out of the loop. This loop runs once per 64 bytes, so it makes no call it can avoid: the
    // method calls go through vectorcall without bound-method objects, and block_size (a small
    // int, cached by the interpreter) is looked up anew on every pass.
    py::with(file, [&](py::Borrowed f) {
        for (;;) {
            py::Ref chunk = py::call_method(f, n.read, py::attr(h, n.block_size));
            if (!py::truth(chunk)) {
                break;
            }
            py::call_method(h, n.update, chunk);
        }
    });
    return py::call_method(h, n.hexdigest);
}

}  // namespace

const py::FunctionSpec get_hash_digest = {
    "get_hash_digest", "get_hash_digest", "updater_core.get_hash_digest", 33,
    py::Parameters::one, "file_path", hash_file,
};

}  // namespace updater::storage
