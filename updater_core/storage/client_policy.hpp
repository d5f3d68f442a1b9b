// How the updater's storage client treats its store: how long it waits, how often it asks, how
// much of an answer it reads, and what the person hears meanwhile. The watch over a step that
// waits on the store (store_watch.hpp) is the mechanism under this policy.
#pragma once

#include "capi/scope.hpp"
#include "console_line.hpp"

namespace updater::storage {

// A store that does not answer, or stops answering in the middle of an answer, is given up on
// after `connect_timeout_seconds` to connect and `read_timeout_seconds` between two pieces of an
// answer, and asked `client_attempts` times in all (the library's standard retries, which also
// wait a little between attempts), so that a silent store ends the run in about a minute and a
// half with the library's own error instead of several minutes of silence; each attempt that
// fails while another follows is said (still_trying). A store that answers, but next to
// nothing, is the watch's: these timeouts never see it.
inline constexpr long connect_timeout_seconds = 10;
inline constexpr long read_timeout_seconds = 20;
inline constexpr long client_attempts = 3;

// The most of an error answer's body that is read. The library reads an error's body whole to
// parse it (and copies it into its message), so a store that sends an endless one would fill
// the memory; the store's own errors are a few hundred bytes of XML.
inline constexpr Py_ssize_t longest_error_answer = Py_ssize_t{32} * 1024;

// botocore.config.Config(connect_timeout=..., read_timeout=..., retries=...), made in the
// module's scope: the configuration the client is made with.
py::Ref client_config(const py::Scope& module);

// Sets the client made with that configuration to work the policy's way: every request sent with
// its error answer bounded and its connections noted by the watch, every failed attempt that
// another follows said, and the watch's hook in place.
void equip_client(const py::Scope& module, py::Borrowed client);

// Says, on a line of its own, that the store is slow or silent and that the updater goes on
// (after the failed `attempt` of a request; 0: after a quiet while).
void say_still_trying(const py::Scope& scope, ConsoleLine& window, long attempt = 0);

}  // namespace updater::storage
