// The error idiom: a C-API call that fails leaves its exception set and the caller throws
// PythonError; at_boundary catches it where the interpreter called in.  Ref owns references;
// SavedError keeps the exception being raised while cleanup runs.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <exception>
#include <new>
#include <utility>
#include <vector>

namespace sftp {

// Deliberately no std::exception: a handler for standard exceptions must never take a Python
// error for a C++ fault.  It carries nothing: the exception stays where the interpreter keeps it.
struct PythonError {};

// The exception must already be set.
[[noreturn]] inline void throw_python_error() { throw PythonError(); }

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError();
}

// As PyErr_Format.
[[noreturn]] inline void raise_format(PyObject* type, const char* format, ...) {
    va_list values;
    va_start(values, format);
    PyErr_FormatV(type, format, values);
    va_end(values);
    throw PythonError();
}

// The OSError of errno `code` for `filename`.
[[noreturn]] inline void raise_errno(int code, PyObject* filename) {
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw PythonError();
}

[[noreturn]] inline void raise_no_memory() {
    PyErr_NoMemory();
    throw PythonError();
}

// Dropping a reference can run Python code (a finaliser), and Python code that waits for the GIL
// during the interpreter's finalisation ends its daemon thread by an unwinding thread exit
// (glibc).  That unwinding must pass through every frame, so nothing that drops a reference is
// noexcept (a noexcept frame would call std::terminate).  Handles destroyed by that unwinding
// find no thread state, and leaking is then the only safe answer: python_reachable() is false.
inline bool python_reachable() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

// One strong reference (or none), move-only; borrowed pointers stay raw PyObject*.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference, which may be nullptr (an error result).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept(false) {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() noexcept(false) {
        if (p_ != nullptr && python_reachable()) {
            Py_DECREF(p_);
        }
    }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

namespace detail {

// A failure must carry an exception (a traceback entry needs one): one that says nothing is ours.
inline void ensure_error_set(const char* name) {
    if (PyErr_Occurred() == nullptr) {
        PyErr_Format(PyExc_SystemError, "%s failed without setting an exception", name);
    }
}

}  // namespace detail

// Runs `body` where the interpreter calls in: a PythonError becomes `failed`, its exception set, so
// no C++ exception unwinds into the interpreter.  Nothing else is caught: the unwinding that ends a
// daemon thread at the interpreter's exit must go on to its end.
template <typename Result, typename Body>
Result at_boundary(const char* name, Result failed, Body&& body) {
    try {
        Result result = body();
        if (result == failed) {
            detail::ensure_error_set(name);
        }
        return result;
    } catch (const PythonError&) {
        // the exception is set already
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "sftp_main: C++ exception: %s", e.what());
    }
    detail::ensure_error_set(name);
    return failed;
}

// The same for a callback that has no way to report a failure (a deallocator, a capsule's
// destructor): its exception is reported as unraisable, as one of a finaliser is.
template <typename Body>
void at_boundary(const char* name, Body&& body) {
    const bool done = at_boundary(name, false, [&] {
        body();
        return true;
    });
    if (!done) {
        PyErr_WriteUnraisable(nullptr);
    }
}

// The first exception in the causes and contexts of `exc` (itself included) that `match` takes, or
// empty.  The walk stops at `end` (what lies behind it is not looked at) and at an exception met
// before: code can link exceptions in a cycle.
template <typename Match>
Ref find_in_chain(PyObject* exc, PyObject* end, Match&& match) {
    std::vector<Ref> pending;  // each also linked from `exc`: dropping one runs no finaliser
    std::vector<PyObject*> seen;  // kept alive by `exc`, which links them all
    pending.push_back(Ref::borrow(exc));
    while (!pending.empty()) {
        Ref current = std::move(pending.back());
        pending.pop_back();
        if (!current || current.get() == end || std::find(seen.begin(), seen.end(), current.get()) != seen.end()) {
            continue;
        }
        if (match(current.get())) {
            return current;
        }
        seen.push_back(current.get());
        pending.push_back(Ref::steal(PyException_GetCause(current.get())));
        pending.push_back(Ref::steal(PyException_GetContext(current.get())));
    }
    return Ref();
}

// Takes the pending exception aside while cleanup calls into Python, and sets it again at the end:
// an ordinary error of the cleanup is dropped, an interrupt (no Exception: the user asked to stop)
// wins, with the saved exception as its context.
class SavedError {
public:
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() noexcept(false) {
        if (!python_reachable()) {
            return;  // a thread being ended: leak
        }
        PyObject* raised = PyErr_GetRaisedException();
        if (raised == nullptr || PyErr_GivenExceptionMatches(raised, PyExc_Exception)) {
            Py_XDECREF(raised);
            PyErr_SetRaisedException(exc_);
            return;
        }
        // Chained already, it would close a cycle.
        if (exc_ != nullptr && !find_in_chain(exc_, nullptr, [&](PyObject* e) { return e == raised; })) {
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
    PyObject* exc_;
};

// Between cleanup steps under one SavedError: drops an ordinary error of the step just taken; false
// when an interrupt is pending, which the remaining steps then leave to win.
inline bool cleanup_may_go_on() {
    if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
    }
    return PyErr_Occurred() == nullptr;
}

// For cleanup whose every step must run: drops an ordinary error of the step just taken and keeps
// the first interrupt aside, to be raised again once the last step is done.  Declared after a
// SavedError, it is raised with the saved exception as its context.
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
