// The edge between CPython and the module's C++ code.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace sftp {

// Runs `body` and gives its result; a C++ exception never unwinds into the
// interpreter's C frames: it becomes MemoryError (std::bad_alloc) or
// SystemError (anything else), and `failed` is returned.  Every function
// the interpreter calls that runs module code goes through here.
template <typename Result, typename Body>
Result at_boundary(Result failed, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "sftp_main: C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "sftp_main: unknown C++ exception");
    }
    return failed;
}

}  // namespace sftp
