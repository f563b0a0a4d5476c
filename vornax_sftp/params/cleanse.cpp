// _cleanse_params: builds the configuration object, checks it against the
// parameter table, reports every problem in one exception, and completes
// the caller's mapping with the default table.
#include "calls.hpp"
#include "companions/companions.hpp"
#include "params/pairs.hpp"
#include "params/params.hpp"
#include "state.hpp"

namespace sftp::params {

namespace {

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

// Adds the default-table keys the caller's mapping lacks (lines 71 to 73).
void complete_mapping(PyObject* self, PyObject* config, int& line) {
    const ModuleState& s = state();
    line = 71;  // for key, value in self._default_params.items():
    Ref table = py::attr(self, s.self_default_params);
    PairWalker walker;
    walker.start(table.get());
    for (;;) {
        line = 71;
        Ref key;
        Ref value;
        if (!walker.next(key, value)) {
            return;
        }
        line = 72;  // if key not in config.keys():
        Ref keys = py::call_method(config, s.attr_keys);
        if (!py::contains(keys.get(), key.get())) {
            line = 73;  // config.update({key: value})
            Ref update = py::attr(config, s.attr_update);
            Ref entry = py::owned(PyDict_New());
            py::set_item(entry.get(), key.get(), value.get());
            py::call(update.get(), entry.get());
        }
    }
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
    PairWalker walker;
    walker.start(table.get());
    for (;;) {
        line = 52;
        Ref param;
        Ref option;
        if (!walker.next(param, option)) {
            break;
        }
        check_parameter(self, param.get(), option.get(), deletion.get(), error.get(), line);
    }

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
        PyErr_SetObject(PyExc_Exception, raise_text.get());
        throw_python_error();
    }

    line = 70;  // self._set_default_params()
    py::call_method(self, s.self_set_default_params);
    complete_mapping(self, config, line);
    Py_RETURN_NONE;
}

}  // namespace sftp::params
