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
    ~SavedError() noexcept(false) {
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
    // it again would make a cycle.  A chain may already be cyclic (code can
    // set __context__ freely): the walk stops where it comes round again,
    // found by a second pointer going twice as fast.
    static bool in_context_chain(PyObject* start, PyObject* target) {
        Ref slow = Ref::borrow(start);
        Ref fast = Ref::borrow(start);
        while (fast) {
            if (fast.get() == target) {
                return true;
            }
            fast = Ref::steal(PyException_GetContext(fast.get()));
            if (!fast) {
                return false;
            }
            if (fast.get() == target) {
                return true;
            }
            fast = Ref::steal(PyException_GetContext(fast.get()));
            slow = Ref::steal(PyException_GetContext(slow.get()));
            if (fast && fast.get() == slow.get()) {
                return fast.get() == target;
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

// For cleanup whose every step must run: drops an ordinary error of the
// step just taken and keeps the first interrupt aside (a later one adds
// nothing: the program is stopping already), to be raised again once the
// last step is done.  Declared after a SavedError, it is raised with the
// saved exception as its context.
class HeldInterrupt {
public:
    HeldInterrupt() = default;
    HeldInterrupt(const HeldInterrupt&) = delete;
    HeldInterrupt& operator=(const HeldInterrupt&) = delete;

    void after_step() {
        Ref raised = Ref::steal(PyErr_GetRaisedException());
        if (raised && !interrupt_ && !PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception)) {
            interrupt_ = std::move(raised);
        }
    }
    void raise_again() {
        if (interrupt_) {
            PyErr_SetRaisedException(interrupt_.release());
        }
    }

private:
    Ref interrupt_;
};

}  // namespace sftp
