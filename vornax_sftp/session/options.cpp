// `timeout` and `host_key`: reading and checking them, and applying them to the transport and the
// SFTP client that _connect makes.
#include <cstdarg>
#include <initializer_list>
#include <optional>
#include <utility>

#include "session/session.hpp"

namespace sftp::session {

namespace {

Ref import(PyObject* name) { return py::owned(PyImport_Import(name)); }

// self._config.get(key); None when the configuration object has no `get` (a tunnel's configuration
// need not have one).
Ref config_option(PyObject* self, PyObject* key) {
    Ref getter = companions::config_attr(self, state().attr_get, true);
    if (!getter) {
        return Ref::borrow(Py_None);
    }
    return py::call(getter.get(), key);
}

// problems.append(format % values), as PyUnicode_FromFormat.
void add_problem(PyObject* problems, const char* format, ...) {
    va_list values;
    va_start(values, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, values));
    va_end(values);
    if (!message) {
        throw_python_error();
    }
    py::append(problems, message.get());
}

#ifdef _WIN32
// A Windows socket keeps its timeout in milliseconds that must fit 31 bits: above this, settimeout
// and create_connection raise OverflowError, while threading.TIMEOUT_MAX there is about twice as
// long.
constexpr double kWindowsSocketTimeoutMax = 2147483.647;
#endif

// A timeout is an int or float (a bool is no number of seconds) above 0 and at most
// threading.TIMEOUT_MAX: paramiko waits on locks with it, and the locks of some platforms wait no
// longer than weeks.  On Windows, the socket's own limit is lower still.
void check_timeout(PyObject* value, PyObject* problems) {
    const ModuleState& s = state();
    Ref threading = import(s.mod_threading);
    Ref limit_object = py::attr(threading.get(), s.attr_TIMEOUT_MAX);
    double limit = py::converted(PyFloat_AsDouble(limit_object.get()));
    // The message names the limit: whole seconds for threading's, which no caller needs to the
    // microsecond, the socket's as it is.
    bool exact_limit = false;
#ifdef _WIN32
    if (kWindowsSocketTimeoutMax < limit) {
        limit = kWindowsSocketTimeoutMax;
        exact_limit = true;
    }
#endif
    std::optional<double> seconds;
    if (PyFloat_Check(value)) {
        seconds = PyFloat_AS_DOUBLE(value);
    } else if (PyLong_Check(value) && !PyBool_Check(value)) {
        // An int beyond any double is beyond the limit too.
        seconds = py::catching({PyExc_OverflowError}, [&] { return py::converted(PyLong_AsDouble(value)); });
    }
    if (seconds && *seconds > 0 && *seconds <= limit) {  // false for nan
        return;
    }
    Ref shown;
    if (exact_limit) {
        shown = py::owned(PyFloat_FromDouble(limit));
    } else {
        shown = py::number(static_cast<long long>(limit));
    }
    add_problem(problems, "%U%R%U%R", s.text_timeout_prefix, shown.get(), s.text_timeout_middle, value);
}

// binascii.a2b_base64(text, strict_mode=True): padding and alphabet exact, as ssh-keygen writes
// them.  An empty Ref when the text is no such base64.
Ref decode_base64(PyObject* text) {
    const ModuleState& s = state();
    Ref binascii = import(s.mod_binascii);
    Ref decode = py::attr(binascii.get(), s.attr_a2b_base64);
    Ref kwnames = py::owned(PyTuple_Pack(1, s.key_strict_mode));
    // binascii.Error, or a text that is not ASCII: a ValueError.
    return py::catching({PyExc_ValueError}, [&] {
        PyObject* stack[] = {text, Py_True};
        return py::owned(PyObject_Vectorcall(decode.get(), stack, 1, kwnames.get()));
    });
}

// Whether one entry of a known_hosts host field is `name` (ASCII case ignored, as host names go)
// or, hashed as "|1|<salt>|<hash>", the hash of `name` or of its lower-case form.
bool entry_names(PyObject* entry, PyObject* name, PyObject* lowered) {
    const ModuleState& s = state();
    if (!py::converted(PyUnicode_Tailmatch(entry, s.text_hashed_host, 0, PY_SSIZE_T_MAX, -1))) {
        Ref entry_lowered = py::call_method(entry, s.attr_lower);
        return py::equal(entry_lowered.get(), lowered);
    }
    Ref host_keys = paramiko_attr(s.attr_HostKeys);
    Ref hash_host = py::attr(host_keys.get(), s.attr_hash_host);
    for (PyObject* candidate : {name, lowered}) {
        // A salt that is no base64 of 20 bytes: an entry that names nothing.
        Ref hash = py::catching({PyExc_Exception}, [&] { return py::call(hash_host.get(), candidate, entry); });
        if (!hash) {
            return false;
        }
        if (py::equal(hash.get(), entry)) {
            return true;
        }
    }
    return false;
}

// Whether the host field of a known_hosts line names the host and port _connect goes to, in the
// form ssh-keyscan writes: "host" for port 22, "[host]:port" for any other.  `name` receives that
// form.
bool field_names_target(PyObject* self, PyObject* field, Ref& name) {
    const ModuleState& s = state();
    Ref host = config_text(self, s.attr_host);
    Ref port = config_text(self, s.attr_port);
    if (PyUnicode_Compare(port.get(), s.text_ssh_port) == 0) {  // two exact str: no error
        name = std::move(host);
    } else {
        name = py::owned(PyUnicode_FromFormat("[%U]:%U", host.get(), port.get()));
    }
    Ref lowered = py::call_method(name.get(), s.attr_lower);
    Ref entries = py::owned(PyUnicode_Split(field, s.text_comma, -1));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        if (entry_names(PyList_GET_ITEM(entries.get(), i), name.get(), lowered.get())) {
            return true;
        }
    }
    return false;
}

