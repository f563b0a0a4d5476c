#include "globals.hpp"

#include "module_record.hpp"

namespace sftp {

Ref lookup_global(PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject* module = recorded_module()) {
        int found = PyDict_GetItemRef(PyModule_GetDict(module), name, &value);
        if (found != 0) {
            return Ref::steal(value);  // found, or an error (value is nullptr)
        }
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        int found = PyDict_GetItemRef(builtins, name, &value);
        if (found != 0) {
            return Ref::steal(value);
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

}  // namespace sftp
