// The one C++ exception of the module: "a Python exception is set".
//
// A C-API call that fails leaves its exception in the thread's error
// indicator; the code that called it throws PythonError, which carries
// nothing, and the exception stays where the interpreter keeps it.  The
// entry point the interpreter called (boundary.hpp) catches it and answers
// NULL or -1 with that exception still set.
#pragma once

#include <Python.h>

#include <cerrno>
#include <cstdarg>

namespace sftp {

// Deliberately no std::exception: a handler for standard exceptions must
// never take a Python error for a C++ fault.
struct PythonError {};

// Throws PythonError; the exception must already be set.
[[noreturn]] inline void throw_python_error() { throw PythonError(); }

// Sets `type(message)` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError();
}

// Sets `type(format % values)`, as PyErr_Format, and throws.
[[noreturn]] inline void raise_format(PyObject* type, const char* format, ...) {
    va_list values;
    va_start(values, format);
    PyErr_FormatV(type, format, values);
    va_end(values);
    throw PythonError();
}

// Sets the OSError of errno `code` for `filename` and throws.
[[noreturn]] inline void raise_errno(int code, PyObject* filename) {
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw PythonError();
}

}  // namespace sftp
