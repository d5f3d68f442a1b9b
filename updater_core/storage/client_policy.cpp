#include "storage/client_policy.hpp"

#include "names.hpp"
#include "capi/function.hpp"
#include "capi/ops.hpp"
#include "lines.hpp"
#include "messages.hpp"
#include "storage/store_watch.hpp"

#include <chrono>

namespace updater::storage {

namespace {

// still_trying(**event): after each attempt of a request, botocore's "needs-retry" event. When an
// attempt failed on the way (no answer in time, the connection refused or broken) and another
// follows, the person hears that the store is slow and that the updater goes on: a silent store
// never leaves the window quiet for longer than one attempt. The requests that the download
// sends side by side (pieces of a large file) fail together: the same attempt of another is
// said once. A store the watch gave up on is not tried again, and nothing is said.
py::Ref still_trying_body(const py::Scope& scope, py::Borrowed, py::Borrowed event) {
    py::Ref caught = py::dict_item(event, n.caught_exception);
    py::Ref attempts = py::dict_item(event, n.attempts);
    if (caught && caught.get() != Py_None && attempts && PyLong_Check(attempts.get())) {
        const long attempt = py::as_long(attempts);
        ConsoleLine& shown = window();
        if (attempt < client_attempts && !given_up() &&
            !shown.just_said(attempt, std::chrono::seconds(read_timeout_seconds))) {
            say_still_trying(scope, shown, attempt);
        }
    }
    return py::Ref::share(Py_None);
}

const py::FunctionSpec still_trying = {
    {"still_trying", "still_trying", lines::client, py::ArgumentErrors::python},
    py::Parameters::keywords, nullptr, still_trying_body,
};

// `import name` of a submodule, the module itself handed back (not its package, as the
// statement binds it).
py::Ref submodule(py::Borrowed name) {
    return py::Ref::steal(PyImport_Import(name.get()));
}

// The HTTP session that sends the client's requests, made on the first request as the library
// would make the client's own: its proxies (those of its configuration, or the environment's for
// its endpoint), its timeouts and its number of connections.
py::Ref make_session(py::Borrowed meta) {
    py::Ref config = py::attr(meta, n.config);
    py::Ref proxies = py::attr(config, n.proxies);
    if (proxies.get() == Py_None) {
        py::Ref environ_proxies = py::attr(submodule(n.botocore_utils), n.get_environ_proxies);
        proxies = py::call(environ_proxies, py::attr(meta, n.endpoint_url));
    }
    py::Ref connect_timeout = py::attr(config, n.connect_timeout);
    py::Ref read_timeout = py::attr(config, n.read_timeout);
    py::Ref timeout =
        py::Ref::steal(PyTuple_Pack(2, connect_timeout.get(), read_timeout.get()));
    py::Ref session_type = py::attr(submodule(n.botocore_httpsession), n.URLLib3Session);
    return py::call_kw(session_type, n.kw_session, Py_False, proxies, timeout,
                       py::attr(config, n.max_pool_connections));
}

// send_bounded(**event): botocore's "before-send" event, whose handler may answer the request
// itself. It sends the request as the library would, the connections it opens noted by the
// watch, and hands back the answer; an error answer (a status of 300 or more, whose body the
// library would read whole) with its body read to `longest_error_answer` and its connection
// dropped, so that the rest is never read, whatever the store sends (or says it sends: the
// length its headers give is not held against the part read).
//
// Only the library's documented event and classes are used: the client's own HTTP session is not
// public, so the handler keeps one of its own, made as the client's is.
py::Ref send_bounded_body(const py::Scope&, py::Borrowed closure, py::Borrowed event) {
    py::Ref request = py::dict_item(event, n.request);
    if (!request) {
        return py::Ref::share(Py_None);  // not an event of the shape documented: sent as usual
    }
    PyObject* cell = PyTuple_GET_ITEM(closure.get(), 0);
    py::Ref session = py::Ref::steal_or_null(PyCell_Get(cell));
    if (!session) {
        py::Ref made = make_session(PyTuple_GET_ITEM(closure.get(), 1));
        // Another thread may have made one meanwhile: the first stays.
        session = py::Ref::steal_or_null(PyCell_Get(cell));
        if (!session) {
            py::require(PyCell_Set(cell, made.get()));
            session = made;
        }
    }
    py::Ref answer;
    py::Ref raw;
    {
        StoreSending sending;
        answer = py::call_method(session, n.send, request);
        raw = py::attr(answer, n.raw);
        sending.answered(raw);
    }
    // An answer without a body to stream (HEAD's, which HTTP gives none) the session read
    // already, as the library does.
    py::Ref status = py::attr(answer, n.status_code);
    if (py::as_long(status) < 300 || !py::truth(py::attr(request, n.stream_output))) {
        return answer;
    }
    py::Ref body = py::call_method(raw, n.read, py::integer(longest_error_answer));
    py::call_method(raw, n.close);
    py::Ref headers = py::attr(answer, n.headers);
    py::Ref read = py::call(py::attr(submodule(n.io), n.BytesIO), body);
    py::Ref answer_type = py::attr(submodule(n.urllib3_response), n.HTTPResponse);
    py::Ref bounded = py::call_kw(answer_type, n.kw_answer, read, headers, status, Py_False,
                                  Py_False, Py_False);
    py::Ref response_type = py::attr(submodule(n.botocore_awsrequest), n.AWSResponse);
    return py::call(response_type, py::attr(answer, n.url), status, headers, bounded);
}

const py::FunctionSpec send_bounded = {
    {"send_bounded", "send_bounded", lines::client, py::ArgumentErrors::python},
    py::Parameters::keywords, nullptr, send_bounded_body,
};

}  // namespace

py::Ref client_config(const py::Scope& module) {
    py::Ref botocore = module.import(n.botocore_config, module.globals());
    py::Ref config_type = py::attr(py::attr(botocore, n.config), n.Config);
    py::Ref retries = py::Ref::steal(PyDict_New());
    py::require(PyDict_SetItem(retries.get(), n.total_max_attempts.get(),
                               py::integer(client_attempts).get()));
    py::require(PyDict_SetItem(retries.get(), n.mode.get(), n.standard.get()));
    return py::call_kw(config_type, n.kw_config, py::integer(connect_timeout_seconds),
                       py::integer(read_timeout_seconds), retries);
}

void equip_client(const py::Scope& module, py::Borrowed client) {
    py::Ref meta = py::attr(client, n.meta);
    py::Ref events = py::attr(meta, n.events);
    py::call_method(events, n.register_, n.needs_retry, py::make_function(still_trying, module));
    py::Ref session_cell = py::Ref::steal(PyCell_New(nullptr));
    py::Ref closure = py::Ref::steal(PyTuple_Pack(2, session_cell.get(), meta.get()));
    py::call_method(events, n.register_, n.before_send,
                    py::make_function(send_bounded, module, closure));
    watch_store_connections(module, [](const py::Scope& scope, ConsoleLine& window) {
        say_still_trying(scope, window);
    });
}

void say_still_trying(const py::Scope& scope, ConsoleLine& window, long attempt) {
    const char* below = window.line_said(attempt);
    say(scope,
        {below, "Сервер обновлений не отвечает или отвечает слишком медленно; пробую ещё раз..."},
        {below, "The update server is not answering, or too slowly; still trying..."});
}

}  // namespace updater::storage
