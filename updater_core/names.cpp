#include "names.hpp"

#include "platform.hpp"

namespace updater::names {

namespace {

Table fill() {
    Table table;
    static_cast<py::Words&>(table) = py::words();
    static_cast<platform::Words&>(table) = platform::words();
    UPDATER_IDENTIFIERS(UPDATER_INTERN_WORD)
    UPDATER_TEXTS(UPDATER_INTERN_TEXT)
    table.kw_client = py::keyword_names(
        {"service_name", "aws_access_key_id", "aws_secret_access_key", "endpoint_url", "verify",
         "config"});
    table.kw_config = py::keyword_names({"connect_timeout", "read_timeout", "retries"});
    table.kw_bucket_key = py::keyword_names({"Bucket", "Key"});
    table.kw_bar = py::keyword_names({"marker", "left", "right"});
    table.kw_progress_bar = py::keyword_names({"widgets", "maxval"});
    table.kw_callback = py::keyword_names({"Callback"});
    table.kw_encoding = py::keyword_names({"encoding"});
    table.kw_is_raw = py::keyword_names({"is_raw"});
    table.kw_patch_reader = py::keyword_names({"zstd_dict", "options"});
    table.kw_max_length = py::keyword_names({"max_length"});
    table.kw_access = py::keyword_names({"access"});
    table.kw_session =
        py::keyword_names({"verify", "proxies", "timeout", "max_pool_connections"});
    table.kw_answer = py::keyword_names({"body", "headers", "status", "preload_content",
                                         "decode_content", "enforce_content_length"});
    return table;
}

}  // namespace

constinit py::PerInterpreter<Table> held(fill);

}  // namespace updater::names
