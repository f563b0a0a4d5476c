// Calls into the companion classes VornaxLog, VornaxVar and VornaxSSH, and reads of the
// configuration object they make.
#include "module.hpp"

namespace sftp::companions {

Ref new_logger() {
    Ref cls = lookup_global(state().glob_VornaxLog);
    return py::call_keywords(cls.get(), state().kwnames_file, Py_False);
}

Ref new_config(PyObject* config) {
    const ModuleState& s = state();
    Ref cls = lookup_global(s.glob_VornaxVar);
    if (config == Py_None) {
        raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    }
    Ref entries;
    if (PyDict_CheckExact(config)) {
        entries = py::owned(PyDict_Copy(config));
    } else {
        entries = py::call(reinterpret_cast<PyObject*>(&PyDict_Type), config);
    }
    return py::owned(PyObject_Call(cls.get(), s.empty_tuple, entries.get()));
}

Ref config_through_ssh(PyObject* self) {
    const ModuleState& s = state();
    Ref cls = lookup_global(s.glob_VornaxSSH);
    Ref entries = py::call_attr_method(self, s.self_config, s.attr_todict);
    Ref ssh = py::call(cls.get(), entries.get());
    return py::call_method(ssh.get(), s.attr_connect);
}

Ref config_attr(PyObject* self, PyObject* name, bool optional) {
    Ref config = py::attr(self, state().self_config);
    if (optional) {
        return py::optional_attr(config.get(), name);
    }
    return py::attr(config.get(), name);
}

}  // namespace sftp::companions
