// __init__ and __del__ of a VornaxSFTPMain object.
#include "module.hpp"

namespace sftp::object {

PyObject* init(PyObject* const* args, int& line) {
    PyObject* self = args[0];
    PyObject* config = args[1];
    const ModuleState& s = state();

    line = 24;  // self._log = VornaxLog(file=False)
    Ref logger = companions::new_logger();
    py::set_attr(self, s.self_log, logger.get());

    line = 25;  // self._cleanse_params(config)
    py::call_method(self, s.self_cleanse_params, config);

    line = 26;  // if self._config.ssh:
    Ref ssh = companions::config_attr(self, s.attr_ssh);
    if (py::truth(ssh.get())) {
        line = 27;  // self._config = VornaxSSH(self._config.todict()).connect()
        Ref replaced = companions::config_through_ssh(self);
        py::set_attr(self, s.self_config, replaced.get());
    }
    Py_RETURN_NONE;
}

PyObject* del(PyObject* const* args, int& line) {
    line = 146;  // self._close(), ordinary errors discarded
    // The non-throwing form: an object never connected fails here at every
    // destruction, and a throw costs more than the rest of it.
    Ref closed = py::nothrow::call_method(args[0], state().self_close);
    if (!closed) {
        py::clear_expected({PyExc_Exception});
    }
    Py_RETURN_NONE;
}

}  // namespace sftp::object
