// The watch over every wait on the store.
//
// The storage library's timeouts count from one piece of an answer to the next, so a store that
// sends a byte every few seconds (or a relay on the way that does) keeps a request going for
// ever, and the person at the window sees nothing meanwhile. While the updater waits on the
// store, a thread of the watch looks on: when the person has seen nothing for `quiet_seconds`,
// it says that the store is slow and that the updater is still trying; when the wait has brought
// nothing new for `stall_patience_seconds` (for the download: no byte beyond the most it ever
// had), it gives the store up. Giving up ends the connections the updater's client opened to the
// store (whichever thread reads them) and refuses new ones, so the library's own retries end
// too, and the step fails with a refusal that says so. A Ctrl-C during the wait ends them as
// well, so that the library's threads stop at once and the Ctrl-C goes on as it came.
//
// The watch serves the one interpreter the module lives in (the create step refuses any other):
// its audit hook is that interpreter's own, its thread runs in that interpreter, and its state
// is touched only with that interpreter's lock held.
#pragma once

#include "capi/scope.hpp"

#include <functional>

namespace updater::storage {

inline constexpr int quiet_seconds = 25;
inline constexpr int stall_patience_seconds = 90;

// What the watch says when the person has seen nothing for `quiet_seconds`: the client's line
// that the store is slow, `below_bar` when the progress bar stands on the last line.
using QuietLine = void (*)(const py::Scope& scope, bool below_bar);

// Once per import, before the first request: puts the watch's hook in place in this interpreter
// (once), which notes the connections of the client's sending (StoreSending) and refuses new
// ones once the store is given up on, and names the line the watch says. Where the hook cannot
// be put in place, the person is told in one line that a stalled store may hold the updater up,
// and the update goes on.
void watch_store_connections(const py::Scope& module, QuietLine say);

// While one lives, the connections this thread opens are the client's to its store: the
// client's sending (and nothing else) makes one around each request it sends.
class StoreSending {
public:
    StoreSending() noexcept;
    ~StoreSending();
    StoreSending(const StoreSending&) = delete;
    StoreSending& operator=(const StoreSending&) = delete;

private:
    bool outer_;
};

// Runs `step`, which waits on the store, under the watch. A step the watch gave up on raises
// RuntimeError with its `refusal` "stalled", whatever the library made of its ended connections.
// What stands on the window's last line while a step runs: a line ended, or a progress bar,
// below which the watch's line then starts, rather than over it.
enum class LastLine { ended, progress_bar };
void watched(const py::Scope& scope, const std::function<void()>& step,
             LastLine last_line = LastLine::ended);

// The download has brought `received` bytes in all (the progress bar shows it): the wait makes
// progress when that is more than it ever had (a piece the library lost and fetches again is no
// progress), and the bar has been drawn again.
void progressed(long long received) noexcept;

// The person was just shown a line: the watch's quiet period starts again.
void shown() noexcept;

// Whether the store has been given up on in the step being watched.
bool given_up() noexcept;

}  // namespace updater::storage
