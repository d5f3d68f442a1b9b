// The thread that looks on while a step waits on the store.
//
// It runs in the step's interpreter with a thread state of its own, and calls `look` with the
// interpreter's lock held, then sleeps as long as `look` answers (at least a tenth of a second),
// until the step stops it. Stopping waits until the thread has let go of everything it looked
// at, except in a child forked meanwhile, which has no such thread to wait for.
#pragma once

#include "capi/ref.hpp"

#include <pythread.h>

#include <chrono>

namespace updater::storage {

class WatchThread {
public:
    using Clock = std::chrono::steady_clock;
    // One look at `watched`: how long the thread may sleep before the next.
    using Look = Clock::duration (*)(void* watched);

    // Starts the thread, whose first look comes after `first`.
    WatchThread(Look look, void* watched, Clock::duration first);
    ~WatchThread() noexcept(false) { stop(); }
    WatchThread(const WatchThread&) = delete;
    WatchThread& operator=(const WatchThread&) = delete;

    // Ends the thread, once; the caller holds the interpreter's lock, or is a thread that the
    // interpreter is ending at exit.
    void stop();

private:
    static void run(void* self);
    void free_locks() noexcept;

    Look look_;
    void* watched_;
    Clock::duration first_;
    PyInterpreterState* interpreter_;
    long process_;  // the process the thread runs in
    // Held by the step until it stops the thread, and by the thread until it has stopped.
    PyThread_type_lock stop_ = nullptr;
    PyThread_type_lock stopped_ = nullptr;
};

}  // namespace updater::storage
