#include "update/release.hpp"

#include "messages.hpp"
#include "update/paths.hpp"
#include "update/replacement.hpp"

#include <string>
#include <string_view>

namespace updater::update {

namespace {

#if defined(UPDATER_RELEASE_PUBLIC_KEY)
// The publisher's Ed25519 public key, built in after a marker that tools find it by; empty in a
// build that requires no signature.
constexpr const char release_key_marker[] = "release-public-key=" UPDATER_RELEASE_PUBLIC_KEY;
constexpr const char* release_public_key = release_key_marker + sizeof("release-public-key=") - 1;
#else
#error "UPDATER_RELEASE_PUBLIC_KEY must be set by the build (empty for no signature)"
#endif

// The statement's first line: what it is, and the version of its format.
constexpr std::string_view statement_header = "kelvo-bot release statement 1\n";

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
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos ||
        (text.size() > 1 && text[0] == '0')) {
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

// nacl.signing, imported only by a build that needs it; when it is missing, the error says
// what it is and how to get it.
py::Ref nacl_signing(const py::Scope& scope) {
    py::Ref signing;
    py::try_except(
        PyExc_ImportError,
        [&] { signing = py::attr(scope.import(n.nacl_signing, Py_None), n.signing); },
        [](py::Borrowed) {
            py::raise(PyExc_ModuleNotFoundError,
                      "Signed releases are checked with PyNaCl, which is not installed: install "
                      "it with `python -m pip install pynacl` (the bundle carries it).");
        });
    return signing;
}

// The statement parsed line by line, then its signature verified with the built-in key.
Release verified(py::Borrowed signing, py::Borrowed statement) {
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
    py::Ref fromhex = py::attr(bytes_type, n.fromhex);
    py::Ref verify_key = py::attr(signing, n.VerifyKey);
    py::Ref key = py::call(verify_key, py::call(fromhex, py::str(release_public_key)));
    py::Ref signature = py::call(fromhex, ascii_str(signature_hex));
    py::call_method(key, n.verify, ascii_bytes(signed_part), signature);
    return release;
}

// The release number recorded in the bot folder, or an empty Ref when there is none (or only
// something unreadable, which a person may have left: it is no record of ours).
py::Ref installed_release(const py::Scope& scope, py::Borrowed record) {
    if (!is_file(scope, record)) {
        return {};
    }
    py::Ref content;
    py::Ref file = py::call(scope[n.open], record, n.mode_read_binary);
    py::with(file, [&](py::Borrowed f) { content = py::call_method(f, n.read, py::integer(256)); });
    char* data = nullptr;
    Py_ssize_t length = 0;
    py::require(PyBytes_AsStringAndSize(py::assigned(content, "content").get(), &data, &length));
    std::string_view rest(data, static_cast<size_t>(length));
    constexpr std::string_view keyword = "release ";
    const size_t end = rest.find('\n');
    if (!rest.starts_with(keyword) || end == rest.npos) {
        return {};
    }
    return decimal(rest.substr(keyword.size(), end - keyword.size()));
}

}  // namespace

py::Ref digest_bytes(const Release& release) {
    return py::Ref::steal(PyUnicode_AsASCIIString(release.digest.get()));
}

bool signed_releases() { return sizeof(release_key_marker) > sizeof("release-public-key="); }

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
    py::Ref signing = nacl_signing(scope);
    Release release;
    refused_unless_signed(scope, [&] { release = verified(signing, statement); });
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

void require_installable(const py::Scope& scope, py::Borrowed bots, const Release& release) {
    if (expired(scope, release)) {
        refuse(scope, n.refusal_expired,
               {"Срок опубликованного выпуска истёк ", release.expires,
                "; обновление отклонено, ничего не изменено."},
               {"The published release expired on ", release.expires,
                "; the update was refused and nothing was changed."});
    }
    py::Ref record = beside(bots, n.release_record_name);
    py::Ref installed = installed_release(scope, record);
    const int older = installed ? PyObject_RichCompareBool(release.number.get(),
                                                           installed.get(), Py_LT)
                                : 0;
    py::require(older);
    if (older != 0) {
        py::Ref offered = py::text(release.number);
        py::Ref have = py::text(installed);
        refuse(scope, n.refusal_older,
               {"Сервер предлагает выпуск ", offered,
                ", более старый, чем установленный здесь выпуск ", have,
                "; обновление отклонено, ничего не изменено."},
               {"The store offers release ", offered, ", older than release ", have,
                " installed here; the update was refused and nothing was changed."});
    }
}

void record_installed(const py::Scope& scope, py::Borrowed bots, const Release& release) {
    py::Ref record = beside(bots, n.release_record_name);
    py::Ref written = py::add(record, n.new_suffix);
    clear_name(scope, written);
    py::Ref text = py::Ref::steal(PyUnicode_FromFormat("release %S\nsha256 %S\n",
                                                       release.number.get(),
                                                       release.digest.get()));
    py::Ref content = py::Ref::steal(PyUnicode_AsASCIIString(text.get()));
    py::Ref file = py::call(scope[n.open], written, n.mode_create_binary);
    py::with(file, [&](py::Borrowed f) {
        py::call_method(f, n.write, content);
        py::call_method(f, n.flush);
        py::Ref descriptor = py::call_method(f, n.fileno);
        py::call(py::attr(scope[n.os], n.fsync), descriptor);
    });
    py::Ref replace = py::attr(scope[n.os], n.replace);
    py::call(replace, written, record);
}

}  // namespace updater::update
