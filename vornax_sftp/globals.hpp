// Module-level names, looked up at each use: the module namespace first,
// then the builtins, as a Python function's global names are.
#pragma once

#include "ref.hpp"

namespace sftp::py {

// The global `name`, or NameError.  Throws PythonError.
Ref lookup_global(PyObject* name);

// paramiko.<name>, with paramiko looked up afresh.  Throws PythonError.
Ref paramiko_attr(PyObject* name);

}  // namespace sftp::py
