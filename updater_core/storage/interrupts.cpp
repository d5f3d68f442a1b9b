#include "storage/interrupts.hpp"

#include "capi/ops.hpp"

namespace updater::storage {

namespace {

py::Ref signal_attribute(py::Borrowed module, const char* name) {
    return py::Ref::steal(PyObject_GetAttrString(module.get(), name));
}

// The handler while a step is watched: `self` is (the host's handler, the step's on_raised).
// The signal goes to the host's handler; when it raises, the step hears of it first.
PyObject* on_interrupt(PyObject* self, PyObject* const* arguments, Py_ssize_t count) {
    PyObject* host = PyTuple_GET_ITEM(self, 0);
    PyObject* answer = PyObject_Vectorcall(host, arguments, static_cast<size_t>(count), nullptr);
    if (answer != nullptr) {
        return answer;
    }
    try {
        py::Ref raised = py::Ref::steal_or_null(py::take_raised());
        {
            py::Handling handling(raised);
            py::call(PyTuple_GET_ITEM(self, 1));
        }
        py::put_back(raised.release());
    } catch (...) {
        py::error_from_current_exception();
    }
    return nullptr;
}

PyMethodDef interrupt_handler = {"store_watch_interrupt",
                                 reinterpret_cast<PyCFunction>(
                                     reinterpret_cast<void (*)()>(on_interrupt)),
                                 METH_FASTCALL, nullptr};

}  // namespace

SigintHandling::SigintHandling() {
    py::Ref module = py::Ref::steal(PyImport_ImportModule("_signal"));
    getsignal = signal_attribute(module, "getsignal");
    signal = signal_attribute(module, "signal");
    number = signal_attribute(module, "SIGINT");
}

InterruptWatch::InterruptWatch(const SigintHandling& handling, py::Borrowed on_raised)
    : handling_(handling) {
    replaced_ = py::call(handling.getsignal, handling.number);
    if (PyCallable_Check(replaced_.get()) == 0) {
        return;
    }
    py::Ref self = py::Ref::steal(PyTuple_Pack(2, replaced_.get(), on_raised.get()));
    py::Ref handler = py::Ref::steal(PyCFunction_NewEx(&interrupt_handler, self.get(), nullptr));
    py::try_except(
        PyExc_ValueError,
        [&] {
            py::call(handling.signal, handling.number, handler);
            handler_ = handler;
        },
        [](py::Borrowed) {});  // not the main thread of the main interpreter
}

void InterruptWatch::put_back() noexcept {
    if (!handler_) {
        return;
    }
    py::Ref handler = std::move(handler_);
    py::Ref raised = py::Ref::steal_or_null(py::take_raised());
    try {
        if (py::call(handling_.getsignal, handling_.number).get() == handler.get()) {
            py::call(handling_.signal, handling_.number, replaced_);
        }
    } catch (...) {
        py::error_from_current_exception();
        PyErr_WriteUnraisable(handler.get());
    }
    py::put_back(raised.release());
}

}  // namespace updater::storage
