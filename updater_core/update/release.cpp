#include "update/release.hpp"

#include "messages.hpp"
#include "update/file_names.hpp"
#include "update/paths.hpp"

#include <string>
#include <string_view>

#if !defined(UPDATER_RELEASE_PUBLIC_KEY) || !defined(UPDATER_SPARE_PUBLIC_KEY)
#error "UPDATER_RELEASE_PUBLIC_KEY and UPDATER_SPARE_PUBLIC_KEY must be set (empty: none)"
#endif
#if !defined(UPDATER_LONGEST_RELEASE_LEAP) || !defined(UPDATER_RELEASE_NUMBER_DIGITS)
#error "UPDATER_LONGEST_RELEASE_LEAP and UPDATER_RELEASE_NUMBER_DIGITS must be set by the build (cmake/project.json)"
#endif

// The publisher's Ed25519 public keys, each built in after a marker that tools find it by
// (publisher.py inspect): the release key, empty in a build that requires no signature, and the
// spare, empty when the build has none. Both markers are in every build, as objects of their
// own that the compiler keeps even where a key is empty and so never read.
#define UPDATER_RELEASE_KEY_MARKER "release-public-key="
#define UPDATER_SPARE_KEY_MARKER "spare-public-key="
extern constexpr char release_key_marker[] = UPDATER_RELEASE_KEY_MARKER UPDATER_RELEASE_PUBLIC_KEY;
extern constexpr char spare_key_marker[] = UPDATER_SPARE_KEY_MARKER UPDATER_SPARE_PUBLIC_KEY;

namespace updater::update {

namespace {

constexpr std::string_view release_public_key =
    std::string_view(release_key_marker).substr(sizeof(UPDATER_RELEASE_KEY_MARKER) - 1);
constexpr std::string_view spare_public_key =
    std::string_view(spare_key_marker).substr(sizeof(UPDATER_SPARE_KEY_MARKER) - 1);
static_assert(spare_public_key.empty() || !release_public_key.empty(),
              "a spare key is only a spare beside a release key");

// The statement's first line: what it is (the bucket's release statement, as the publisher
// writes it), and the version of its format.
constexpr std::string_view statement_header = UPDATER_BUCKET " release statement 1\n";

// The most digits of a number in a statement: any such number is an exact 64-bit integer.
constexpr size_t number_digits = UPDATER_RELEASE_NUMBER_DIGITS;
static_assert(number_digits <= 18, "a release number must fit a 64-bit integer");

// How far above the number a bot folder records for the same key a release number may be; with
// no record, or a record of the other key's release, above 0. The publisher numbers releases one
// by one, so no bot folder ever misses a million of them; a statement that leaps further is a
// slip or a forgery. Without the bound, one statement numbered at the top of the digits would be
// recorded and refuse every later release for good. With it, a number grows by at most the
// bound per release a folder takes, so the digits last for ever, in practice, and out of reach
// of a stolen key too. A record binds only statements of the key that signed its release: the
// first release under the other key (the spare taking over) is bounded from 0, wherever someone
// holding the old key drove that folder's number, so one number reaches every folder.
constexpr long longest_release_leap = UPDATER_LONGEST_RELEASE_LEAP;

// What is wrong with a statement, as the context of the refusal.
[[noreturn]] void malformed(const char* what) {
    PyErr_Format(PyExc_ValueError, "the release statement %s", what);
    throw py::ErrorAlreadySet{};
}

// The value of the line "keyword value\n" at the start of `rest`, which then moves past it.
std::string_view field(std::string_view& rest, std::string_view keyword) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos || !rest.starts_with(keyword) ||
        end <= keyword.size() || rest[keyword.size()] != ' ') {
        PyErr_Format(PyExc_ValueError, "the release statement has no line '%.20s ...' where it "
                     "is due", std::string(keyword).c_str());
        throw py::ErrorAlreadySet{};
    }
    std::string_view value = rest.substr(keyword.size() + 1, end - keyword.size() - 1);
    rest.remove_prefix(end + 1);
    return value;
}

bool lower_hex(std::string_view text, size_t digits) {
    return text.size() == digits && text.find_first_not_of("0123456789abcdef") == text.npos;
}

