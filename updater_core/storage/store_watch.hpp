// The watch over every wait on the store.
//
// The storage library's timeouts count from one piece of an answer to the next, so a store that
// sends a byte every few seconds (or a relay on the way that does) keeps a request going for
// ever, and the person at the window sees nothing meanwhile. While a step of the updater waits
// on the store, a thread of its own looks on (watch_thread.hpp): when the person has seen
// nothing for `quiet_seconds`, it says that the store is slow and that the updater is still
// trying; when the wait has brought nothing new for `stall_patience_seconds` (for the download:
// no byte beyond the most it ever had), it gives the store up. Giving up ends the connections
// the updater's client opened to the store and refuses new ones (connection_bound.hpp), so the
// library's own retries end too, and the step fails with a refusal that says so. A Ctrl-C that
// the host's handler turns into an error ends them as well (interrupts.hpp), and the step ends
// as the host's error, or with a refusal that says it was interrupted: never as if what the
// ended connections brought were whole.
//
// Each step's watch is the step's own: steps in several threads are each watched. What the
// steps of one interpreter share (the client's connections, the window) is kept in that
// interpreter's state, with the steps being watched.
#pragma once

#include "capi/scope.hpp"
#include "console_line.hpp"
#include "storage/connection_bound.hpp"

#include <functional>

namespace updater::storage {

inline constexpr int quiet_seconds = 25;
inline constexpr int stall_patience_seconds = 90;

// What the watch says when the person has seen nothing for `quiet_seconds`: the client's line
// that the store is slow, said on the window's last line as it stands.
using QuietLine = void (*)(const py::Scope& scope, ConsoleLine& window);

// Once per import, before the first request: puts the watch's hook in place in this interpreter
// (once), which notes the connections of the client's sending (StoreSending) and refuses new
// ones once the store is given up on, and names the line the watch says. Where the hook cannot
// be put in place, the person is told in one line that a stalled store may hold the updater up,
// and the update goes on.
void watch_store_connections(const py::Scope& module, QuietLine say);

// While one lives, this thread sends a request of the client, and the connections it opens are
// the client's to its store. Refuses at once when the store has been given up on.
class StoreSending {
public:
    StoreSending();
    ~StoreSending();
    StoreSending(const StoreSending&) = delete;
    StoreSending& operator=(const StoreSending&) = delete;

    // The session's answer (its urllib3 response `raw`) came: its connection is the store's.
    void answered(py::Borrowed raw);

private:
    py::Ref state_;  // this interpreter's
    ConnectionBound::Sending sending_;
};

// Runs `step`, which waits on the store, under a watch of its own, which it is handed (for
// progressed). A step the watch gave up on raises RuntimeError with its `refusal` "stalled",
// whatever the library made of its ended connections; one whose connections a Ctrl-C ended,
// the host's error or RuntimeError with its `refusal` "interrupted". `last_line` is what stands
// on the window's last line as the step begins.
void watched(const py::Scope& scope, const std::function<void(py::Borrowed watch)>& step,
             LastLine last_line = LastLine::ended);

// The download watched by `watch` has brought `received` bytes in all, and the progress bar
// shows it: the wait makes progress when that is more than it ever had (a piece the library
// lost and fetches again is no progress).
void progressed(py::Borrowed watch, long long received);

// The window of this interpreter's steps, for a line said meanwhile.
ConsoleLine& window();

// Whether the store has been given up on in a step still being watched.
bool given_up();

}  // namespace updater::storage
