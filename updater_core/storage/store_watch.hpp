// The watch over every wait on the store.
//
// The storage library's timeouts count from one piece of an answer to the next, so a store that
// sends a byte every few seconds (or a relay on the way that does) keeps a request going for
// ever, and the person at the window sees nothing meanwhile. While the updater waits on the
// store, a thread of the watch looks on: when the person has seen nothing for `quiet_seconds`,
// it says that the store is slow and that the updater is still trying; when the wait has brought
// nothing for `patience_seconds` (for the download: no new piece of it), it gives the store up.
// Giving up ends the connections the updater opened to the store (whichever thread reads them)
// and refuses new ones, so the library's own retries end too, and the step fails with a refusal
// that says so. Ctrl-C is left alone.
#pragma once

#include "capi/scope.hpp"

#include <functional>

namespace updater::storage {

inline constexpr int quiet_seconds = 25;
inline constexpr int patience_seconds = 90;

// Once per process, before the first request: notes the connections opened while a step is
// watched, so that a store given up on has them ended, and refuses new ones once it is.
void watch_store_connections();

// Runs `step`, which waits on the store, under the watch. A step the watch gave up on raises
// RuntimeError with its `refusal` "stalled", whatever the library made of its ended connections.
// What stands on the window's last line while a step runs: a line ended, or a progress bar,
// below which the watch's line then starts, rather than over it.
enum class LastLine { ended, progress_bar };
void watched(const py::Scope& scope, const std::function<void()>& step,
             LastLine last_line = LastLine::ended);

// A piece of the download arrived (the progress bar shows it): the wait makes progress, and the
// bar has been drawn again.
void progressed() noexcept;

// Whether the store has been given up on in the step being watched.
bool given_up() noexcept;

// Says that the store is slow or silent and that the updater goes on; `below_bar` first ends the
// progress bar's line.
void say_still_trying(const py::Scope& scope, bool below_bar = false);

}  // namespace updater::storage