// A whole number in decimal, without sign or leading zeros, as an int; an empty Ref when the
// text is no such number.
py::Ref decimal(std::string_view text) {
    if (text.empty() || text.size() > number_digits ||
        text.find_first_not_of("0123456789") != text.npos || (text.size() > 1 && text[0] == '0')) {
        return {};
    }
    return py::Ref::steal(PyLong_FromString(std::string(text).c_str(), nullptr, 10));
}

// The statement's number in `text`, or the refusal that says `what` is wrong.
py::Ref whole_number(std::string_view text, const char* what) {
    py::Ref number = decimal(text);
    if (!number) {
        malformed(what);
    }
    return number;
}

// Days from 1970-01-01 to the date, in the proleptic Gregorian calendar.
long days_from_civil(long year, long month, long day) {
    year -= month <= 2 ? 1 : 0;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long year_of_era = year - era * 400;
    const long day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// "YYYY-MM-DD" as days from 1970-01-01, or -1 when it is no such date.
long calendar_day(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return -1;
    }
    auto number = [&](size_t from, size_t count) {
        long value = 0;
        for (size_t i = from; i < from + count; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return -1L;
            }
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const long year = number(0, 4), month = number(5, 2), day = number(8, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1) {
        return -1;
    }
    const long next_month = month == 12 ? days_from_civil(year + 1, 1, 1)
                                        : days_from_civil(year, month + 1, 1);
    const long days = days_from_civil(year, month, day);
    return days < next_month ? days : -1;
}

py::Ref ascii_bytes(std::string_view text) {
    return py::Ref::steal(
        PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

py::Ref ascii_str(std::string_view text) {
    return py::Ref::steal(
        PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// The package nacl with nacl.signing imported, only by a build that needs it; when it is
// missing, the error says what it is and how to get it.
py::Ref nacl_package(const py::Scope& scope) {
    py::Ref nacl;
    py::try_except(
        PyExc_ImportError,
        [&] {
            nacl = scope.import(n.nacl_signing, Py_None);
            py::attr(nacl, n.signing);
        },
        [](py::Borrowed) {
            py::raise(PyExc_ModuleNotFoundError,
                      "Signed releases are checked with PyNaCl, which is not installed: install "
                      "it with `python -m pip install pynacl` (the bundle carries it).");
        });
    return nacl;
}

// The built-in key, of the two, whose signature `signature` of `message` is (as its text); a
// signature of neither fails as the last key's verification fails.
py::Ref signer(py::Borrowed nacl, py::Borrowed message, py::Borrowed signature) {
    py::Ref bytes_type = py::Ref::share(reinterpret_cast<PyObject*>(&PyBytes_Type));
    py::Ref fromhex = py::attr(bytes_type, n.fromhex);
    py::Ref verify_key = py::attr(py::attr(nacl, n.signing), n.VerifyKey);
    auto verifies = [&](std::string_view hex) {
        py::Ref text = ascii_str(hex);
        py::Ref key = py::call(verify_key, py::call(fromhex, text));
        py::call_method(key, n.verify, message, signature);
        return text;
    };
    if (spare_public_key.empty()) {
        return verifies(release_public_key);
    }
    py::Ref bad_signature = py::attr(py::attr(nacl, n.exceptions), n.BadSignatureError);
    py::Ref key;
    py::try_except(bad_signature.get(), [&] { key = verifies(release_public_key); },
                   [](py::Borrowed) {});
    return key ? key : verifies(spare_public_key);
}

// The statement parsed line by line, then its signature verified with the built-in keys.
Release verified(py::Borrowed nacl, py::Borrowed statement) {
    char* data = nullptr;
    Py_ssize_t length = 0;
    py::require(PyBytes_AsStringAndSize(statement.get(), &data, &length));
    const std::string_view text(data, static_cast<size_t>(length));
    std::string_view rest = text;
    if (!rest.starts_with(statement_header)) {
        malformed("does not begin with its header and format version");
    }
    rest.remove_prefix(statement_header.size());

    // It names this bucket and this object, so that nothing signed for another use verifies.
    py::Ref purpose = py::concat({n.bucket, py::str("/"), n.exe_name});
    if (!py::equal(ascii_str(field(rest, "purpose")), purpose)) {
        malformed("is for another bucket or object");
    }
    Release release;
    const std::string_view digest = field(rest, "sha256");
    if (!lower_hex(digest, 64)) {
        malformed("has no SHA-256 digest of 64 lower-case hexadecimal digits");
    }
    release.digest = ascii_str(digest);
    release.size = whole_number(field(rest, "size"), "has no size in bytes");
    release.number = whole_number(field(rest, "release"), "has no release number");
    if (!py::truth(release.number)) {
        malformed("has release number 0; releases are numbered from 1");
    }
    const std::string_view expires = field(rest, "expires");
    if (expires != "never") {
        release.expiry_day = calendar_day(expires);
        if (release.expiry_day < 0) {
            malformed("has no expiry date (YYYY-MM-DD, or never)");
        }
        release.expires = ascii_str(expires);
    }
    const std::string_view signed_part = text.substr(0, text.size() - rest.size());
    const std::string_view signature_hex = field(rest, "signature");
    if (!lower_hex(signature_hex, 128) || !rest.empty()) {
        malformed("does not end with one signature of 128 lower-case hexadecimal digits");
    }

    py::Ref bytes_type = py::Ref::share(reinterpret_cast<PyObject*>(&PyBytes_Type));
    py::Ref signature = py::call(py::attr(bytes_type, n.fromhex), ascii_str(signature_hex));
    release.key = signer(nacl, ascii_bytes(signed_part), signature);
    return release;
}

// What the bot folder's record says: the release accepted there (an empty Ref when there is no
// record, or only something unreadable, which a person may have left: it is no record of ours)
// and the key that signed it.
//
// The record is two lines, "release N" and "key <64 hex digits>". A record of an earlier build,
// "release N" then "sha256 ...", was signed with the release key, the only key those builds
// knew. The digest it held was never read, and is no longer written: the record is made before
// the download, so a digest there would say what was accepted, not what is installed, and the
// bot's own file says that better.
struct Recorded {
    py::Ref number;
    py::Ref key;
};

// Anything but a regular file of its own at the record's name (a folder, a link, a device)
// stops the update before anything is downloaded, named, never followed.
[[noreturn]] void not_a_record(const py::Scope& scope, py::Borrowed record) {
    if (is_real_directory(scope, record)) {
        folder_in_the_way(scope, record);
    }
    fail(scope, PyExc_FileExistsError,
         {"На месте файла ", record, " находится ссылка или особый файл; уберите его и запустите "
          "обновление снова."},
         {"A link or special file stands at ", record, "; move it away and run the update "
          "again."});
}

// The record in `record`, once a leftover of a record being written (a run killed before its
// rename) is gone.
Recorded read_record(const py::Scope& scope, py::Borrowed record) {
    clear_name(scope, py::add(record, n.new_suffix));
    if (!path_test(scope, n.lexists, record)) {
        return {};
    }
    if (path_test(scope, n.islink, record) || !is_file(scope, record)) {
        not_a_record(scope, record);
    }
    py::Ref content;
    py::Ref file = py::call(scope[n.open], record, n.mode_read_binary);
    py::with(file, [&](py::Borrowed f) { content = py::call_method(f, n.read, py::integer(256)); });
    char* data = nullptr;
    Py_ssize_t length = 0;
    py::require(PyBytes_AsStringAndSize(py::assigned(content, "content").get(), &data, &length));
    std::string_view rest(data, static_cast<size_t>(length));
    auto line = [&](std::string_view keyword) -> std::string_view {
        const size_t end = rest.find('\n');
        if (!rest.starts_with(keyword) || rest.substr(keyword.size(), 1) != " " ||
            end == rest.npos) {
            return {};
        }
        std::string_view value = rest.substr(keyword.size() + 1, end - keyword.size() - 1);
        rest.remove_prefix(end + 1);
        return value;
    };
    Recorded recorded;
    recorded.number = decimal(line("release"));
    const std::string_view key = line("key");
    recorded.key = ascii_str(lower_hex(key, 64) ? key : release_public_key);
    return recorded;
}

// Writes the record of `release`, in a file of its own (read_record cleared its name) that is
// synced and then renamed over the old record: a kill at any instant leaves the old record or
// the new one, and a leftover of the new one goes at the next run.
void write_record(const py::Scope& scope, py::Borrowed bots, py::Borrowed record,
                  const Release& release) {
    py::Ref written = py::add(record, n.new_suffix);
    py::Ref text = py::Ref::steal(PyUnicode_FromFormat("release %S\nkey %S\n",
                                                       release.number.get(), release.key.get()));
    py::Ref content = py::Ref::steal(PyUnicode_AsASCIIString(text.get()));
    // Only its owner may write it, whatever the umask: whoever could rewrite the record could
    // lower it, and an older release would install.
    py::Ref file = platform::create_private(scope, written);
    py::with(file, [&](py::Borrowed f) {
        py::call_method(f, n.write, content);
        py::call_method(f, n.flush);
        py::Ref descriptor = py::call_method(f, n.fileno);
        py::call(py::attr(scope[n.os], n.fsync), descriptor);
    });
    py::call(py::attr(scope[n.os], n.replace), written, record);
    platform::sync_folder(scope, bots);
}

bool less(py::Borrowed left, py::Borrowed right) {
    const int result = PyObject_RichCompareBool(left.get(), right.get(), Py_LT);
    py::require(result);
    return result != 0;
}

// Whether the record names a release signed by the key that signed `release`.
bool same_key(const Recorded& recorded, const Release& release) {
    return recorded.number && py::equal(recorded.key, release.key);
}

// The highest number the folder whose record is `recorded` takes from `release`'s key: the
// longest leap above the record's number where the record names that key, above 0 where it
// names none or the other key.
py::Ref highest_number(const Recorded& recorded, const Release& release) {
    py::Ref base = same_key(recorded, release) ? recorded.number : py::integer(0);
    return py::add(base, py::integer(longest_release_leap));
}

// Whether the bot folder whose record is `recorded` takes `release`, by its number and key.
enum class Verdict { taken, retired, older, leap };

Verdict verdict(const Recorded& recorded, const Release& release) {
    if (recorded.number && !same_key(recorded, release) && !spare_public_key.empty() &&
        py::equal(recorded.key, ascii_str(spare_public_key))) {
        return Verdict::retired;
    }
    if (same_key(recorded, release) && less(release.number, recorded.number)) {
        return Verdict::older;
    }
    if (less(highest_number(recorded, release), release.number)) {
        return Verdict::leap;
    }
    return Verdict::taken;
}

// Whether `release` says more than `recorded`: a higher number, or another key.
bool news(const Recorded& recorded, const Release& release) {
    return !recorded.number || !py::equal(recorded.key, release.key) ||
           less(recorded.number, release.number);
}

// Refuses `release`, unless the folder whose record is `recorded` takes it.
void refuse_unless_taken(const py::Scope& scope, const Recorded& recorded,
                         const Release& release) {
    py::Ref offered = py::text(release.number);
    switch (verdict(recorded, release)) {
    case Verdict::retired: {
        py::Ref have = py::text(recorded.number);
        refuse(scope, n.refusal_retired,
               {"Версия ", offered, " на сервере подписана основным ключом, ",
                "которому эта папка бота больше не доверяет: записанная здесь версия ", have,
                " подписана запасным ключом; обновление отклонено, ничего не изменено. ",
                "Разработчик должен подписывать версии запасным ключом."},
               {"The store's release ", offered, " is signed with the release key, ",
                "which this bot folder no longer trusts: release ", have,
                " here was signed with the spare key; the update was refused and nothing was ",
                "changed. The publisher must sign releases with the spare key."});
    }
    case Verdict::older: {
        py::Ref have = py::text(recorded.number);
        refuse(scope, n.refusal_older,
               {"Сервер предлагает версию ", offered,
                ", более раннюю, чем записанная здесь версия ", have,
                "; обновление отклонено, ничего не изменено. ",
                "Разработчик должен опубликовать версию с номером не ниже ", have, "."},
               {"The store offers release ", offered, ", older than release ", have,
                " recorded here; the update was refused and nothing was changed. ",
                "The publisher must publish a release numbered ", have, " or higher."});
    }
    case Verdict::leap: {
        py::Ref limit = py::text(highest_number(recorded, release));
        refuse(scope, n.refusal_leap,
               {"Сервер предлагает версию ", offered, ", номер которой выше ", limit,
                ", наибольшего номера, который эта папка бота сейчас принимает; ",
                "обновление отклонено, ничего не изменено. ",
                "Разработчик должен опубликовать её заново с номером не выше ", limit, "."},
               {"The store offers release ", offered, ", numbered above ", limit,
                ", the highest number this bot folder takes now; ",
                "the update was refused and nothing was changed. ",
                "The publisher must publish it again numbered at most ", limit, "."});
    }
    case Verdict::taken:
        break;
    }
}

py::Ref record_path(py::Borrowed bots) { return beside(bots, n.release_record_name); }

// Whether `error` is one of the updater's refusals (it names its kind).
bool is_refusal(py::Borrowed error) {
    bool refusal = false;
    py::try_except(
        PyExc_AttributeError, [&] { refusal = py::attr(error, n.refusal).get() != nullptr; },
        [](py::Borrowed) {});
    return refusal;
}

// The one rule for a statement, whether or not anything is to be downloaded: `release` is
// refused unless the bot folder's record takes it, and otherwise recorded when it says more
// than the record. Whether the record moved.
bool take(const py::Scope& scope, py::Borrowed bots, const Release& release) {
    py::Ref record = record_path(bots);
    const Recorded recorded = read_record(scope, record);
    refuse_unless_taken(scope, recorded, release);
    if (!news(recorded, release)) {
        return false;
    }
    write_record(scope, bots, record, release);
    return true;
}

}  // namespace

py::Ref digest_bytes(const Release& release) {
    return py::Ref::steal(PyUnicode_AsASCIIString(release.digest.get()));
}

bool signed_releases() { return !release_public_key.empty(); }

void refuse_unsigned(const py::Scope& scope) {
    refuse_download(scope, n.refusal_unsigned,
                    " не подписан разработчиком; обновление отклонено, ничего не изменено.",
                    " is not signed by the publisher; the update was refused and nothing was "
                    "changed.");
}

Release read_release(const py::Scope& scope) {
    // No statement at all is an unsigned release; any other failure to read it is what it is.
    py::Ref statement;
    py::Ref missing = py::attr(py::attr(scope[n.s3unsafe], n.exceptions), n.NoSuchKey);
    py::try_except(
        missing.get(), [&] { statement = py::call(scope[n.s3_file_reader], n.signature_object_key); },
        [&](py::Borrowed) { refuse_unsigned(scope); });
    py::Ref nacl = nacl_package(scope);
    Release release;
    refused_unless_signed(scope, [&] { release = verified(nacl, statement); });
    return release;
}

bool expired(const py::Scope& scope, const Release& release) {
    if (release.expiry_day < 0) {
        return false;
    }
    py::Ref now = py::call(py::attr(scope[n.time], n.time));
    const double seconds = PyFloat_AsDouble(now.get());
    if (seconds == -1.0 && PyErr_Occurred()) {
        throw py::ErrorAlreadySet{};
    }
    return seconds >= static_cast<double>(release.expiry_day + 1) * 86400.0;
}

bool accept_release(const py::Scope& scope, py::Borrowed bots, const Release& release) {
    if (expired(scope, release)) {
        refuse(scope, n.refusal_expired,
               {"Срок опубликованной версии истёк ", release.expires,
                "; обновление отклонено, ничего не изменено."},
               {"The published release expired on ", release.expires,
                "; the update was refused and nothing was changed."});
    }
    // Recorded now, before the download: a kill from here on leaves a record that refuses
    // every older release, and the same release stays installable, to finish or repair this one.
    return take(scope, bots, release);
}

void accept_current_release(const py::Scope& scope, py::Borrowed bots, const Release& release) {
    take(scope, bots, release);
}

void tell_what_is_recorded(const py::Scope& scope, py::Borrowed error, const Release& release) {
    const bool ru = py::truth(scope[n.RU]);
    py::Ref unchanged = py::str(ru ? "ничего не изменено." : "nothing was changed.");
    const Piece exe = Piece::global(n.LOCAL_EXE_NAME);
    py::Ref number = py::text(release.number);
    py::Ref truth = ru ? join(scope, {exe, " остался прежним; в этой папке бота теперь записана "
                                      "версия ", number, "."})
                       : join(scope, {exe, " stayed as it was; this bot folder now records "
                                      "release ", number, "."});
    // The refusal, and each refusal it was raised while handling.
    for (py::Ref link = py::Ref::share(error); link;
         link = py::Ref::steal_or_null(PyException_GetContext(link.get()))) {
        if (!is_refusal(link)) {
            continue;
        }
        py::Ref message = py::text(link);
        if (!py::truth(py::call_method(message, n.endswith, unchanged))) {
            continue;
        }
        py::Ref kept = py::slice_to(message, -PyUnicode_GetLength(unchanged.get()));
        py::Ref arguments = py::Ref::steal(PyTuple_Pack(1, py::add(kept, truth).get()));
        py::require(PyObject_SetAttr(link.get(), n.args.get(), arguments.get()));
    }
}

}  // namespace updater::update
