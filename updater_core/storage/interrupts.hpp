// Ctrl-C during a wait on the store: the host's to decide.
//
// While a step of the main thread waits, the SIGINT handler in force (the host's, set from
// Python) is wrapped: a Ctrl-C goes to it as ever, and only when it raises (the host stops) is
// the step told, so that the storage library's threads, which the error makes it wait for, can
// be stopped at once. A handler that does not raise (a host that ignores Ctrl-C) changes
// nothing. Elsewhere (another thread, another interpreter, a handler not set from Python)
// nothing is wrapped.
#pragma once

#include "capi/ref.hpp"

namespace updater::storage {

// The signal module's functions, looked up once per interpreter: the C functions themselves,
// which take and give the handlers and numbers as they are.
struct SigintHandling {
    SigintHandling();  // with the interpreter's lock held
    py::Ref getsignal, signal, number;
};

// The wrap of one step: put in place by the constructor, and put back (unless someone replaced
// it meanwhile) by put_back, at the latest by the destructor.
class InterruptWatch {
public:
    // `on_raised` is called (with no arguments) when the host's handler raised, before its
    // error goes on.
    InterruptWatch(const SigintHandling& handling, py::Borrowed on_raised);
    ~InterruptWatch() { put_back(); }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // Puts the host's handler back, the error being raised (if any) kept as it is.
    void put_back() noexcept;

private:
    const SigintHandling& handling_;
    py::Ref replaced_, handler_;
};

}  // namespace updater::storage
