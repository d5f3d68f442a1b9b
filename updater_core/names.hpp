// The updater's words: the names and texts its statements pass on every run, interned once.
//
// The module only ever lives in one interpreter at a time (the create step enforces it), so
// one table for the process is enough. It is filled by names::intern() before the first
// statement runs, and forgotten with the layer's other tables when the interpreter finalises.
#pragma once

#include "capi/interned.hpp"
#include "platform.hpp"

// The module's name: the import's, the traceback entries' and the messages'.
#define UPDATER_MODULE_NAME "updater_core"

// The bucket, the executable's name (its object in the bucket, its file in the bot folder), the
// names of the updater's files beside it and of the objects that publish it, and the locale of
// the Russian messages come from the build (cmake/project.json, which the tools read too).
#if !defined(UPDATER_BUCKET) || !defined(UPDATER_EXE_NAME) || !defined(UPDATER_DOWNLOAD_NAME) || \
    !defined(UPDATER_RELEASE_RECORD_NAME) || !defined(UPDATER_LOCK_NAME) ||                   \
    !defined(UPDATER_DIGEST_OBJECT) || !defined(UPDATER_STATEMENT_OBJECT) ||                   \
    !defined(UPDATER_PATCH_PREFIX) || !defined(UPDATER_PATCH_SUFFIX) ||                       \
    !defined(UPDATER_RUSSIAN_LOCALE)
#error "the project's names must be set by the build (cmake/project.json)"
#endif

