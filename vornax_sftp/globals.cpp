#include "globals.hpp"

#include "calls.hpp"
#include "module_record.hpp"
#include "state.hpp"

namespace sftp::py {

Ref lookup_global(PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject* module = recorded_module()) {
        if (checked(PyDict_GetItemRef(PyModule_GetDict(module), name, &value))) {
            return Ref::steal(value);
        }
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        if (checked(PyDict_GetItemRef(builtins, name, &value))) {
            return Ref::steal(value);
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_python_error();
}

Ref paramiko_attr(PyObject* name) {
    Ref paramiko = lookup_global(state().glob_paramiko);
    return attr(paramiko.get(), name);
}

}  // namespace sftp::py
