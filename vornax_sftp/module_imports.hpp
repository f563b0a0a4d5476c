// The names the module binds at import: paramiko and the three companion
// classes, each bound in the namespace as soon as it is obtained.
#pragma once

#include <Python.h>

namespace sftp {

// Throws PythonError, the exception carrying the "init sftp_main" entry.
void import_dependencies(PyObject* module);

}  // namespace sftp
