// Keeping the exception being raised while cleanup code runs.
#pragma once

#include "ref.hpp"

namespace sftp {

// Takes the pending exception (if any) aside on construction and sets it
// again on destruction, so that the cleanup in between may call into
// Python freely.  An ordinary error the cleanup raises is dropped in favour
// of the exception saved; an interrupt (KeyboardInterrupt, SystemExit: no
// Exception) wins, with the saved exception as its context, because the
// user asked the program to stop.
class SavedError {
public:
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() {
        if (!python_reachable()) {
            return;  // a thread being ended: leak, see ref.hpp
        }
        PyObject* raised = PyErr_GetRaisedException();
        if (raised == nullptr || PyErr_GivenExceptionMatches(raised, PyExc_Exception)) {
            Py_XDECREF(raised);
            PyErr_SetRaisedException(exc_);
            return;
        }
        if (exc_ != nullptr && !in_context_chain(exc_, raised)) {
            PyException_SetContext(raised, exc_);  // steals exc_
        } else {
            Py_XDECREF(exc_);
        }
        PyErr_SetRaisedException(raised);
    }
    // The exception taken aside (borrowed), or null when there was none.
    PyObject* exception() const noexcept { return exc_; }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
    // True when `target` is `start` or in its chain of contexts: chaining
    // it again would make a cycle.
    static bool in_context_chain(PyObject* start, PyObject* target) {
        for (Ref link = Ref::borrow(start); link; link = Ref::steal(PyException_GetContext(link.get()))) {
            if (link.get() == target) {
                return true;
            }
        }
        return false;
    }

    PyObject* exc_;
};

// For cleanup that takes several steps under one SavedError: drops an
// ordinary error of the step just taken and answers true (go on), or
// answers false when an interrupt is pending, which the remaining steps
// then leave to win.
inline bool cleanup_may_go_on() {
    if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
    }
    return PyErr_Occurred() == nullptr;
}

}  // namespace sftp