namespace updater::names {

// Identifiers: the C++ member is the Python text. (Python's words that the layer and the platform
// pass, `os`, `open`, `name` and the like, are theirs, and the table takes them from them.)
#define UPDATER_IDENTIFIERS(X)                                                                 \
    X(boto3) X(sys) X(time) X(progressbar) X(shutil) X(urllib3) X(hashlib) X(locale)     \
    X(subprocess) X(LOCAL_EXE_NAME) X(TEMP_EXE_NAME) X(lang) X(_) X(RU) X(session) X(s3unsafe) \
    X(s3_file_reader) X(get_hash_digest) X(get_update) X(check_update_is_needed)               \
    X(getlocale) X(disable_warnings) X(client) X(exit) X(sleep) X(getcwd) X(path) X(isfile)     \
    X(endswith) X(chdir) X(unlink) X(move)     \
    X(Popen) X(get_object) X(head_object) X(download_fileobj) X(read) X(update) X(hexdigest)   \
    X(sha256) X(block_size) X(Percentage) X(Bar) X(ETA) X(FileTransferSpeed) X(ProgressBar)    \
    X(start) X(finish) X(print) X(bytes) X(strip) X(lower) X(loader) X(origin) \
    X(parent) X(submodule_search_locations) X(__builtins__) X(__loader__) X(__file__)          \
    X(__package__) X(__path__) X(Session)                                                      \
    X(isdir) X(islink) X(lexists) X(lstat) X(file_digest) X(signing) X(VerifyKey)      \
    X(verify) X(fromhex) X(seek) X(copyfileobj) X(fstat) X(st_ino) X(st_dev)           \
    X(refusal) X(exceptions) X(NoSuchKey) X(write)     \
    X(config) X(Config) X(total_max_attempts) X(mode) X(standard) X(meta) X(events)       \
    X(caught_exception) X(attempts) X(shutdown) X(BadSignatureError) \
    X(request) X(stream_output) X(send) X(status_code) X(raw) X(headers) X(url)                \
    X(URLLib3Session) X(get_environ_proxies) X(AWSResponse) X(HTTPResponse) X(io) X(BytesIO)    \
    X(endpoint_url) X(connect_timeout) X(read_timeout) X(proxies) X(max_pool_connections)       \
    X(addaudithook) X(signal) X(getsignal) X(socket)                \
    X(args) X(disk_usage) X(free) X(st_size)                                               \
    X(zstd) X(ZstdDict) X(as_prefix) X(ZstdDecompressor) X(DecompressionParameter)             \
    X(window_log_max) X(decompress) X(eof) X(needs_input) X(unused_data) X(mmap) X(ACCESS_READ)

// Texts that are not identifiers.
#define UPDATER_TEXTS(X)                                                                       \
    X(module_name, UPDATER_MODULE_NAME)                                                        \
    X(bucket, UPDATER_BUCKET)                                                                  \
    X(exe_name, UPDATER_EXE_NAME)                                                              \
    X(temp_exe_name, UPDATER_DOWNLOAD_NAME)                                                    \
    X(hash_object_key, UPDATER_DIGEST_OBJECT)                                                  \
    X(Body, "Body")                                                                            \
    X(ContentLength, "ContentLength")                                                          \
    X(russian_locale, UPDATER_RUSSIAN_LOCALE)                                                  \
    X(mode_read_binary, "rb")                                                                  \
    X(utf_8, "utf-8")                                                                          \
    X(size_format, "0.2f")                                                                     \
    X(int_, "int")                                                                             \
    X(space, " ")                                                                              \
    X(set_aside_suffix, ".old")                                                                \
    X(separator, platform::separator)                                                          \
    X(bin_suffix, platform::bin_suffix)                                                        \
    X(signature_object_key, UPDATER_STATEMENT_OBJECT)                                          \
    X(patch_prefix, UPDATER_PATCH_PREFIX)                                                      \
    X(patch_suffix, UPDATER_PATCH_SUFFIX)                                                      \
    X(backports_zstd, "backports.zstd")                                                        \
    X(nacl_signing, "nacl.signing")                                                            \
    X(refusal_unsigned, "unsigned")                                                            \
    X(refusal_mismatch, "mismatch")                                                            \
    X(refusal_replaced, "replaced")                                                            \
    X(refusal_expired, "expired")                                                              \
    X(refusal_older, "older")                                                                  \
    X(refusal_leap, "leap")                                                                    \
    X(refusal_retired, "retired")                                                              \
    X(refusal_oversized, "oversized")                                                          \
    X(refusal_stalled, "stalled")                                                              \
    X(refusal_not_started, "not_started")                                                      \
    X(refusal_not_writable, "not_writable")                                                    \
    X(refusal_interrupted, "interrupted")                                                      \
    X(refusal_running, "running")                                                              \
    X(refusal_disk_full, "disk_full")                                                          \
    X(release_record_name, UPDATER_RELEASE_RECORD_NAME)                                        \
    X(new_suffix, ".new")                                                                      \
    X(botocore_config, "botocore.config")                                                      \
    X(lock_name, UPDATER_LOCK_NAME)                                                            \
    X(register_, "register")                                                                   \
    X(needs_retry, "needs-retry.s3")                                                           \
    X(before_send, "before-send.s3")                                                           \
    X(botocore_httpsession, "botocore.httpsession")                                            \
    X(botocore_utils, "botocore.utils")                                                        \
    X(botocore_awsrequest, "botocore.awsrequest")                                              \
    X(urllib3_response, "urllib3.response")                                                    \
    X(sigint, "SIGINT")

struct Table : py::Words, platform::Words {
    UPDATER_IDENTIFIERS(UPDATER_DECLARE_WORD)
    UPDATER_TEXTS(UPDATER_DECLARE_TEXT)

    // Keyword-name tuples of the calls that pass keywords, in the order the calls pass them.
    py::Ref kw_client;           // service_name, aws_access_key_id, ..., verify, config
    py::Ref kw_config;           // connect_timeout, read_timeout, retries
    py::Ref kw_bucket_key;       // Bucket, Key
    py::Ref kw_bar;              // marker, left, right
    py::Ref kw_progress_bar;     // widgets, maxval
    py::Ref kw_callback;         // Callback
    py::Ref kw_encoding;         // encoding
    py::Ref kw_is_raw;           // is_raw
    py::Ref kw_patch_reader;     // zstd_dict, options
    py::Ref kw_max_length;       // max_length
    py::Ref kw_access;           // access
    py::Ref kw_session;          // verify, proxies, timeout, max_pool_connections
    py::Ref kw_answer;           // body, headers, status, preload_content, decode_content,
                                 // enforce_content_length
};

extern py::PerInterpreter<Table> held;

// Fills the table on first use in the interpreter; later calls do nothing.
inline void intern() { held.get(); }

}  // namespace updater::names

namespace updater {
// Short spelling for the statements: n.getcwd, n.kw_bucket_key, ...
inline const names::Table& n = names::held.unchecked();
}  // namespace updater
