// Module-level names, looked up at each use: the module namespace first,
// then the builtins, as a Python function's global names are.
#pragma once

#include "ref.hpp"

namespace sftp {

Ref lookup_global(PyObject* name);

}  // namespace sftp
