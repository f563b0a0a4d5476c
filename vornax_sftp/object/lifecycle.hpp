// Construction and destruction of a VornaxSFTPMain object.
#pragma once

#include <Python.h>

namespace sftp::object {

// __init__(self, config)
PyObject* init(PyObject* const* args, int& line);
// __del__(self)
PyObject* del(PyObject* const* args, int& line);

}  // namespace sftp::object
