// Import-time configuration: what every module function shares.
#include "names.hpp"
#include "capi/function.hpp"
#include "capi/ops.hpp"
#include "messages.hpp"
#include "module/statements.hpp"
#include "storage/client_policy.hpp"

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
        py::Ref config = storage::client_config(module);
        module.bind(n.s3unsafe,
                    py::call_kw(client, n.kw_client, py::str("s3"),
                                py::str(UPDATER_ACCESS_KEY_ID), py::str(UPDATER_SECRET_ACCESS_KEY),
                                py::str(UPDATER_ENDPOINT_URL), Py_False, config));
        storage::equip_client(module, module[n.s3unsafe]);
    });
}

}  // namespace updater::module
