// The edge between CPython and the module's C++ code.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace sftp {

// Runs `body` and gives its result; a C++ exception never unwinds into the
// interpreter's C frames: it becomes MemoryError (std::bad_alloc) or
// SystemError (any other standard exception), and `failed` is returned.
// Every function the interpreter calls that runs module code goes through
// here.  Nothing else is caught: the unwinding that ends a thread (a daemon
// thread stopped at the interpreter's exit) must go on to its end.
template <typename Result, typename Body>
Result at_boundary(Result failed, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "sftp_main: C++ exception: %s", e.what());
    }
    return failed;
}

}  // namespace sftp