// The key of a host_key line, "<type> <base64> [comment]" or a known_hosts line with a host field
// in front, made with paramiko.PKey.from_type_string.  A line that is no usable key adds its
// message to `problems` instead and gives an empty Ref; what paramiko said about it goes to
// `cause`.
Ref make_host_key(PyObject* self, PyObject* value, PyObject* problems, Ref& cause) {
    const ModuleState& s = state();
    if (!PyUnicode_Check(value)) {
        add_problem(problems, "%U%R", s.text_host_key_not_str, value);
        return Ref();
    }
    // An exact str from here on, so that no method of a subclass takes part.
    Ref text = py::owned(PyUnicode_FromObject(value));
    Ref stripped = py::call_method(text.get(), s.attr_strip);
    Ref lines = py::owned(PyUnicode_Splitlines(stripped.get(), 0));
    Ref fields = py::owned(PyUnicode_Split(stripped.get(), nullptr, 3));
    Py_ssize_t count = PyList_GET_SIZE(fields.get());
    if (PyList_GET_SIZE(lines.get()) != 1 || count < 2) {
        add_problem(problems, "%U%R", s.text_host_key_not_line, value);
        return Ref();
    }
    // The second field is the base64 of a bare line; in a known_hosts line it is the key type,
    // which is never base64 (every type name has a "-"), and the base64 comes third.
    Py_ssize_t type_field = 0;
    Ref data = decode_base64(PyList_GET_ITEM(fields.get(), 1));
    if (!data && count >= 3) {
        type_field = 1;
        data = decode_base64(PyList_GET_ITEM(fields.get(), 2));
    }
    if (!data) {
        add_problem(problems, "%U%R", s.text_host_key_not_line, value);
        return Ref();
    }
    PyObject* label = PyList_GET_ITEM(fields.get(), type_field);
    Ref pkey = paramiko_attr(s.attr_PKey);
    Ref factory = py::attr(pkey.get(), s.attr_from_type_string);
    Ref key = py::nothrow::call(factory.get(), label, data.get());  // its error is looked at
    if (!key) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw_python_error();
        }
        cause = Ref::steal(PyErr_GetRaisedException());
        add_problem(problems, "%U%R", s.text_host_key_refused, value);
        return Ref();
    }
    // paramiko takes an ECDSA key's curve, and so its type, from the data whatever the label says;
    // a line whose label names another type is someone's mistake, and paramiko would negotiate the
    // key's own type.
    Ref own_type = py::call_method(key.get(), s.attr_get_name);
    if (!py::equal(own_type.get(), label)) {
        add_problem(problems, "%U%S%U%R", s.text_host_key_label_prefix, own_type.get(), s.text_host_key_label_middle,
                    value);
        return Ref();
    }
    if (type_field == 0) {
        return key;
    }
    Ref target;
    if (field_names_target(self, PyList_GET_ITEM(fields.get(), 0), target)) {
        return key;
    }
    add_problem(problems, "%U%S%U%R", s.text_host_key_host_prefix, target.get(), s.text_host_key_host_middle, value);
    return Ref();
}

}  // namespace

Ref config_text(PyObject* self, PyObject* name) {
    Ref value = companions::config_attr(self, name);
    return py::owned(PyObject_Format(value.get(), state().text_empty));
}

ConnectOptions read_connect_options(PyObject* self) {
    const ModuleState& s = state();
    ConnectOptions options;
    Ref problems = py::owned(PyList_New(0));
    Ref timeout = config_option(self, s.key_timeout);
    if (py::truth(timeout.get())) {
        check_timeout(timeout.get(), problems.get());
        options.timeout = std::move(timeout);
    }
    Ref cause;
    Ref line = config_option(self, s.key_host_key);
    if (py::truth(line.get())) {
        options.host_key = make_host_key(self, line.get(), problems.get(), cause);
    }
    if (PyList_GET_SIZE(problems.get()) == 0) {
        return options;
    }
    // Every wrong value in one exception, as the configuration's other checks report theirs.
    Ref text = py::owned(PyUnicode_Join(s.text_separator, problems.get()));
    PyErr_SetObject(PyExc_ValueError, text.get());
    if (cause) {
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetCause(raised, cause.release());
        PyErr_SetRaisedException(raised);
    }
    throw_python_error();
}

Ref open_transport(PyObject* transport_class, PyObject* address, PyObject* timeout) {
    if (timeout == nullptr) {
        return py::call(transport_class, address);
    }
    const ModuleState& s = state();
    // socket.create_connection((host, int(port)), timeout), the address split at its first ":" as
    // paramiko splits an address text (it always has one: "<host>:<port>").
    Ref socket_module = import(s.mod_socket);
    Ref create = py::attr(socket_module.get(), s.attr_create_connection);
    Ref parts = py::owned(PyUnicode_Split(address, s.text_colon, 1));
    Ref port = py::owned(PyLong_FromUnicodeObject(PyList_GET_ITEM(parts.get(), 1), 10));
    Ref target = py::owned(PyTuple_Pack(2, PyList_GET_ITEM(parts.get(), 0), port.get()));
    Ref sock = py::call(create.get(), target.get(), timeout);
    // The transport's error is the one reported.
    return close_on_failure(sock.get(), [&] { return py::call(transport_class, sock.get()); });
}

}  // namespace sftp::session
