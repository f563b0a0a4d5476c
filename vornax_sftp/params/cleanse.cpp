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
Ref text_of(PyObject* value) { return Ref::steal(PyObject_Format(value, state().text_empty)); }

// Truth of a freshly computed value: 1, 0, or -1 when the value is missing
// (an error is set) or its truth test fails.
int truth(const Ref& value) { return value ? PyObject_IsTrue(value.get()) : -1; }

// option.get(key)
Ref rule_get(PyObject* option, PyObject* key) { return call_method(option, state().attr_get, key); }

// self._config.get(param)
Ref config_get(PyObject* self, PyObject* param) {
    return call_attr_method(self, state().self_config, state().attr_get, param);
}

// Checks one parameter against its rule.  Returns 0, or -1 with `line` at
// the failing statement.
int check_parameter(PyObject* self, PyObject* param, PyObject* option, PyObject* deletion,
                    PyObject* error, int& line) {
    const ModuleState& s = state();
    line = 53;  // if self._config.get(param):
    int present = truth(config_get(self, param));
    if (present < 0) {
        return -1;
    }
    if (present) {
        line = 54;  // if option.get('optional') and self._config.get(param) not in option.get('optional'):
        int restricted = truth(rule_get(option, s.key_optional));
        if (restricted <= 0) {
            return restricted;
        }
        Ref value = config_get(self, param);
        if (!value) {
            return -1;
        }
        Ref allowed = rule_get(option, s.key_optional);
        if (!allowed) {
            return -1;
        }
        int member = PySequence_Contains(allowed.get(), value.get());
        if (member != 0) {
            return member < 0 ? -1 : 0;
        }
        line = 55;  // error.append([param, option.get('optional')])
        Ref shown = rule_get(option, s.key_optional);
        if (!shown) {
            return -1;
        }
        Ref pair = Ref::steal(PyList_New(2));
        if (!pair) {
            return -1;
        }
        PyList_SET_ITEM(pair.get(), 0, Py_NewRef(param));
        PyList_SET_ITEM(pair.get(), 1, shown.release());
        return PyList_Append(error, pair.get());
    }
    line = 57;  // if option.get('type'):
    int required = truth(rule_get(option, s.key_type));
    if (required < 0) {
        return -1;
    }
    if (required) {
        line = 58;  // deletion.append(param)
        return PyList_Append(deletion, param);
    }
    line = 60;  // elif option.get('default'):
    int has_default = truth(rule_get(option, s.key_default));
    if (has_default <= 0) {
        return has_default;
    }
    line = 61;  // self._config.set(param, option.get('default'))
    Ref config = get_attr(self, s.self_config);
    Ref setter = config ? get_attr(config.get(), s.attr_set) : Ref();
    if (!setter) {
        return -1;
    }
    Ref default_value = rule_get(option, s.key_default);
    if (!default_value) {
        return -1;
    }
    return call(setter.get(), param, default_value.get()) ? 0 : -1;
}

// Adds the default-table keys the caller's mapping lacks (lines 71 to 73).
int complete_mapping(PyObject* self, PyObject* config, int& line) {
    const ModuleState& s = state();
    line = 71;  // for key, value in self._default_params.items():
    Ref table = get_attr(self, s.self_default_params);
    PairWalker walker;
    if (!table || walker.start(table.get()) < 0) {
        return -1;
    }
    for (;;) {
        line = 71;
        Ref key;
        Ref value;
        int more = walker.next(key, value);
        if (more <= 0) {
            return more;
        }
        line = 72;  // if key not in config.keys():
        Ref keys = call_method(config, s.attr_keys);
        if (!keys) {
            return -1;
        }
        int present = PySequence_Contains(keys.get(), key.get());
        if (present < 0) {
            return -1;
        }
        if (!present) {
            line = 73;  // config.update({key: value})
            Ref update = get_attr(config, s.attr_update);
            if (!update) {
                return -1;
            }
            Ref entry = Ref::steal(PyDict_New());
            if (!entry || PyDict_SetItem(entry.get(), key.get(), value.get()) < 0 ||
                !call(update.get(), entry.get())) {
                return -1;
            }
        }
    }
}

