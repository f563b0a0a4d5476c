// The parameter table and the default table, rebuilt on every call so that
// no two tables share a dict.
#include "params/params.hpp"

#include "calls.hpp"
#include "state.hpp"

namespace sftp::params {

namespace {

// {"type": required} or {"type": required, "default": default_value}
Ref make_rule(PyObject* required, PyObject* default_value) {
    const ModuleState& s = state();
    Ref rule = py::owned(PyDict_New());
    py::set_item(rule.get(), s.key_type, required);
    if (default_value != nullptr) {
        py::set_item(rule.get(), s.key_default, default_value);
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
    line = 78;
    Ref port = make_rule(Py_False, s.default_port);
    line = 79;
    Ref user = make_rule(Py_True, nullptr);
    line = 80;
    Ref password = make_rule(Py_True, nullptr);
    line = 77;
    Ref table = py::owned(PyDict_New());
    py::set_item(table.get(), s.attr_host, host.get());
    py::set_item(table.get(), s.attr_port, port.get());
    py::set_item(table.get(), s.attr_user, user.get());
    py::set_item(table.get(), s.attr_password, password.get());
    line = 76;
    py::set_attr(args[0], s.self_params_dict, table.get());
    Py_RETURN_NONE;
}

PyObject* set_default_params(PyObject* const* args, int& line) {
    const ModuleState& s = state();
    line = 85;
    Ref table = py::owned(PyDict_New());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s.default_keys); ++i) {
        py::set_item(table.get(), PyTuple_GET_ITEM(s.default_keys, i), Py_None);
    }
    line = 84;
    py::set_attr(args[0], s.self_default_params, table.get());
    Py_RETURN_NONE;
}

}  // namespace sftp::params
