// The process-wide record of the module object, set when its execution
// starts and kept after a successful one, until its interpreter is
// finalised.
#pragma once

#include <Python.h>

namespace sftp {

// The recorded module (borrowed), or nullptr when there is none.
PyObject* recorded_module() noexcept;

}  // namespace sftp
