// The edge between CPython and the module's C++ code.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "python_error.hpp"

namespace sftp {

namespace detail {

// A failure must carry an exception: the caller needs an answer, and a
// traceback entry an exception to go on.  One that says nothing is the
// module's own fault.
inline void ensure_error_set(const char* name) {
    if (PyErr_Occurred() == nullptr) {
        PyErr_Format(PyExc_SystemError, "%s failed without setting an exception", name);
    }
}

}  // namespace detail

// Runs `body` for the interpreter and gives its result.  A PythonError
// becomes `failed` with its exception still set; a C++ exception never
// unwinds into the interpreter's C frames.  A body that fails, by throwing
// or by returning `failed`, with no exception set gets a SystemError naming
// `name`.  Every function the interpreter calls that runs module code goes
// through here.  Nothing else is caught: the unwinding that ends a thread
// (a daemon thread stopped at the interpreter's exit) must go on to its
// end.
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

// The same for a callback that has no way to report a failure (a
// deallocator, a capsule's destructor): its exception is reported as
// unraisable, as the interpreter reports one of a finaliser.
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

}  // namespace sftp
