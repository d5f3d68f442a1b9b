#include "storage/store_watch.hpp"

#include "capi/interned.hpp"
#include "capi/ops.hpp"
#include "messages.hpp"

#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace updater::storage {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::seconds;

constexpr Clock::duration quiet = seconds(quiet_seconds);
constexpr Clock::duration patience = seconds(patience_seconds);

// One watched step. Its fields are read and written with the interpreter's lock held, by the
// step's thread, the watch's thread and the storage library's threads; the two locks are the
// watch thread's own: `stop` is held by the step until it ends, `stopped` by the watch until it
// has.
struct Watch {
    py::Scope scope;
    Clock::time_point started;
    Clock::time_point progress;  // the start, or the last piece of the download
    bool given_up = false;
    bool bar_drawn = false;  // the progress bar was drawn after the last line the watch said
    py::Ref unsaid;  // the error met saying a line, raised in the step's thread at its end
    PyThread_type_lock stop = nullptr;
    PyThread_type_lock stopped = nullptr;
};

// The step being watched, if any; read and set with the interpreter's lock held.
Watch* current = nullptr;

// Weak references to the sockets connected while a step was watched: the store's connections,
// which the client keeps open between steps and reuses. One list per interpreter, with the audit
// hook that fills it (the interpreter drops its hooks when it finalises).
struct Connections {
    py::Ref sockets;
};

int on_audit(const char* event, PyObject* arguments, void*);

Connections watch_connections() {
    Connections made{py::Ref::steal(PyList_New(0))};
    py::require(PySys_AddAuditHook(on_audit, nullptr));
    return made;
}

constinit py::PerInterpreter<Connections> connections(watch_connections);

[[noreturn]] void refuse_stalled(const py::Scope& scope) {
    py::Ref waited = py::text(py::integer(patience_seconds));
    refuse(scope, n.refusal_stalled,
           {"Сервер обновлений почти ничего не присылал ", waited,
            " секунд; обновление остановлено, ничего не изменено."},
           {"The update server sent next to nothing for ", waited,
            " seconds; the update was stopped and nothing was changed."});
}

// The live sockets of the list, which keeps only those.
std::vector<py::Ref> open_connections() {
    py::Borrowed sockets = connections.unchecked().sockets;
    std::vector<py::Ref> alive;
    py::Ref kept = py::Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sockets.get()); ++i) {
        py::Borrowed weak = PyList_GET_ITEM(sockets.get(), i);
        py::Ref socket = py::referent(weak);
        if (socket) {
            alive.push_back(socket);
            py::require(PyList_Append(kept.get(), weak.get()));
        }
    }
    py::require(PyList_SetSlice(sockets.get(), 0, PY_SSIZE_T_MAX, kept.get()));
    return alive;
}

// socket.connect, while a step is watched: the socket is noted; once the store is given up on,
// the connection is refused before it is made.
int on_audit(const char* event, PyObject* arguments, void*) {
    if (current == nullptr || std::strcmp(event, "socket.connect") != 0) {
        return 0;
    }
    try {
        if (current->given_up) {
            refuse_stalled(current->scope);
        }
        open_connections();
        py::Ref weak = py::Ref::steal(PyWeakref_NewRef(PyTuple_GET_ITEM(arguments, 0), nullptr));
        py::require(PyList_Append(connections.unchecked().sockets.get(), weak.get()));
        return 0;
    } catch (...) {
        py::error_from_current_exception();
        return -1;
    }
}

// Ends every connection to the store, in both directions: a read waiting on one returns at once
// (on Windows, at the latest when the next byte or the read's timeout comes), and the library
// finds it broken.
void end_connections() {
    for (const py::Ref& socket : open_connections()) {
        py::try_except(
            PyExc_OSError,
            [&] { py::call_method(socket, n.shutdown, py::integer(2)); },  // SHUT_RDWR, SD_BOTH
            [](py::Borrowed) {});
    }
}

// One look of the watch, with the interpreter's lock held: gives up, or says a line, as due.
// Returns how long it may sleep before the next.
Clock::duration look(Watch& watch) {
    const Clock::time_point now = Clock::now();
    if (current != &watch || watch.given_up) {
        return patience;
    }
    try {
        if (now - watch.progress >= patience) {
            watch.given_up = true;
            end_connections();
            return patience;
        }
        const Clock::time_point heard =
            std::max(watch.started, Clock::time_point(Clock::duration(last_shown.load())));
        if (now - heard >= quiet && !watch.unsaid) {
            say_still_trying(watch.scope, std::exchange(watch.bar_drawn, false));
        }
    } catch (...) {
        py::error_from_current_exception();
        if (!watch.unsaid) {
            watch.unsaid = py::Ref::steal_or_null(py::take_raised());
        }
        PyErr_Clear();
    }
    const Clock::time_point heard =
        std::max(watch.started, Clock::time_point(Clock::duration(last_shown.load())));
    const Clock::time_point give_up_at = watch.progress + patience;
    return (watch.unsaid ? give_up_at : std::min(heard + quiet, give_up_at)) - now;
}

