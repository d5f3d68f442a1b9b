// Import-time configuration: what every module function shares.
#include "names.hpp"
#include "capi/function.hpp"
#include "capi/ops.hpp"
#include "messages.hpp"
#include "module/statements.hpp"
#include "storage/store_watch.hpp"

#ifndef UPDATER_ENDPOINT_URL
#error "UPDATER_ENDPOINT_URL must be set by the build"
#endif
#ifndef UPDATER_ACCESS_KEY_ID
#error "UPDATER_ACCESS_KEY_ID must be set by the build"
#endif
#ifndef UPDATER_SECRET_ACCESS_KEY
#error "UPDATER_SECRET_ACCESS_KEY must be set by the build"
#endif

namespace updater::module {

namespace {

// `import name` at module level, bound under its own name.
void import_module(const py::Scope& module, py::Borrowed name) {
    module.bind(name, module.import(name, module.globals()));
}

// The attempts the client makes of a request before it gives up.
constexpr long client_attempts = 3;

// still_trying(**event): after each attempt of a request, botocore's "needs-retry" event. When an
// attempt failed on the way (no answer in time, the connection refused or broken) and another
// follows, the person hears that the store is slow and that the updater goes on: a silent store
// never leaves the window quiet for longer than one attempt. A store the watch gave up on is not
// tried again, and nothing is said.
py::Ref still_trying_body(const py::Scope& scope, py::Borrowed, py::Borrowed event) {
    py::Ref caught = py::dict_item(event, n.caught_exception);
    py::Ref attempts = py::dict_item(event, n.attempts);
    if (caught && caught.get() != Py_None && attempts && PyLong_Check(attempts.get()) &&
        py::as_long(attempts) < client_attempts && !storage::given_up()) {
        storage::say_still_trying(scope);
    }
    return py::Ref::share(Py_None);
}

const py::FunctionSpec still_trying = {
    {"still_trying", "still_trying", lines::client, py::ArgumentErrors::python},
    py::Parameters::keywords, nullptr, still_trying_body,
};

// How long the client waits on the store: a store that does not answer, or stops answering in
// the middle of an answer, is given up on after 10 seconds to connect and 20 seconds between
// two pieces of an answer, and asked again twice (the library's standard retries, which also
// wait a little between attempts), so that a silent store ends the run in about a minute and a
// half with the library's own error instead of several minutes of silence; each attempt that
// fails is said (still_trying). A store that answers, but next to nothing, is the watch's
// (storage/store_watch.hpp): these timeouts never see it.
py::Ref client_config(const py::Scope& module) {
    py::Ref botocore = module.import(n.botocore_config, module.globals());
    py::Ref config_type = py::attr(py::attr(botocore, n.config), n.Config);
    py::Ref retries = py::Ref::steal(PyDict_New());
    py::require(PyDict_SetItem(retries.get(), n.total_max_attempts.get(),
                               py::integer(client_attempts).get()));
    py::require(PyDict_SetItem(retries.get(), n.mode.get(), n.standard.get()));
    return py::call_kw(config_type, n.kw_config, py::integer(10), py::integer(20), retries);
}

}  // namespace

void configure(const py::Scope& module) {
    line(module, lines::import_boto3, [&] { import_module(module, n.boto3); });
    line(module, lines::import_os_sys_time, [&] {
        import_module(module, n.os);
        import_module(module, n.sys);
        import_module(module, n.time);
    });
    line(module, lines::import_progressbar, [&] { import_module(module, n.progressbar); });
    line(module, lines::import_shutil, [&] { import_module(module, n.shutil); });
    line(module, lines::import_urllib3, [&] { import_module(module, n.urllib3); });
    line(module, lines::import_hashlib, [&] { import_module(module, n.hashlib); });
    line(module, lines::import_locale, [&] { import_module(module, n.locale); });

    line(module, lines::local_exe_name, [&] { module.bind(n.LOCAL_EXE_NAME, n.exe_name); });
    line(module, lines::temp_exe_name, [&] { module.bind(n.TEMP_EXE_NAME, n.temp_exe_name); });

    // The locale of the default category, unpacked into exactly two names.
    line(module, lines::getlocale, [&] {
        auto [lang, encoding] = py::unpack_two(py::call_method(module[n.locale], n.getlocale));
        module.bind(n.lang, lang);
        module.bind(n._, encoding);
    });
    // Russian messages only for the Windows name of the Russian locale, compared exactly.
    bool russian = false;
    line(module, lines::is_russian, [&] { russian = py::equal(module[n.lang], n.russian_locale); });
    if (russian) {
        line(module, lines::russian, [&] { module.bind(n.RU, Py_True); });
    } else {
        line(module, lines::english, [&] { module.bind(n.RU, Py_False); });
    }

    // The storage is reached over plain HTTP without certificate checks; the HTTP library's
    // warnings about that are switched off for the whole process.
    line(module, lines::disable_warnings,
         [&] { py::call_method(module[n.urllib3], n.disable_warnings); });
    line(module, lines::session, [&] {
        py::Ref session_type = py::attr(py::attr(module[n.boto3], n.session), n.Session);
        module.bind(n.session, py::call(session_type));
    });
    line(module, lines::client, [&] {
        py::Ref client = py::attr(module[n.session], n.client);
        py::Ref config = client_config(module);
        module.bind(n.s3unsafe,
                    py::call_kw(client, n.kw_client, py::str("s3"),
                                py::str(UPDATER_ACCESS_KEY_ID), py::str(UPDATER_SECRET_ACCESS_KEY),
                                py::str(UPDATER_ENDPOINT_URL), Py_False, config));
        py::Ref events = py::attr(py::attr(module[n.s3unsafe], n.meta), n.events);
        py::call_method(events, n.register_, n.needs_retry, py::make_function(still_trying, module));
        storage::watch_store_connections();
    });
}

}  // namespace updater::module
