#include "storage/object_reader.hpp"

#include "names.hpp"
#include "capi/ops.hpp"
#include "messages.hpp"
#include "storage/store_watch.hpp"

namespace updater::storage {

namespace {

// The most bytes an object read whole may hold (cmake/project.json, which the publisher reads
// too); one byte more is read to tell a longer one.
#if !defined(UPDATER_LONGEST_OBJECT)
#error "UPDATER_LONGEST_OBJECT must be set by the build (cmake/project.json)"
#endif
constexpr Py_ssize_t longest_object = UPDATER_LONGEST_OBJECT;

py::Ref read_object(const py::Scope& scope, py::Borrowed, py::Borrowed file_path) {
    // One request, the bucket named literally and the key passed on unchanged.
    py::Ref get_object = py::attr(scope[n.s3unsafe], n.get_object);
    // The body is handed back untouched: the caller compares bytes, so no line end or space may
    // be lost or added here. The objects read so are a few dozen or hundred bytes; a longer one
    // is not what the updater publishes, and is refused unread rather than taken into memory
    // whole, whatever the store sends.
    py::Ref content;
    storage::watched(scope, [&](py::Borrowed) {
        py::Ref response = py::call_kw(get_object, n.kw_bucket_key, n.bucket, file_path);
        content =
            py::call_method(py::item(response, n.Body), n.read, py::integer(longest_object + 1));
    });
    if (PyBytes_Check(content.get()) && PyBytes_GET_SIZE(content.get()) > longest_object) {
        py::Ref most = py::text(py::integer(longest_object));
        refuse(scope, n.refusal_oversized,
               {"Объект ", file_path, " на сервере длиннее ", most,
                " байт, каким он не бывает; ничего не изменено."},
               {"The store's object ", file_path, " is longer than ", most,
                " bytes, which it never is; nothing was changed."});
    }
    return content;
}

}  // namespace

const py::FunctionSpec s3_file_reader = {
    defined::s3_file_reader, py::Parameters::one, "file_path", read_object,
};

}  // namespace updater::storage
