#include "storage/watch_thread.hpp"

#include "platform.hpp"

#include <algorithm>
#include <new>

namespace updater::storage {

WatchThread::WatchThread(Look look, void* watched, Clock::duration first)
    : look_(look),
      watched_(watched),
      first_(first),
      interpreter_(PyInterpreterState_Get()),
      process_(platform::process_id()) {
    stop_ = PyThread_allocate_lock();
    stopped_ = PyThread_allocate_lock();
    if (stop_ == nullptr || stopped_ == nullptr) {
        free_locks();
        throw std::bad_alloc();
    }
    PyThread_acquire_lock(stop_, WAIT_LOCK);
    PyThread_acquire_lock(stopped_, WAIT_LOCK);
    if (PyThread_start_new_thread(run, this) == PYTHREAD_INVALID_THREAD_ID) {
        free_locks();
        py::raise(PyExc_RuntimeError, "can't start new thread");
    }
}

void WatchThread::run(void* self) {
    WatchThread& thread = *static_cast<WatchThread*>(self);
    // Said also when the interpreter ends this thread as it waits for the lock at exit.
    struct Stopped {
        PyThread_type_lock lock;
        ~Stopped() { PyThread_release_lock(lock); }
    } stopped{thread.stopped_};
    PyThreadState* state = PyThreadState_New(thread.interpreter_);
    Clock::duration next = thread.first_;
    for (;;) {
        const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(
            std::max<Clock::duration>(next, std::chrono::milliseconds(100)));
        if (PyThread_acquire_lock_timed(thread.stop_, wait.count(), 0) == PY_LOCK_ACQUIRED) {
            break;
        }
        if (state != nullptr) {
            PyEval_RestoreThread(state);
            next = thread.look_(thread.watched_);
            PyEval_SaveThread();
        }
    }
    if (state != nullptr) {
        PyEval_RestoreThread(state);
        PyThreadState_Clear(state);
        PyThreadState_DeleteCurrent();
    }
}

void WatchThread::stop() {
    if (stop_ == nullptr) {
        return;
    }
    if (platform::process_id() != process_) {
        // A child forked during the step: the thread stayed in the parent.
        free_locks();
        return;
    }
    PyThread_release_lock(stop_);
    // A thread that the interpreter is ending at exit holds no lock of the interpreter's.
    if (py::attached()) {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(stopped_, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    } else {
        PyThread_acquire_lock(stopped_, WAIT_LOCK);
    }
    free_locks();
}

void WatchThread::free_locks() noexcept {
    for (PyThread_type_lock* lock : {&stop_, &stopped_}) {
        if (*lock != nullptr) {
            PyThread_free_lock(*lock);
            *lock = nullptr;
        }
    }
}

}  // namespace updater::storage
