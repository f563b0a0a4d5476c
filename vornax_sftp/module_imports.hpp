// The names the module binds at import: paramiko and the three companion
// classes, each bound in the namespace as soon as it is obtained.
#pragma once

#include <Python.h>

namespace sftp {

// Returns 0, or -1 with an exception carrying the "init sftp_main" entry.
int import_dependencies(PyObject* module);

}  // namespace sftp