// raise_list.append(prefix + text(value) [+ middle + text(tail)])
int append_message(PyObject* raise_list, PyObject* prefix, PyObject* value, PyObject* middle,
                   PyObject* tail) {
    Ref value_text = text_of(value);
    if (!value_text) {
        return -1;
    }
    Ref message;
    if (middle == nullptr) {
        message = Ref::steal(PyUnicode_Concat(prefix, value_text.get()));
    } else {
        Ref tail_text = text_of(tail);
        if (!tail_text) {
            return -1;
        }
        message = Ref::steal(
            PyUnicode_FromFormat("%U%U%U%U", prefix, value_text.get(), middle, tail_text.get()));
    }
    return message ? PyList_Append(raise_list, message.get()) : -1;
}

}  // namespace

PyObject* cleanse_params(PyObject* const* args, int& line) {
    PyObject* self = args[0];
    PyObject* config = args[1];
    const ModuleState& s = state();

    line = 47;  // self._config = VornaxVar(**config)
    Ref configuration = companions::new_config(config);
    if (!configuration || PyObject_SetAttr(self, s.self_config, configuration.get()) < 0) {
        return nullptr;
    }
    configuration = Ref();

    line = 48;  // self._set_params_dict()
    if (!call_method(self, s.self_set_params_dict)) {
        return nullptr;
    }

    line = 49;
    Ref deletion = Ref::steal(PyList_New(0));
    if (!deletion) {
        return nullptr;
    }
    line = 50;
    Ref error = Ref::steal(PyList_New(0));
    if (!error) {
        return nullptr;
    }
    line = 51;
    Ref raise_list = Ref::steal(PyList_New(0));
    if (!raise_list) {
        return nullptr;
    }

    line = 52;  // for param, option in self._params_dict.items():
    Ref table = get_attr(self, s.self_params_dict);
    PairWalker walker;
    if (!table || walker.start(table.get()) < 0) {
        return nullptr;
    }
    for (;;) {
        line = 52;
        Ref param;
        Ref option;
        int more = walker.next(param, option);
        if (more < 0) {
            return nullptr;
        }
        if (more == 0) {
            break;
        }
        if (check_parameter(self, param.get(), option.get(), deletion.get(), error.get(), line) < 0) {
            return nullptr;
        }
    }

    line = 63;  // missing required parameters
    if (PyList_GET_SIZE(deletion.get()) > 0 &&
        append_message(raise_list.get(), s.text_missing_prefix, deletion.get(), nullptr, nullptr) < 0) {
        return nullptr;
    }

    // values outside their allowed values
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(error.get()); ++i) {
        line = 65;  // for name, optional in error:
        Ref name;
        Ref optional;
        if (unpack_pair(PyList_GET_ITEM(error.get(), i), name, optional) < 0) {
            return nullptr;
        }
        line = 66;
        if (append_message(raise_list.get(), s.text_param_prefix, name.get(), s.text_param_middle,
                           optional.get()) < 0) {
            return nullptr;
        }
    }

    if (PyList_GET_SIZE(raise_list.get()) > 0) {
        line = 68;  // raise_text = '；'.join(raise_list)
        Ref raise_text = Ref::steal(PyUnicode_Join(s.text_separator, raise_list.get()));
        if (!raise_text) {
            return nullptr;
        }
        line = 69;  // raise Exception(raise_text)
        PyErr_SetObject(PyExc_Exception, raise_text.get());
        return nullptr;
    }

    line = 70;  // self._set_default_params()
    if (!call_method(self, s.self_set_default_params)) {
        return nullptr;
    }
    if (complete_mapping(self, config, line) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace sftp::params
