// Traceback entries for exceptions that leave the module's code.
#pragma once

#include <Python.h>

#include "python_error.hpp"

namespace sftp {

// File name of every entry: the module's own binary.
inline constexpr const char* kTracebackFile = SFTP_MAIN_TRACEBACK_FILE;

// Adds one entry (function `funcname`, line `line`) on top of the traceback
// of the exception currently set.  The exception itself is not changed.
//
// The line numbers are not lines of any C++ source: they are fixed numbers
// of the module's interface, one for each method and each statement of a
// method body, as if the class were written in Python in a file of the
// module's name.  Callers may match on them, so they never follow the code.
void add_traceback_entry(const char* funcname, int line);

// `step()`; when it fails, the entry (funcname, line) is added before the
// exception goes on.
template <typename Step>
auto traced(const char* funcname, int line, Step&& step) {
    try {
        return step();
    } catch (const PythonError&) {
        add_traceback_entry(funcname, line);
        throw;
    }
}

// Drops the code objects kept for the entries, when the interpreter that
// made them is finalised.
void release_traceback_code();

}  // namespace sftp
