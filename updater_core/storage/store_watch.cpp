#include "storage/store_watch.hpp"

#include "capi/interpreter_state.hpp"
#include "capi/ops.hpp"
#include "messages.hpp"
#include "storage/interrupts.hpp"
#include "storage/watch_thread.hpp"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

namespace updater::storage {

namespace {

using WatchClock = std::chrono::steady_clock;

constexpr WatchClock::duration quiet = std::chrono::seconds(quiet_seconds);
constexpr WatchClock::duration patience = std::chrono::seconds(stall_patience_seconds);

struct Watch;

// What the steps of one interpreter share: the client's connections, the window, the handling
// of SIGINT, and the steps being watched.
struct StoreState {
    ConnectionBound connections;
    ConsoleLine window;
    SigintHandling sigint;
    std::vector<Watch*> steps;  // each removed by its own step as it ends
    QuietLine say = nullptr;
};

constexpr const char* state_key = "updater_core.store_watch";

py::Ref store_state() {
    return py::interpreter_state<StoreState>(state_key, [] { return StoreState{}; });
}

StoreState& state_of(py::Borrowed state) { return py::state_of<StoreState>(state); }

// One watched step. Its fields are read and written with the interpreter's lock held, by the
// step's thread, its watch's thread and the storage library's threads.
struct Watch {
    py::Scope scope;
    py::Ref state;                 // the interpreter's StoreState
    WatchClock::time_point started;
    WatchClock::time_point progress;  // the start, or the last piece beyond the most received
    long long most_received = 0;
    bool given_up = false;
    WatchClock::time_point given_up_at;
    bool interrupted = false;  // the host's SIGINT handler raised during the step
    py::Ref unsaid;  // the error met saying a line, raised in the step's thread at its end
};

constexpr const char* watch_name = "updater_core.store_watch.step";

void delete_watch(PyObject* capsule) noexcept {
    delete static_cast<Watch*>(PyCapsule_GetPointer(capsule, watch_name));
}

Watch& watch_of(py::Borrowed handle) {
    auto* watch = static_cast<Watch*>(PyCapsule_GetPointer(handle.get(), watch_name));
    if (watch == nullptr) {
        throw py::ErrorAlreadySet{};
    }
    return *watch;
}

// A new watch, held by the object handed back.
py::Ref new_watch(const py::Scope& scope, py::Ref state) {
    const WatchClock::time_point now = WatchClock::now();
    auto* watch = new Watch{scope, std::move(state), now, now};
    py::Ref handle = py::Ref::steal_or_null(PyCapsule_New(watch, watch_name, delete_watch));
    if (!handle) {
        delete watch;
        throw py::ErrorAlreadySet{};
    }
    return handle;
}

// The refusal of a stalled store, as an exception object, without raising it.
py::Ref stalled_error(const py::Scope& scope, long waited_seconds) {
    py::Ref error;
    py::try_except(
        PyExc_RuntimeError,
        [&] {
            py::Ref waited = py::text(py::integer(waited_seconds));
            refuse(scope, n.refusal_stalled,
                   {"Сервер обновлений почти ничего не присылал ", waited,
                    " секунд; обновление остановлено, ничего не изменено."},
                   {"The update server sent next to nothing for ", waited,
                    " seconds; the update was stopped and nothing was changed."});
        },
        [&](py::Borrowed raised) { error = py::Ref::share(raised); });
    return error;
}

[[noreturn]] void raise_error(py::Borrowed error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw py::ErrorAlreadySet{};
}

[[noreturn]] void refuse_interrupted(const py::Scope& scope) {
    refuse(scope, n.refusal_interrupted,
           {"Обновление прервано нажатием Ctrl-C во время ожидания сервера обновлений; ничего не "
            "изменено."},
           {"The update was interrupted by Ctrl-C while it waited on the update server; nothing "
            "was changed."});
}

// How long nothing new came, in whole seconds, as the step that was given up ends `now`: the
// patience, when its connections ended as it was given up; longer, when one of them could not
// be ended (the host refused the hook that sees it) and went on until the library's timeout.
long waited_seconds(const Watch& watch, WatchClock::time_point now) {
    const WatchClock::time_point end =
        now - watch.given_up_at < std::chrono::seconds(2) ? watch.given_up_at : now;
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(end - watch.progress).count());
}

// Gives the store up: its connections are ended, and new ones refused.
void give_up(Watch& watch, WatchClock::time_point now) {
    StoreState& state = state_of(watch.state);
    watch.given_up = true;
    watch.given_up_at = now;
    state.connections.refuse_new(stalled_error(watch.scope, waited_seconds(watch, now)));
    state.connections.end_all();
}

// One look of the watch's thread, with the interpreter's lock held: gives up, or says a line,
// as due. Returns how long it may sleep before the next.
WatchClock::duration look(void* watched) {
    Watch& watch = *static_cast<Watch*>(watched);
    if (watch.given_up || watch.interrupted) {
        return patience;
    }
    StoreState& state = state_of(watch.state);
    const WatchClock::time_point now = WatchClock::now();
    const auto heard = [&] { return std::max(watch.started, state.window.shown()); };
    try {
        if (now - watch.progress >= patience) {
            give_up(watch, now);
            return patience;
        }
        if (now - heard() >= quiet && !watch.unsaid && state.say != nullptr) {
            state.say(watch.scope, state.window);
        }
    } catch (...) {
        py::error_from_current_exception();
        if (!watch.unsaid) {
            watch.unsaid = py::Ref::steal_or_null(py::take_raised());
        }
        PyErr_Clear();
    }
    const WatchClock::time_point give_up_at = watch.progress + patience;
    return (watch.unsaid ? give_up_at : std::min(heard() + quiet, give_up_at)) - now;
}

// on_raised of the step's InterruptWatch (`self` is the step's watch): ends the store's
// connections, so that the library's threads, which the host's error makes the step wait for,
// stop at once.
PyObject* on_host_interrupt(PyObject* self, PyObject*) {
    try {
        Watch& watch = watch_of(self);
        if (!watch.interrupted) {
            watch.interrupted = true;
            StoreState& state = state_of(watch.state);
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            state.connections.refuse_new(py::Ref::steal_or_null(py::take_raised()));
            state.connections.end_all();
        }
        Py_RETURN_NONE;
    } catch (...) {
        py::error_from_current_exception();
        return nullptr;
    }
}

PyMethodDef host_interrupt = {"store_watch_interrupted", on_host_interrupt, METH_NOARGS,
                              nullptr};

// The step among the interpreter's steps while it runs; it removes exactly itself. New
// connections are allowed again once no step is left that refused them.
class Registered {
public:
    Registered(StoreState& state, Watch& watch) : state_(state), watch_(&watch) {
        state.steps.push_back(watch_);
    }
    ~Registered() {
        if (py::attached()) {  // not in a thread the interpreter ends at exit
            remove();
        }
    }
    Registered(const Registered&) = delete;
    Registered& operator=(const Registered&) = delete;

