// The parameter tables and the cleansing of a caller's mapping.
#pragma once

#include <Python.h>

namespace sftp::params {

// _set_params_dict(self)
PyObject* set_params_dict(PyObject* const* args, int& line);
// _set_default_params(self)
PyObject* set_default_params(PyObject* const* args, int& line);
// _cleanse_params(self, config)
PyObject* cleanse_params(PyObject* const* args, int& line);

}  // namespace sftp::params