void run_watch(void* argument) {
    Watch& watch = *static_cast<Watch*>(argument);
    // Said also when the interpreter ends this thread as it waits for the lock at exit.
    struct Stopped {
        Watch& watch;
        ~Stopped() { PyThread_release_lock(watch.stopped); }
    } stopped{watch};
    Clock::duration next = quiet;
    for (;;) {
        const auto wait = std::chrono::duration_cast<microseconds>(
            std::max<Clock::duration>(next, std::chrono::milliseconds(100)));
        if (PyThread_acquire_lock_timed(watch.stop, wait.count(), 0) == PY_LOCK_ACQUIRED) {
            break;
        }
        PyGILState_STATE state = PyGILState_Ensure();
        next = look(watch);
        PyGILState_Release(state);
    }
}

// The watch of one step: started by the constructor, ended (its thread joined) by stop(), at the
// latest by the destructor.
class Watching {
public:
    Watching(const py::Scope& scope, LastLine last_line)
        : watch_{scope, Clock::now(), Clock::now(), false, last_line == LastLine::progress_bar} {
        watch_.stop = PyThread_allocate_lock();
        watch_.stopped = PyThread_allocate_lock();
        if (watch_.stop == nullptr || watch_.stopped == nullptr) {
            free_locks();
            throw std::bad_alloc();
        }
        PyThread_acquire_lock(watch_.stop, WAIT_LOCK);
        PyThread_acquire_lock(watch_.stopped, WAIT_LOCK);
        if (PyThread_start_new_thread(run_watch, &watch_) == PYTHREAD_INVALID_THREAD_ID) {
            free_locks();
            py::raise(PyExc_RuntimeError, "can't start new thread");
        }
        outer_ = std::exchange(current, &watch_);
    }
    ~Watching() noexcept(false) { stop(); }
    Watching(const Watching&) = delete;
    Watching& operator=(const Watching&) = delete;

    Watch& watch() noexcept { return watch_; }

    void stop() {
        if (watch_.stop == nullptr) {
            return;
        }
        current = outer_;
        PyThread_release_lock(watch_.stop);
        // A thread that the interpreter is ending at exit holds no lock of the interpreter's.
        if (py::attached()) {
            Py_BEGIN_ALLOW_THREADS
            PyThread_acquire_lock(watch_.stopped, WAIT_LOCK);
            Py_END_ALLOW_THREADS
        } else {
            PyThread_acquire_lock(watch_.stopped, WAIT_LOCK);
        }
        free_locks();
    }

private:
    void free_locks() noexcept {
        for (PyThread_type_lock* lock : {&watch_.stop, &watch_.stopped}) {
            if (*lock != nullptr) {
                PyThread_free_lock(*lock);
                *lock = nullptr;
            }
        }
    }

    Watch watch_;
    Watch* outer_ = nullptr;  // the step this one runs in, if any
};

bool is_stalled_refusal(py::Borrowed error) {
    bool stalled = false;
    py::try_except(
        PyExc_AttributeError,
        [&] { stalled = py::equal(py::attr(error, n.refusal), n.refusal_stalled); },
        [](py::Borrowed) {});
    return stalled;
}

}  // namespace

void watch_store_connections() { connections.get(); }

void watched(const py::Scope& scope, const std::function<void()>& step, LastLine last_line) {
    Watching watching(scope, last_line);
    try {
        step();
    } catch (...) {
        py::error_from_current_exception();
        py::Ref error = py::Ref::steal_or_null(py::take_raised());
        watching.stop();
        // Whatever the library made of the connections the watch ended (a broken answer, a
        // read cut short), the step ends as given up; a Ctrl-C stays a Ctrl-C.
        const bool failed = PyErr_GivenExceptionMatches(error.get(), PyExc_Exception) != 0;
        if (watching.watch().given_up && failed && !is_stalled_refusal(error)) {
            py::Handling handling(error);
            refuse_stalled(scope);
        }
        py::raise_again(error);
    }
    watching.stop();
    // An answer that ended when its connection was ended may look whole to the library.
    if (watching.watch().given_up) {
        refuse_stalled(scope);
    }
    if (watching.watch().unsaid) {
        py::raise_again(watching.watch().unsaid);
    }
}

void progressed() noexcept {
    shown();
    if (current != nullptr) {
        current->progress = Clock::now();
        current->bar_drawn = true;
    }
}

bool given_up() noexcept { return current != nullptr && current->given_up; }

void say_still_trying(const py::Scope& scope, bool below_bar) {
    const char* below = below_bar ? "\n" : "";
    say(scope,
        {below, "Сервер обновлений не отвечает или отвечает слишком медленно; пробую ещё раз..."},
        {below, "The update server is not answering, or too slowly; still trying..."});
}

}  // namespace updater::storage
