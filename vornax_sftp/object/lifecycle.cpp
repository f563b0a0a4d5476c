#include "object/lifecycle.hpp"

#include "calls.hpp"
#include "companions/companions.hpp"
#include "state.hpp"

namespace sftp::object {

PyObject* init(PyObject* const* args, int& line) {
    PyObject* self = args[0];
    PyObject* config = args[1];
    const ModuleState& s = state();

    line = 24;  // self._log = VornaxLog(file=False)
    Ref logger = companions::new_logger();
    if (!logger || PyObject_SetAttr(self, s.self_log, logger.get()) < 0) {
        return nullptr;
    }

    line = 25;  // self._cleanse_params(config)
    if (!call_method(self, s.self_cleanse_params, config)) {
        return nullptr;
    }

    line = 26;  // if self._config.ssh:
    Ref current = get_attr(self, s.self_config);
    Ref ssh = current ? get_attr(current.get(), s.attr_ssh) : Ref();
    if (!ssh) {
        return nullptr;
    }
    int wants_ssh = PyObject_IsTrue(ssh.get());
    if (wants_ssh < 0) {
        return nullptr;
    }
    if (wants_ssh) {
        line = 27;  // self._config = VornaxSSH(self._config.todict()).connect()
        Ref replaced = companions::config_through_ssh(self);
        if (!replaced || PyObject_SetAttr(self, s.self_config, replaced.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* del(PyObject* const* args, int& line) {
    line = 146;  // self._close(), ordinary errors discarded
    if (!call_method(args[0], state().self_close)) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

}  // namespace sftp::object
