#include "capi/traceback.hpp"

#include <frameobject.h>

namespace updater::py {

void add_traceback(const char* file, const char* function, int line, Borrowed globals) noexcept {
    // The new frame must not see the pending exception, so it is taken out first and put back
    // before PyTraceBack_Here, which adds to the traceback of the exception being raised.
    PyObject* raised = take_raised();

    PyCodeObject* code = PyCode_NewEmpty(file, function, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
    }
    if (frame == nullptr) {
        // Keep the original exception; the entry is only a convenience.
        PyErr_Clear();
    }
    put_back(raised);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

}  // namespace updater::py
