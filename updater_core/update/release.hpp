// Signed releases: the publisher's release statement, read and verified before anything is
// downloaded, and the record of the release accepted in the bot folder.
//
// A build made with the publisher's Ed25519 public key requires every release to come with a
// statement, the object "exe_hash.sig": seven lines of ASCII that name the bucket and the
// object, the executable's SHA-256 and size, a release number that only grows and an optional
// expiry date, the last line the signature of the six before it (README, "Signed releases").
// A build may trust a second key, the spare, kept offline: a statement signed by either
// installs, and once a bot folder has taken a release signed by the spare it trusts only the
// spare, so a leaked release key is retired by one release.
// The download must be exactly the signed size and digest; a release older than the one the
// bot folder records is refused (a replay), and so is an expired one (a store that withholds
// updates until an old statement runs out).
#pragma once

#include "capi/ops.hpp"
#include "capi/scope.hpp"
#include "names.hpp"

namespace updater::update {

// Whether this build requires signed releases (it was built with a public key).
bool signed_releases();

// A verified release statement.
struct Release {
    py::Ref digest;   // the executable's SHA-256, 64 lower-case hexadecimal digits (str)
    py::Ref size;     // its size in bytes (int)
    py::Ref number;   // the release number (int)
    py::Ref expires;  // "YYYY-MM-DD" (str), or empty for no expiry
    long expiry_day = -1;  // the last day it is valid, counted from 1970-01-01; -1: none
    py::Ref key;      // the public key its signature verified with, 64 lower-case hex digits (str)
};

// The release's digest as the bytes a digest is compared as.
py::Ref digest_bytes(const Release& release);

// Reads "exe_hash.sig" and verifies it with the built-in keys. A statement that is missing,
// malformed, or not signed by the publisher refuses the update as not signed (RuntimeError,
// refusal "unsigned", what was wrong as its context); a failure to read it (the network) goes on
// as itself; a missing PyNaCl is named as such.
Release read_release(const py::Scope& scope);

// Refuses the update as not signed by the publisher (RuntimeError, refusal "unsigned").
[[noreturn]] void refuse_unsigned(const py::Scope& scope);

// Runs `check`; whatever it raises (but Ctrl-C and the like) refuses the update as not signed
// by the publisher, with what went wrong as its context.
template <class Check>
void refused_unless_signed(const py::Scope& scope, Check&& check) {
    py::try_except(PyExc_Exception, check, [&](py::Borrowed) { refuse_unsigned(scope); });
}

// Whether the statement's expiry date has passed (by the system's clock, in UTC).
bool expired(const py::Scope& scope, const Release& release);

// One rule for a statement, whether or not anything is to be downloaded: a release older than the
// one the bot folder records for the same key, signed by the release key where the spare has
// taken over, or numbered above the highest number the folder takes (the longest leap above the
// record's number for the same key, above 0 for another key or none) is refused; any other is
// recorded when it says more than the record (a higher number, or another key). Something other
// than a file at the record's name is named and refused, never followed.

// Accepts `release` for installing in the bot directory `bots`, before anything is downloaded:
// refuses it also when it has expired; records it, so that the record never names less than
// what may be installed from here on. Whether the record moved to it.
bool accept_release(const py::Scope& scope, py::Borrowed bots, const Release& release);

// For a bot found current under `release`: refuses it as a download would be refused (it is
// never called current then), and otherwise records it, whether or not it has expired.
void accept_current_release(const py::Scope& scope, py::Borrowed bots, const Release& release);

// Once the record moved to `release`, "nothing was changed" is no longer so: the refusal
// `error`, and each refusal it was raised while handling, that ends by saying so ends instead
// by saying that the executable stayed as it was and the bot folder now records the release.
void tell_what_is_recorded(const py::Scope& scope, py::Borrowed error, const Release& release);

// Runs `body`, the rest of an update whose acceptance of `release` (none for an unsigned one)
// moved the record when `moved`: a refusal from it then tells what is recorded.
template <class Body>
void after_acceptance(const py::Scope& scope, const Release* release, bool moved, Body&& body) {
    if (release == nullptr || !moved) {
        body();
        return;
    }
    py::try_except(PyExc_RuntimeError, body, [&](py::Borrowed error) {
        tell_what_is_recorded(scope, error, *release);
        py::raise_again(error);
    });
}

}  // namespace updater::update
