// The bound on the client's connections to its store.
//
// The sockets of the connections that the client's sending opens are noted (weakly), so that
// they can all be ended at once, whichever thread reads them; once the store has been given up
// on, no new request is sent and no new connection made. Only the client's own connections are
// noted: those opened by a thread while it sends a request of the client (Sending), and the
// one each answer of the client's session arrived on. The latter the client's session gives
// without any hook; a connection still waiting for its first answer is seen only by the
// interpreter's audit hook, which a host may refuse.
#pragma once

#include "capi/scope.hpp"

#include <vector>

namespace updater::storage {

class ConnectionBound {
public:
    ConnectionBound();  // with the interpreter's lock held

    // While one lives, this thread sends a request of the client. It refuses at once when new
    // connections are refused.
    class Sending {
    public:
        explicit Sending(ConnectionBound& bound);
        ~Sending();
        Sending(const Sending&) = delete;
        Sending& operator=(const Sending&) = delete;

    private:
        ConnectionBound& bound_;
    };

    // Notes the connection that `raw`, the session's answer (a urllib3 response), arrived on.
    void note_answer(py::Borrowed raw);

    // Ends every noted connection that is still open, in both directions: a read waiting on one
    // returns at once (on Windows, at the latest when the next byte or the read's timeout
    // comes), and the library finds it broken.
    void end_all();

    // From now on every new request or connection of the client raises `error` (an exception
    // object); an empty Ref allows them again.
    void refuse_new(py::Ref error) noexcept { refusal_ = std::move(error); }
    void raise_if_refused() const;

    // Puts the interpreter's audit hook in place, once, `owner` keeping this bound alive for
    // the hook; returns whether it is in place (another hook may refuse it).
    bool hook(const py::Scope& module, py::Borrowed owner);

    // The hook's function; `self` is the capsule that hook() makes.
    static PyObject* on_audit(PyObject* self, PyObject* const* arguments, Py_ssize_t count);

private:
    void note(py::Borrowed socket);
    bool sending_here() const noexcept;

    py::Ref sockets_;      // weak references to the sockets
    py::Ref answers_;      // and to the answers that end their own (urllib3's responses)
    py::Ref socket_type_;  // _socket.socket, whose subclasses the client's connections are
    py::Ref connection_, sock_, shutdown_;  // the attributes' names
    py::Ref refusal_;
    std::vector<unsigned long> sending_;  // the threads sending a request of the client
    bool hooked_ = false;
    bool probing_ = false;
};

}  // namespace updater::storage
