#include "companions/companions.hpp"

#include "calls.hpp"
#include "globals.hpp"
#include "state.hpp"

namespace sftp::companions {

Ref new_logger() {
    Ref cls = lookup_global(state().glob_VornaxLog);
    if (!cls) {
        return cls;
    }
    return call_keywords(cls.get(), state().kwnames_file, Py_False);
}

Ref new_config(PyObject* config) {
    const ModuleState& s = state();
    Ref cls = lookup_global(s.glob_VornaxVar);
    if (!cls) {
        return cls;
    }
    if (config == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        return Ref();
    }
    Ref entries = Ref::steal(PyDict_CheckExact(config)
                                 ? PyDict_Copy(config)
                                 : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), config));
    if (!entries) {
        return entries;
    }
    return Ref::steal(PyObject_Call(cls.get(), s.empty_tuple, entries.get()));
}

Ref config_through_ssh(PyObject* self) {
    const ModuleState& s = state();
    Ref cls = lookup_global(s.glob_VornaxSSH);
    if (!cls) {
        return cls;
    }
    Ref entries = call_attr_method(self, s.self_config, s.attr_todict);
    if (!entries) {
        return entries;
    }
    Ref ssh = call(cls.get(), entries.get());
    if (!ssh) {
        return ssh;
    }
    return call_method(ssh.get(), s.attr_connect);
}

}  // namespace sftp::companions
