#include "storage/store_watch.hpp"

#include "capi/interned.hpp"
#include "names.hpp"
#include "capi/ops.hpp"
#include "messages.hpp"

#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>
#include <vector>

namespace updater::storage {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::seconds;

constexpr Clock::duration quiet = seconds(quiet_seconds);
constexpr Clock::duration patience = seconds(stall_patience_seconds);

// One watched step. Its fields are read and written with the interpreter's lock held, by the
// step's thread, the watch's thread and the storage library's threads; the two locks are the
// watch thread's own: `stop` is held by the step until it ends, `stopped` by the watch until it
// has.
struct Watch {
    py::Scope scope;
    PyInterpreterState* interpreter;  // the step's, in which the watch's thread runs
    Clock::time_point started;
    Clock::time_point progress;  // the start, or the last piece beyond the most received
    Clock::time_point heard;     // the start, or the last line or bar the person was shown
    long long most_received = 0;
    bool given_up = false;
    bool interrupted = false;  // Ctrl-C came during the step
    bool bar_drawn = false;    // the progress bar was drawn after the last line the watch said
    py::Ref unsaid;  // the error met saying a line, raised in the step's thread at its end
    PyThread_type_lock stop = nullptr;
    PyThread_type_lock stopped = nullptr;
};

// The step being watched, if any; read and set with the interpreter's lock held.
Watch* current = nullptr;

// Whether this thread is sending a request of the client (StoreSending).
thread_local bool sending = false;

// Weak references to the sockets of the client's connections to the store, which it keeps open
// between steps and reuses: only those are ever noted, so a give-up of a later step ends only
// what is still the store's. Their list and the hook that fills it, in the module's interpreter.
struct Connections {
    py::Ref sockets;
    py::Ref socket_type;  // _socket.socket, whose subclasses the client's connections are
    bool hooked = false;  // the hook is in place, and heard the probe
    bool probing = false;
    QuietLine say = nullptr;
};

Connections no_connections_yet() {
    py::Ref module = py::Ref::steal(PyImport_ImportModule("_socket"));
    return {py::Ref::steal(PyList_New(0)), py::attr(module, n.socket)};
}

constinit py::PerInterpreter<Connections> connections(no_connections_yet);

// The event the watch raises once to hear that its hook is in place: sys.addaudithook does not
// fail when another hook refuses it with a RuntimeError, it only adds nothing.
constexpr const char* probe_event = "updater_core.store_watch";

[[noreturn]] void refuse_stalled(const py::Scope& scope) {
    py::Ref waited = py::text(py::integer(stall_patience_seconds));
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

// The hook, sys.addaudithook's: it runs in this interpreter only, for every event of every
// thread, so it looks at nothing but a socket.connect of the client's sending, and ignores
// whatever is not of that event's documented shape. The socket is noted; once the store is
// given up on (or Ctrl-C came), the connection is refused before it is made.
//
// A hook of this interpreter, not the runtime's (PySys_AddAuditHook), since that one would run
// in every interpreter of the process, and in their threads, on data of this one. The client's
// connection pool would do without a hook, but it is reachable only through private attributes
// of the library and of urllib3 that change between releases, and a connection still waiting
// for its first answer is not in it.
// Not noexcept: a thread the interpreter ends at exit unwinds through it (capi/ref.hpp).
PyObject* on_audit(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
    // Filled before the hook was made, and forgotten only with the interpreter and its hooks.
    Connections& noted = connections.get();
    if (count != 2 || !PyUnicode_Check(arguments[0])) {
        Py_RETURN_NONE;
    }
    if (noted.probing && PyUnicode_CompareWithASCIIString(arguments[0], probe_event) == 0) {
        noted.hooked = true;
        Py_RETURN_NONE;
    }
    if (!sending || PyUnicode_CompareWithASCIIString(arguments[0], "socket.connect") != 0 ||
        !PyTuple_Check(arguments[1]) || PyTuple_GET_SIZE(arguments[1]) < 1) {
        Py_RETURN_NONE;
    }
    PyObject* socket = PyTuple_GET_ITEM(arguments[1], 0);
    try {
        if (current != nullptr && current->interrupted) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw py::ErrorAlreadySet{};
        }
        if (current != nullptr && current->given_up) {
            refuse_stalled(current->scope);
        }
        const bool is_socket =
            PyType_Check(noted.socket_type.get()) &&
            PyObject_TypeCheck(socket, reinterpret_cast<PyTypeObject*>(noted.socket_type.get()));
        if (is_socket && PyType_SUPPORTS_WEAKREFS(Py_TYPE(socket))) {
            open_connections();
            py::Ref weak = py::Ref::steal(PyWeakref_NewRef(socket, nullptr));
            py::require(PyList_Append(noted.sockets.get(), weak.get()));
        }
        Py_RETURN_NONE;
    } catch (...) {
        py::error_from_current_exception();
        return nullptr;
    }
}

PyMethodDef audit_hook = {"store_watch", reinterpret_cast<PyCFunction>(
                                             reinterpret_cast<void (*)()>(on_audit)),
                          METH_FASTCALL, nullptr};

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

// The SIGINT handler while a step is watched in the main thread: ends the store's connections,
// so that the library's threads, which the Ctrl-C makes it wait for, stop at once, then hands
// the signal to the handler it replaced (`self`), which raises KeyboardInterrupt as ever.
PyObject* on_interrupt(PyObject* replaced, PyObject* const* arguments, Py_ssize_t count) {
    if (current != nullptr && !current->interrupted) {
        current->interrupted = true;
        try {
            end_connections();
        } catch (...) {
            py::error_from_current_exception();
            return nullptr;
        }
    }
    return PyObject_Vectorcall(replaced, arguments, static_cast<size_t>(count), nullptr);
}

PyMethodDef interrupt_handler = {"store_watch_interrupt",
                                 reinterpret_cast<PyCFunction>(
                                     reinterpret_cast<void (*)()>(on_interrupt)),
                                 METH_FASTCALL, nullptr};

// One look of the watch, with the interpreter's lock held: gives up, or says a line, as due.
// Returns how long it may sleep before the next.
Clock::duration look(Watch& watch) {
    const Clock::time_point now = Clock::now();
    if (current != &watch || watch.given_up || watch.interrupted) {
        return patience;
    }
    try {
        if (now - watch.progress >= patience) {
            watch.given_up = true;
            end_connections();
            return patience;
        }
        if (now - watch.heard >= quiet && !watch.unsaid) {
            connections.unchecked().say(watch.scope, std::exchange(watch.bar_drawn, false));
        }
    } catch (...) {
        py::error_from_current_exception();
        if (!watch.unsaid) {
            watch.unsaid = py::Ref::steal_or_null(py::take_raised());
        }
        PyErr_Clear();
    }
    const Clock::time_point give_up_at = watch.progress + patience;
    return (watch.unsaid ? give_up_at : std::min(watch.heard + quiet, give_up_at)) - now;
}

// The watch's thread, with a thread state of its own in the step's interpreter.
void run_watch(void* argument) {
    Watch& watch = *static_cast<Watch*>(argument);
    // Said also when the interpreter ends this thread as it waits for the lock at exit.
    struct Stopped {
        Watch& watch;
        ~Stopped() { PyThread_release_lock(watch.stopped); }
    } stopped{watch};
    PyThreadState* state = PyThreadState_New(watch.interpreter);
    Clock::duration next = quiet;
    for (;;) {
        const auto wait = std::chrono::duration_cast<microseconds>(
            std::max<Clock::duration>(next, std::chrono::milliseconds(100)));
        if (PyThread_acquire_lock_timed(watch.stop, wait.count(), 0) == PY_LOCK_ACQUIRED) {
            break;
        }
        if (state != nullptr) {
            PyEval_RestoreThread(state);
            next = look(watch);
            PyEval_SaveThread();
        }
    }
    if (state != nullptr) {
        PyEval_RestoreThread(state);
        PyThreadState_Clear(state);
        PyThreadState_DeleteCurrent();
    }
}

// Ctrl-C during a step of the main thread: the SIGINT handler in force is wrapped for the
// step's length (and put back unless someone replaced it meanwhile). Elsewhere (another thread,
// another interpreter, a handler not set from Python) nothing changes.
class InterruptWatch {
public:
    InterruptWatch() {
        py::Ref module = py::Ref::steal(PyImport_Import(n.signal.get()));
        getsignal_ = py::attr(module, n.getsignal);
        signal_ = py::attr(module, n.signal);
        number_ = py::attr(module, n.sigint);
        replaced_ = py::call(getsignal_, number_);
        if (PyCallable_Check(replaced_.get()) == 0) {
            return;
        }
        py::Ref handler =
            py::Ref::steal(PyCFunction_NewEx(&interrupt_handler, replaced_.get(), nullptr));
        py::try_except(
            PyExc_ValueError,
            [&] {
                py::call(signal_, number_, handler);
                handler_ = handler;
            },
            [](py::Borrowed) {});  // not the main thread of the main interpreter
    }
    ~InterruptWatch() { put_back(); }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // Puts the replaced handler back, the error being raised (if any) kept as it is.
    void put_back() noexcept {
        if (!handler_) {
            return;
        }
        py::Ref handler = std::move(handler_);
        py::Ref raised = py::Ref::steal_or_null(py::take_raised());
        try {
            if (py::call(getsignal_, number_).get() == handler.get()) {
                py::call(signal_, number_, replaced_);
            }
        } catch (...) {
            py::error_from_current_exception();
            PyErr_WriteUnraisable(handler.get());
        }
        py::put_back(raised.release());
    }

private:
    py::Ref getsignal_, signal_, number_, replaced_, handler_;
};

// The watch of one step: started by the constructor, ended (its thread joined) by stop(), at the
// latest by the destructor.
class Watching {
public:
    Watching(const py::Scope& scope, LastLine last_line)
        : watch_{scope, PyInterpreterState_Get(), Clock::now(), Clock::now(), Clock::now()} {
        watch_.bar_drawn = last_line == LastLine::progress_bar;
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

// Tells the person, in one line, that a stalled store may hold the updater up.
void say_unguarded(const py::Scope& scope) {
    say(scope,
        {"Здесь обновление не может следить за соединениями с сервером обновлений: "
         "зависший сервер может его задержать."},
        {"The updater cannot watch its connections to the update server here: a stalled "
         "server may hold it up."});
}

}  // namespace

void watch_store_connections(const py::Scope& module, QuietLine say) {
    Connections& noted = connections.get();
    noted.say = say;
    if (noted.hooked) {
        return;
    }
    py::Ref hook = py::Ref::steal(PyCFunction_NewEx(&audit_hook, nullptr, nullptr));
    noted.probing = true;
    py::try_except(
        PyExc_Exception,
        [&] {
            py::call(py::attr(module[n.sys], n.addaudithook), hook);
            py::require(PySys_Audit(probe_event, nullptr));
        },
        [](py::Borrowed) {});  // a host's hook refused it: said below
    noted.probing = false;
    if (!noted.hooked) {
        say_unguarded(module);
    }
}

StoreSending::StoreSending() noexcept : outer_(std::exchange(sending, true)) {}

StoreSending::~StoreSending() { sending = outer_; }

void watched(const py::Scope& scope, const std::function<void()>& step, LastLine last_line) {
    InterruptWatch interrupts;
    Watching watching(scope, last_line);
    try {
        step();
    } catch (...) {
        py::error_from_current_exception();
        py::Ref error = py::Ref::steal_or_null(py::take_raised());
        watching.stop();
        interrupts.put_back();
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
    interrupts.put_back();
    // An answer that ended when its connection was ended may look whole to the library.
    if (watching.watch().given_up) {
        refuse_stalled(scope);
    }
    if (watching.watch().unsaid) {
        py::raise_again(watching.watch().unsaid);
    }
}

void progressed(long long received) noexcept {
    if (current == nullptr) {
        return;
    }
    current->heard = Clock::now();
    current->bar_drawn = true;
    if (received > current->most_received) {
        current->most_received = received;
        current->progress = current->heard;
    }
}

void shown() noexcept {
    if (current != nullptr) {
        current->heard = Clock::now();
    }
}

bool given_up() noexcept { return current != nullptr && current->given_up; }

}  // namespace updater::storage
