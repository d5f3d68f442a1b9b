#include "capi/traceback.hpp"

#include <frameobject.h>

namespace updater::py {

void add_traceback(const char* function, int line, Borrowed globals) noexcept {
    // The new frame must not see the pending exception, so it is taken out first and put back
    // before PyTraceBack_Here, which adds to the traceback of the exception being raised.
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
#endif

    PyCodeObject* code = PyCode_NewEmpty("<updater_core>", function, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
    }
    if (frame == nullptr) {
        // Keep the original exception; the entry is only a convenience.
        PyErr_Clear();
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(raised);
#else
    PyErr_Restore(type, value, traceback);
#endif
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

}  // namespace updater::py
