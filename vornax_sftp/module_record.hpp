// The process-wide record of the module object, set when its execution
// starts and kept after a successful one.
#pragma once

#include <Python.h>

namespace sftp {

// The recorded module (borrowed), or nullptr before the first execution.
PyObject* recorded_module() noexcept;

}  // namespace sftp
