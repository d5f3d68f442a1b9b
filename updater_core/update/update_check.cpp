#include "update/update_check.hpp"

#include "messages.hpp"
#include "update/paths.hpp"
#include "update/release.hpp"

#include <optional>

namespace updater::update {

namespace {

py::Ref not_identical(const py::Scope& scope) {
    say(scope, {"Локальный файл не идентичен файлу на сервере, начинаю обновление..."},
        {"The local file is not identical to the file on the server, start updating..."});
    return py::Ref::share(Py_True);
}

py::Ref compare_digests(const py::Scope& scope, py::Borrowed, py::Borrowed) {
    const Piece local_exe_name = Piece::global(n.LOCAL_EXE_NAME);
    say(scope, {"Проверяю hash-сумму локального и удаленного файла..."},
        {"Checking hash-sum of local and remote file..."});

    py::Ref bots = bot_directory(scope);
    py::Ref exe_path = beside(bots, scope[n.LOCAL_EXE_NAME]);

    // A missing executable (or something that is not a regular file in its place) is no error:
    // the bot has to be downloaded. Neither the file nor the bucket is read then.
    if (!is_file(scope, exe_path)) {
        say(scope, {"Файл ", local_exe_name, " не найден по пути ", exe_path},
            {"No ", local_exe_name, " found on path ", exe_path});
        say(scope, {"Начинаю Загрузку..."}, {"Staring download..."});
        return py::Ref::share(Py_True);
    }

    // The local digest first: the bucket is contacted only for a file that could be hashed.
    py::Ref bytes = scope[n.bytes];
    py::Ref local_digest = py::call(scope[n.get_hash_digest], exe_path);
    py::Ref local_exe_hash = py::call_kw(bytes, n.kw_encoding, local_digest, n.utf_8);
    py::Ref server_exe_hash = py::call(scope[n.s3_file_reader], n.hash_object_key);

    // Byte for byte: a published digest with a line end, spaces or upper case never matches.
    if (py::equal(local_exe_hash, server_exe_hash)) {
        // A build that requires signed releases takes the signed statement's word over the bare
        // digest, which anyone on the way can answer with the bot's own: a newer release is
        // installed however exe_hash reads.
        std::optional<Release> release;
        if (signed_releases()) {
            release = read_release(scope);
            py::Ref signed_digest = digest_bytes(*release);
            if (!py::equal(local_exe_hash, signed_digest)) {
                return not_identical(scope);
            }
            // The bot is this release, if the folder takes it as it would take a download: a
            // statement it would refuse is refused here too, never called current, and one it
            // takes raises the record, so that no older release can be installed over it later.
            accept_current_release(scope, bots, *release);
        }
        say(scope, {"\nЛокальный файл ", local_exe_name, " расположенный по пути ", exe_path},
            {"\nLocal file ", local_exe_name, " located at ", exe_path});
        say(scope,
            {"Абсолютно идентичен файлу на сервере, обновление не требуется и бессмысленно."},
            {"Exactly identical to the file on the server! Updating is unnecessary and "
             "pointless."});
        say(scope, {"\nДля запуска бота используйте файл ", local_exe_name, "!"},
            {"\nTo run bot, use file ", local_exe_name, "!"});
        py::Ref seconds = py::text(py::integer(seconds_before_closing));
        say(scope, {"\nОкно будет закрыто через ", seconds, " секунд..."},
            {"\nnWindow will be closed in ", seconds, " seconds..."});
        // A store may withhold newer releases by answering with this one's statement until it
        // expires; then the person is told.
        if (release && expired(scope, *release)) {
            say(scope,
                {"Срок опубликованной версии истёк ", release->expires,
                 "; разработчик должен его продлить."},
                {"The published release expired on ", release->expires,
                 "; the publisher must renew it."});
        }
        return py::Ref::share(Py_False);
    }
    return not_identical(scope);
}

}  // namespace

const py::FunctionSpec check_update_is_needed = {
    defined::check_update_is_needed, py::Parameters::none, nullptr, compare_digests,
};

}  // namespace updater::update
