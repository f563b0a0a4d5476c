// The parameter tables, rebuilt on every call so that no two tables share a dict, and
// _cleanse_params: the configuration object checked against the parameter table, every problem
// reported in one exception, and the caller's mapping completed with the default table.
#include "module.hpp"

namespace sftp::params {

namespace {

// next(iterator), or an empty Ref at its end.
Ref next_item(PyObject* iterator) {
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) {
        throw_python_error();
    }
    return item;
}

// a, b = item
void unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        Py_ssize_t size = Py_SIZE(item);
        if (size < 2) {
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
        }
        if (size > 2) {
            raise_format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
        }
        first = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
        return;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        throw_python_error();
    }
    Ref* targets[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *targets[i] = next_item(iterator.get());
        if (!*targets[i]) {
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    if (next_item(iterator.get())) {
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
}

// for key, value in table.items(): body(key, value), each step at the loop's line (`line` as
// called), as Python walks it: an exact dict directly, anything else through its items().
template <typename Body>
void for_each_item(PyObject* table, int& line, Body&& body) {
    const int loop_line = line;
    if (PyDict_CheckExact(table)) {
        Ref dict = Ref::borrow(table);
        const Py_ssize_t size = PyDict_GET_SIZE(table);
        Py_ssize_t position = 0;
        for (;;) {
            line = loop_line;
            // The loop body runs Python code that may change the table.
            if (PyDict_GET_SIZE(table) != size) {
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            }
            PyObject* k;
            PyObject* v;
            if (!PyDict_Next(table, &position, &k, &v)) {
                return;
            }
            Ref key = Ref::borrow(k);
            Ref value = Ref::borrow(v);
            body(key.get(), value.get());
        }
    }
    Ref items = py::call_method(table, state().attr_items);
    Ref iterator = py::owned(PyObject_GetIter(items.get()));
    for (;;) {
        line = loop_line;
        Ref item = next_item(iterator.get());
        if (!item) {
            return;
        }
        Ref key;
        Ref value;
        unpack_pair(item.get(), key, value);
        body(key.get(), value.get());
    }
}

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

// The text of a value inside a message, as an f-string field shows it.
Ref text_of(PyObject* value) { return py::owned(PyObject_Format(value, state().text_empty)); }

// option.get(key)
Ref rule_get(PyObject* option, PyObject* key) { return py::call_method(option, state().attr_get, key); }

// self._config.get(param)
Ref config_get(PyObject* self, PyObject* param) {
    Ref getter = companions::config_attr(self, state().attr_get);
    return py::call(getter.get(), param);
}

// Checks one parameter against its rule, `line` at each statement.
void check_parameter(PyObject* self, PyObject* param, PyObject* option, PyObject* deletion, PyObject* error,
                     int& line) {
    const ModuleState& s = state();
    line = 53;  // if self._config.get(param):
    if (py::truth(config_get(self, param).get())) {
        line = 54;  // if option.get('optional') and self._config.get(param) not in option.get('optional'):
        if (!py::truth(rule_get(option, s.key_optional).get())) {
            return;
        }
        Ref value = config_get(self, param);
        Ref allowed = rule_get(option, s.key_optional);
        if (py::contains(allowed.get(), value.get())) {
            return;
        }
        line = 55;  // error.append([param, option.get('optional')])
        Ref shown = rule_get(option, s.key_optional);
        Ref pair = py::owned(PyList_New(2));
        PyList_SET_ITEM(pair.get(), 0, Py_NewRef(param));
        PyList_SET_ITEM(pair.get(), 1, shown.release());
        py::append(error, pair.get());
        return;
    }
    line = 57;  // if option.get('type'):
    if (py::truth(rule_get(option, s.key_type).get())) {
        line = 58;  // deletion.append(param)
        py::append(deletion, param);
        return;
    }
    line = 60;  // elif option.get('default'):
    if (!py::truth(rule_get(option, s.key_default).get())) {
        return;
    }
    line = 61;  // self._config.set(param, option.get('default'))
    Ref setter = companions::config_attr(self, s.attr_set);
    Ref default_value = rule_get(option, s.key_default);
    py::call(setter.get(), param, default_value.get());
}

// raise_list.append(prefix + text(value) [+ middle + text(tail)])
void append_message(PyObject* raise_list, PyObject* prefix, PyObject* value, PyObject* middle, PyObject* tail) {
    Ref value_text = text_of(value);
    Ref message;
    if (middle == nullptr) {
        message = py::owned(PyUnicode_Concat(prefix, value_text.get()));
    } else {
        Ref tail_text = text_of(tail);
        message = py::owned(PyUnicode_FromFormat("%U%U%U%U", prefix, value_text.get(), middle, tail_text.get()));
    }
    py::append(raise_list, message.get());
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

PyObject* cleanse_params(PyObject* const* args, int& line) {
    PyObject* self = args[0];
    PyObject* config = args[1];
    const ModuleState& s = state();

    line = 47;  // self._config = VornaxVar(**config)
    {
        Ref configuration = companions::new_config(config);
        py::set_attr(self, s.self_config, configuration.get());
    }

    line = 48;  // self._set_params_dict()
    py::call_method(self, s.self_set_params_dict);

    line = 49;
    Ref deletion = py::owned(PyList_New(0));
    line = 50;
    Ref error = py::owned(PyList_New(0));
    line = 51;
    Ref raise_list = py::owned(PyList_New(0));

    line = 52;  // for param, option in self._params_dict.items():
    Ref table = py::attr(self, s.self_params_dict);
    for_each_item(table.get(), line, [&](PyObject* param, PyObject* option) {
        check_parameter(self, param, option, deletion.get(), error.get(), line);
    });

    line = 63;  // missing required parameters
    if (PyList_GET_SIZE(deletion.get()) > 0) {
        append_message(raise_list.get(), s.text_missing_prefix, deletion.get(), nullptr, nullptr);
    }

    // values outside their allowed values
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(error.get()); ++i) {
        line = 65;  // for name, optional in error:
        Ref name;
        Ref optional;
        unpack_pair(PyList_GET_ITEM(error.get(), i), name, optional);
        line = 66;
        append_message(raise_list.get(), s.text_param_prefix, name.get(), s.text_param_middle, optional.get());
    }

    if (PyList_GET_SIZE(raise_list.get()) > 0) {
        line = 68;  // raise_text = '；'.join(raise_list)
        Ref raise_text = py::owned(PyUnicode_Join(s.text_separator, raise_list.get()));
        line = 69;  // raise Exception(raise_text)
        raise_format(PyExc_Exception, "%U", raise_text.get());
    }

    line = 70;  // self._set_default_params()
    py::call_method(self, s.self_set_default_params);
    line = 71;  // for key, value in self._default_params.items():
    Ref defaults = py::attr(self, s.self_default_params);
    for_each_item(defaults.get(), line, [&](PyObject* key, PyObject* value) {
        line = 72;  // if key not in config.keys():
        Ref keys = py::call_method(config, s.attr_keys);
        if (!py::contains(keys.get(), key)) {
            line = 73;  // config.update({key: value})
            Ref update = py::attr(config, s.attr_update);
            Ref entry = py::owned(PyDict_New());
            py::set_item(entry.get(), key, value);
            py::call(update.get(), entry.get());
        }
    });
    Py_RETURN_NONE;
}

}  // namespace sftp::params
