// The parameter table and the default table, rebuilt on every call so that
// no two tables share a dict.
#include "params/params.hpp"

#include "ref.hpp"
#include "state.hpp"

namespace sftp::params {

namespace {

// {"type": required} or {"type": required, "default": default_value}
Ref make_rule(PyObject* required, PyObject* default_value) {
    const ModuleState& s = state();
    Ref rule = Ref::steal(PyDict_New());
    if (!rule || PyDict_SetItem(rule.get(), s.key_type, required) < 0) {
        return Ref();
    }
    if (default_value != nullptr && PyDict_SetItem(rule.get(), s.key_default, default_value) < 0) {
        return Ref();
    }
    return rule;
}

}  // namespace

PyObject* set_params_dict(PyObject* const* args, int& line) {
    const ModuleState& s = state();
    // The rules are built first, one per line, then the table, then the
    // assignment: the order in which the table's literal evaluates.
    line = 77;
    Ref host = make_rule(Py_True, nullptr);
    if (!host) {
        return nullptr;
    }
    line = 78;
    Ref port = make_rule(Py_False, s.default_port);
    if (!port) {
        return nullptr;
    }
    line = 79;
    Ref user = make_rule(Py_True, nullptr);
    if (!user) {
        return nullptr;
    }
    line = 80;
    Ref password = make_rule(Py_True, nullptr);
    if (!password) {
        return nullptr;
    }
    line = 77;
    Ref table = Ref::steal(PyDict_New());
    if (!table || PyDict_SetItem(table.get(), s.attr_host, host.get()) < 0 ||
        PyDict_SetItem(table.get(), s.attr_port, port.get()) < 0 ||
        PyDict_SetItem(table.get(), s.attr_user, user.get()) < 0 ||
        PyDict_SetItem(table.get(), s.attr_password, password.get()) < 0) {
        return nullptr;
    }
    line = 76;
    if (PyObject_SetAttr(args[0], s.self_params_dict, table.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* set_default_params(PyObject* const* args, int& line) {
    const ModuleState& s = state();
    line = 85;
    Ref table = Ref::steal(PyDict_New());
    if (!table) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s.default_keys); ++i) {
        if (PyDict_SetItem(table.get(), PyTuple_GET_ITEM(s.default_keys, i), Py_None) < 0) {
            return nullptr;
        }
    }
    line = 84;
    if (PyObject_SetAttr(args[0], s.self_default_params, table.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace sftp::params