    void remove() noexcept {
        if (watch_ == nullptr) {
            return;
        }
        auto& steps = state_.steps;
        steps.erase(std::remove(steps.begin(), steps.end(), watch_), steps.end());
        watch_ = nullptr;
        if (std::none_of(steps.begin(), steps.end(),
                         [](const Watch* step) { return step->given_up || step->interrupted; })) {
            state_.connections.refuse_new(py::Ref());
        }
    }

private:
    StoreState& state_;
    Watch* watch_;
};

bool is_refusal(py::Borrowed error, py::Borrowed kind) {
    bool is = false;
    py::try_except(
        PyExc_AttributeError, [&] { is = py::equal(py::attr(error, n.refusal), kind); },
        [](py::Borrowed) {});
    return is;
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
    py::Ref held = store_state();
    StoreState& state = state_of(held);
    state.say = say;
    if (!state.connections.hook(module, held)) {
        say_unguarded(module);
    }
}

StoreSending::StoreSending()
    : state_(store_state()), sending_(state_of(state_).connections) {}

StoreSending::~StoreSending() = default;

void StoreSending::answered(py::Borrowed raw) { state_of(state_).connections.note_answer(raw); }

void watched(const py::Scope& scope, const std::function<void(py::Borrowed watch)>& step,
             LastLine last_line) {
    py::Ref held = store_state();
    StoreState& state = state_of(held);
    state.window.begin(last_line);
    py::Ref handle = new_watch(scope, held);
    Watch& watch = watch_of(handle);
    Registered registered(state, watch);
    py::Ref on_raised = py::Ref::steal(PyCFunction_NewEx(&host_interrupt, handle.get(), nullptr));
    InterruptWatch interrupts(state.sigint, on_raised);
    WatchThread thread(look, &watch, quiet);
    const auto end = [&] {
        thread.stop();
        interrupts.put_back();
        registered.remove();
    };
    try {
        step(handle);
    } catch (...) {
        py::error_from_current_exception();
        py::Ref error = py::Ref::steal_or_null(py::take_raised());
        end();
        // Whatever the library made of the connections that were ended (a broken answer, a
        // read cut short), the step ends as given up, or interrupted; the host's own error
        // (a KeyboardInterrupt) stays as it came.
        const bool failed = PyErr_GivenExceptionMatches(error.get(), PyExc_Exception) != 0;
        if (failed && watch.given_up && !is_refusal(error, n.refusal_stalled)) {
            py::Handling handling(error);
            raise_error(stalled_error(scope, waited_seconds(watch, WatchClock::now())));
        }
        if (failed && watch.interrupted && !is_refusal(error, n.refusal_interrupted)) {
            py::Handling handling(error);
            refuse_interrupted(scope);
        }
        py::raise_again(error);
    }
    end();
    // An answer that ended when its connection was ended may look whole to the library.
    if (watch.given_up) {
        raise_error(stalled_error(scope, waited_seconds(watch, WatchClock::now())));
    }
    if (watch.interrupted) {
        refuse_interrupted(scope);
    }
    if (watch.unsaid) {
        py::raise_again(watch.unsaid);
    }
}

void progressed(py::Borrowed handle, long long received) {
    Watch& watch = watch_of(handle);
    state_of(watch.state).window.bar_drawn();
    if (received > watch.most_received) {
        watch.most_received = received;
        watch.progress = WatchClock::now();
    }
}

ConsoleLine& window() { return state_of(store_state()).window; }

bool given_up() {
    const auto& steps = state_of(store_state()).steps;
    return std::any_of(steps.begin(), steps.end(), [](const Watch* step) { return step->given_up; });
}

}  // namespace updater::storage
