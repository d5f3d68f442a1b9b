#include "storage/connection_bound.hpp"

#include "names.hpp"
#include "capi/interned.hpp"
#include "capi/ops.hpp"

#include <pythread.h>

#include <algorithm>

namespace updater::storage {

namespace {

// The event raised once to hear that the hook is in place: sys.addaudithook does not fail when
// another hook refuses it with a RuntimeError, it only adds nothing.
constexpr const char* probe_event = "updater_core.store_watch";
constexpr const char* hook_owner = "updater_core.connection_bound";

void release_owner(PyObject* capsule) noexcept {
    Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetContext(capsule)));
}

}  // namespace

ConnectionBound::ConnectionBound()
    : sockets_(py::Ref::steal(PyList_New(0))),
      answers_(py::Ref::steal(PyList_New(0))),
      socket_type_(py::Ref::steal(PyObject_GetAttrString(
          py::Ref::steal(PyImport_ImportModule("_socket")).get(), "socket"))),
      connection_(py::intern("connection")),
      sock_(py::intern("sock")),
      shutdown_(py::intern("shutdown")) {}

ConnectionBound::Sending::Sending(ConnectionBound& bound) : bound_(bound) {
    bound.raise_if_refused();
    bound.sending_.push_back(PyThread_get_thread_ident());
}

ConnectionBound::Sending::~Sending() {
    if (!py::attached()) {
        return;  // a thread the interpreter ends at exit: nothing of it is touched
    }
    auto& sending = bound_.sending_;
    auto here = std::find(sending.begin(), sending.end(), PyThread_get_thread_ident());
    if (here != sending.end()) {
        sending.erase(here);
    }
}

bool ConnectionBound::sending_here() const noexcept {
    return std::find(sending_.begin(), sending_.end(), PyThread_get_thread_ident()) !=
           sending_.end();
}

void ConnectionBound::raise_if_refused() const {
    if (refusal_) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(refusal_.get())), refusal_.get());
        throw py::ErrorAlreadySet{};
    }
}

namespace {

// `noted` (a list of weak references) without those gone, and with `object` once.
py::Ref kept_alive(py::Borrowed noted, py::Borrowed object) {
    py::Ref kept = py::Ref::steal(PyList_New(0));
    bool there = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(noted.get()); ++i) {
        py::Borrowed weak = PyList_GET_ITEM(noted.get(), i);
        py::Ref alive = py::referent(weak);
        if (alive) {
            there = there || alive.get() == object.get();
            py::require(PyList_Append(kept.get(), weak.get()));
        }
    }
    if (!there) {
        py::Ref weak = py::Ref::steal(PyWeakref_NewRef(object.get(), nullptr));
        py::require(PyList_Append(kept.get(), weak.get()));
    }
    return kept;
}

}  // namespace

void ConnectionBound::note(py::Borrowed socket) {
    const bool is_socket =
        PyType_Check(socket_type_.get()) &&
        PyObject_TypeCheck(socket.get(), reinterpret_cast<PyTypeObject*>(socket_type_.get()));
    if (is_socket && PyType_SUPPORTS_WEAKREFS(Py_TYPE(socket.get()))) {
        sockets_ = kept_alive(sockets_, socket);  // a connection the client reuses comes again
    }
}

void ConnectionBound::note_answer(py::Borrowed raw) {
    // urllib3's response ends its own connection (shutdown(), from urllib3 2.3 on), also when
    // its connection gave the socket up to it (an answer that closes the connection at its
    // end); an older one names its connection, and the connection (http.client's) its socket.
    py::try_except(
        PyExc_AttributeError,
        [&] {
            py::attr(raw, shutdown_);
            if (PyType_SUPPORTS_WEAKREFS(Py_TYPE(raw.get()))) {
                answers_ = kept_alive(answers_, raw);
            }
        },
        [&](py::Borrowed) {
            py::try_except(
                PyExc_AttributeError,
                [&] {
                    py::Ref connection = py::attr(raw, connection_);
                    if (connection.get() != Py_None) {
                        note(py::attr(connection, sock_));
                    }
                },
                [](py::Borrowed) {});
        });
}

void ConnectionBound::end_all() {
    // Each in both directions: a read waiting on one returns at once.
    py::Ref sockets = sockets_;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sockets.get()); ++i) {
        py::Ref socket = py::referent(PyList_GET_ITEM(sockets.get(), i));
        if (socket) {
            py::try_except(
                PyExc_OSError,
                [&] { py::call_method(socket, n.shutdown, py::integer(2)); },  // SHUT_RDWR
                [](py::Borrowed) {});
        }
    }
    py::Ref answers = answers_;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(answers.get()); ++i) {
        py::Ref answer = py::referent(PyList_GET_ITEM(answers.get(), i));
        if (answer) {
            py::try_except(
                PyExc_OSError, [&] { py::call_method(answer, shutdown_); }, [](py::Borrowed) {});
        }
    }
}

// The hook, sys.addaudithook's: it runs in this interpreter only, for every event of every
// thread, so it looks at nothing but a socket.connect of a thread that sends a request of the
// client, and ignores whatever is not of that event's documented shape. The socket is noted;
// once new connections are refused, the connection is refused before it is made.
//
// A hook of this interpreter, not the runtime's (PySys_AddAuditHook), since that one would run
// in every interpreter of the process, and in their threads, on data of this one.
// Not noexcept: a thread the interpreter ends at exit unwinds through it (capi/ref.hpp).
PyObject* ConnectionBound::on_audit(PyObject* self, PyObject* const* arguments,
                                    Py_ssize_t count) {
    auto& bound = *static_cast<ConnectionBound*>(PyCapsule_GetPointer(self, hook_owner));
    if (count != 2 || !PyUnicode_Check(arguments[0])) {
        Py_RETURN_NONE;
    }
    if (bound.probing_ && PyUnicode_CompareWithASCIIString(arguments[0], probe_event) == 0) {
        bound.hooked_ = true;
        Py_RETURN_NONE;
    }
    if (PyUnicode_CompareWithASCIIString(arguments[0], "socket.connect") != 0 ||
        !bound.sending_here() || !PyTuple_Check(arguments[1]) ||
        PyTuple_GET_SIZE(arguments[1]) < 1) {
        Py_RETURN_NONE;
    }
    try {
        bound.raise_if_refused();
        bound.note(PyTuple_GET_ITEM(arguments[1], 0));
        Py_RETURN_NONE;
    } catch (...) {
        py::error_from_current_exception();
        return nullptr;
    }
}

namespace {

PyMethodDef audit_hook = {"store_watch",
                          reinterpret_cast<PyCFunction>(
                              reinterpret_cast<void (*)()>(ConnectionBound::on_audit)),
                          METH_FASTCALL, nullptr};

}  // namespace

bool ConnectionBound::hook(const py::Scope& module, py::Borrowed owner) {
    if (hooked_) {
        return true;
    }
    py::Ref self = py::Ref::steal(PyCapsule_New(this, hook_owner, release_owner));
    py::require(PyCapsule_SetContext(self.get(), Py_NewRef(owner.get())));
    py::Ref hook = py::Ref::steal(PyCFunction_NewEx(&audit_hook, self.get(), nullptr));
    probing_ = true;
    py::try_except(
        PyExc_Exception,
        [&] {
            py::call(py::Ref::steal(PyObject_GetAttrString(module[n.sys].get(), "addaudithook")),
                     hook);
            py::require(PySys_Audit(probe_event, nullptr));
        },
        [](py::Borrowed) {});  // a host's hook refused it
    probing_ = false;
    return hooked_;
}

}  // namespace updater::storage
