// Traceback entries for exceptions that leave the module's code.
#pragma once

#include <Python.h>

namespace sftp {

// File name of every entry: the module's own binary.
inline constexpr const char* kTracebackFile = SFTP_MAIN_TRACEBACK_FILE;

// Adds one entry (function `funcname`, line `line`) on top of the traceback
// of the exception currently set.  The exception itself is not changed.
void add_traceback_entry(const char* funcname, int line);

}  // namespace sftp
