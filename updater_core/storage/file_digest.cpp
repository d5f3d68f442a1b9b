#include "storage/file_digest.hpp"

#include "capi/hot_loop.hpp"
#include "capi/ops.hpp"
#include "names.hpp"

#include <utility>

namespace updater::storage {

namespace {

py::Ref hash_file(const py::Scope& scope, py::Borrowed, py::Borrowed file_path) {
    py::Ref h = py::call_method(scope[n.hashlib], n.sha256);
    py::Ref open = scope[n.open];
    py::Ref file = py::call(open, file_path, n.mode_read_binary);
    // The file is streamed one hash block at a time, never held whole, and closed on every way
    // out of the loop. The loop runs once per 64 bytes, so it does nothing it can avoid: `read`
    // and `update` are bound once, where the loop first needs them, as a Python loop would keep
    // them in locals, and each pass's references are given up as soon as it is done with them;
    // block_size is looked up anew on every pass (for a hash type that cannot change, by its
    // getter alone) and costs no allocation (64 is a cached small int).
    py::with(file, [&](py::Borrowed f) {
        py::LoopCall read(py::attr(f, n.read));
        py::AttributeLookup block_size(n.block_size);
        py::LoopCall update;
        for (;;) {
            py::Ref chunk = read(block_size(h));
            if (!py::truth(chunk)) {
                break;
            }
            if (!update) {
                update = py::LoopCall(py::attr(h, n.update));
            }
            update(std::move(chunk)).reset_attached();
        }
    });
    return py::call_method(h, n.hexdigest);
}

}  // namespace

const py::FunctionSpec get_hash_digest = {
    defined::get_hash_digest, py::Parameters::one, "file_path", hash_file,
};

}  // namespace updater::storage
