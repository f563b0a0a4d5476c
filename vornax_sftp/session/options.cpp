// `timeout` and `host_key`: reading and checking them, and applying them to
// the transport and the SFTP client that _connect makes.
#include "session/options.hpp"

#include <initializer_list>
#include <utility>

#include "calls.hpp"
#include "globals.hpp"
#include "saved_error.hpp"
#include "state.hpp"

namespace sftp::session {

namespace {

Ref import(PyObject* name) { return Ref::steal(PyImport_Import(name)); }

// self._config.get(key); None when the configuration object has no `get`
// (a tunnel's configuration need not have one).
Ref config_option(PyObject* self, PyObject* key) {
    const ModuleState& s = state();
    Ref config = get_attr(self, s.self_config);
    if (!config) {
        return Ref();
    }
    PyObject* found = nullptr;
    int has_get = PyObject_GetOptionalAttr(config.get(), s.attr_get, &found);
    Ref getter = Ref::steal(found);
    if (has_get < 0) {
        return Ref();
    }
    if (!has_get) {
        return Ref::borrow(Py_None);
    }
    return call(getter.get(), key);
}

// problems.append(prefix + repr(value))
int add_problem(PyObject* problems, PyObject* prefix, PyObject* value) {
    Ref message = Ref::steal(PyUnicode_FromFormat("%U%R", prefix, value));
    if (!message) {
        return -1;
    }
    return PyList_Append(problems, message.get());
}

#ifdef _WIN32
// A Windows socket keeps its timeout in milliseconds that must fit 31 bits:
// above this, settimeout and create_connection raise OverflowError, while
// threading.TIMEOUT_MAX there is about twice as long.
constexpr double kWindowsSocketTimeoutMax = 2147483.647;
#endif

// A timeout is an int or float (a bool is no number of seconds) above 0 and
// at most threading.TIMEOUT_MAX: paramiko waits on locks with it, and the
// locks of some platforms wait no longer than weeks.  On Windows, the
// socket's own limit is lower still.
int check_timeout(PyObject* value, PyObject* problems) {
    const ModuleState& s = state();
    Ref threading = import(s.mod_threading);
    if (!threading) {
        return -1;
    }
    Ref limit_object = get_attr(threading.get(), s.attr_TIMEOUT_MAX);
    if (!limit_object) {
        return -1;
    }
    double limit = PyFloat_AsDouble(limit_object.get());
    if (limit == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    // The message names the limit: whole seconds for threading's, which
    // no caller needs to the microsecond, the socket's as it is.
    bool exact_limit = false;
#ifdef _WIN32
    if (kWindowsSocketTimeoutMax < limit) {
        limit = kWindowsSocketTimeoutMax;
        exact_limit = true;
    }
#endif
    bool usable = false;
    if (PyFloat_Check(value)) {
        double seconds = PyFloat_AS_DOUBLE(value);
        usable = seconds > 0 && seconds <= limit;  // false for nan
    } else if (PyLong_Check(value) && !PyBool_Check(value)) {
        double seconds = PyLong_AsDouble(value);
        if (seconds == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                return -1;
            }
            PyErr_Clear();  // beyond any double, so beyond the limit too
        } else {
            usable = seconds > 0 && seconds <= limit;
        }
    }
    if (usable) {
        return 0;
    }
    Ref shown;
    if (exact_limit) {
        shown = Ref::steal(PyFloat_FromDouble(limit));
    } else {
        shown = Ref::steal(PyLong_FromLongLong(static_cast<long long>(limit)));
    }
    if (!shown) {
        return -1;
    }
    Ref message = Ref::steal(
        PyUnicode_FromFormat("%U%R%U%R", s.text_timeout_prefix, shown.get(), s.text_timeout_middle, value));
    if (!message) {
        return -1;
    }
    return PyList_Append(problems, message.get());
}

// binascii.a2b_base64(text, strict_mode=True): padding and alphabet exact,
// as ssh-keygen writes them.  An empty Ref with no exception set when the
// text is no such base64.
Ref decode_base64(PyObject* text) {
    const ModuleState& s = state();
    Ref binascii = import(s.mod_binascii);
    if (!binascii) {
        return Ref();
    }
    Ref decode = get_attr(binascii.get(), s.attr_a2b_base64);
    if (!decode) {
        return Ref();
    }
    Ref kwnames = Ref::steal(PyTuple_Pack(1, s.key_strict_mode));
    if (!kwnames) {
        return Ref();
    }
    PyObject* stack[] = {text, Py_True};
    Ref data = Ref::steal(PyObject_Vectorcall(decode.get(), stack, 1, kwnames.get()));
    if (!data && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();  // binascii.Error, or a text that is not ASCII
    }
    return data;
}

// Adds "<prefix><what><middle><value!r>" to `problems`: 0, or -1.
int add_problem_naming(PyObject* problems, PyObject* prefix, PyObject* what, PyObject* middle, PyObject* value) {
    Ref message = Ref::steal(PyUnicode_FromFormat("%U%S%U%R", prefix, what, middle, value));
    if (!message) {
        return -1;
    }
    return PyList_Append(problems, message.get());
}

// Whether one entry of a known_hosts host field is `name` (ASCII case
// ignored, as host names go) or, hashed as "|1|<salt>|<hash>", the hash of
// `name` or of its lower-case form.  1, 0, or -1 on an error.
int entry_names(PyObject* entry, PyObject* name, PyObject* lowered) {
    const ModuleState& s = state();
    int hashed = static_cast<int>(PyUnicode_Tailmatch(entry, s.text_hashed_host, 0, PY_SSIZE_T_MAX, -1));
    if (hashed < 0) {
        return -1;
    }
    if (!hashed) {
        Ref entry_lowered = call_method(entry, s.attr_lower);
        if (!entry_lowered) {
            return -1;
        }
        return PyObject_RichCompareBool(entry_lowered.get(), lowered, Py_EQ);
    }
    Ref paramiko = lookup_global(s.glob_paramiko);
    if (!paramiko) {
        return -1;
    }
    Ref host_keys = get_attr(paramiko.get(), s.attr_HostKeys);
    if (!host_keys) {
        return -1;
    }
    Ref hash_host = get_attr(host_keys.get(), s.attr_hash_host);
    if (!hash_host) {
        return -1;
    }
    for (PyObject* candidate : {name, lowered}) {
        Ref hash = call(hash_host.get(), candidate, entry);
        if (!hash) {
            // A salt that is no base64 of 20 bytes: an entry that names nothing.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                return -1;
            }
            PyErr_Clear();
            return 0;
        }
        int same = PyObject_RichCompareBool(hash.get(), entry, Py_EQ);
        if (same != 0) {
            return same;
        }
    }
    return 0;
}

// Whether the host field of a known_hosts line names the host and port
// _connect goes to, in the form ssh-keyscan writes: "host" for port 22,
// "[host]:port" for any other.  `name` receives that form.  1, 0 or -1.
int field_names_target(PyObject* self, PyObject* field, Ref& name) {
    const ModuleState& s = state();
    Ref host = config_text(self, s.attr_host);
    if (!host) {
        return -1;
    }
    Ref port = config_text(self, s.attr_port);
    if (!port) {
        return -1;
    }
    int compared = PyUnicode_Compare(port.get(), s.text_ssh_port);
    if (PyErr_Occurred()) {
        return -1;
    }
    if (compared == 0) {
        name = std::move(host);
    } else {
        name = Ref::steal(PyUnicode_FromFormat("[%U]:%U", host.get(), port.get()));
    }
    if (!name) {
        return -1;
    }
    Ref lowered = call_method(name.get(), s.attr_lower);
    if (!lowered) {
        return -1;
    }
    Ref entries = Ref::steal(PyUnicode_Split(field, s.text_comma, -1));
    if (!entries) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        int found = entry_names(PyList_GET_ITEM(entries.get(), i), name.get(), lowered.get());
        if (found != 0) {
            return found;
        }
    }
    return 0;
}

// Makes `key` from a host_key line, "<type> <base64> [comment]" or a
// known_hosts line with a host field in front, with
// paramiko.PKey.from_type_string.  A line that is no usable key adds its
// message to `problems` instead; what paramiko said about it goes to
// `cause`.  Returns -1 only on a failure that is not the value's fault.
int make_host_key(PyObject* self, PyObject* value, PyObject* problems, Ref& key, Ref& cause) {
    const ModuleState& s = state();
    if (!PyUnicode_Check(value)) {
        return add_problem(problems, s.text_host_key_not_str, value);
    }
    // An exact str from here on, so that no method of a subclass takes part.
    Ref text = Ref::steal(PyUnicode_FromObject(value));
    if (!text) {
        return -1;
    }
    Ref stripped = call_method(text.get(), s.attr_strip);
    if (!stripped) {
        return -1;
    }
    Ref lines = Ref::steal(PyUnicode_Splitlines(stripped.get(), 0));
    if (!lines) {
        return -1;
    }
    Ref fields = Ref::steal(PyUnicode_Split(stripped.get(), nullptr, 3));
    if (!fields) {
        return -1;
    }
    Py_ssize_t count = PyList_GET_SIZE(fields.get());
    if (PyList_GET_SIZE(lines.get()) != 1 || count < 2) {
        return add_problem(problems, s.text_host_key_not_line, value);
    }
    // The second field is the base64 of a bare line; in a known_hosts line
    // it is the key type, which is never base64 (every type name has a
    // "-"), and the base64 comes third.
    Py_ssize_t type_field = 0;
    Ref data = decode_base64(PyList_GET_ITEM(fields.get(), 1));
    if (!data && !PyErr_Occurred() && count >= 3) {
        type_field = 1;
        data = decode_base64(PyList_GET_ITEM(fields.get(), 2));
    }
    if (!data) {
        if (PyErr_Occurred()) {
            return -1;
        }
        return add_problem(problems, s.text_host_key_not_line, value);
    }
    PyObject* label = PyList_GET_ITEM(fields.get(), type_field);
    Ref paramiko = lookup_global(s.glob_paramiko);
    if (!paramiko) {
        return -1;
    }
    Ref pkey = get_attr(paramiko.get(), s.attr_PKey);
    if (!pkey) {
        return -1;
    }
    Ref factory = get_attr(pkey.get(), s.attr_from_type_string);
    if (!factory) {
        return -1;
    }
    key = call(factory.get(), label, data.get());
    if (!key) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return -1;
        }
        cause = Ref::steal(PyErr_GetRaisedException());
        return add_problem(problems, s.text_host_key_refused, value);
    }
    // paramiko takes an ECDSA key's curve, and so its type, from the data
    // whatever the label says; a line whose label names another type is
    // someone's mistake, and paramiko would negotiate the key's own type.
    Ref own_type = call_method(key.get(), s.attr_get_name);
    if (!own_type) {
        key = Ref();
        return -1;
    }
    int same = PyObject_RichCompareBool(own_type.get(), label, Py_EQ);
    if (same < 0) {
        key = Ref();
        return -1;
    }
    if (same == 0) {
        key = Ref();
        return add_problem_naming(problems, s.text_host_key_label_prefix, own_type.get(), s.text_host_key_label_middle,
                                  value);
    }
    if (type_field == 0) {
        return 0;
    }
    Ref target;
    int named = field_names_target(self, PyList_GET_ITEM(fields.get(), 0), target);
    if (named > 0) {
        return 0;
    }
    key = Ref();
    if (named < 0) {
        return -1;
    }
    return add_problem_naming(problems, s.text_host_key_host_prefix, target.get(), s.text_host_key_host_middle, value);
}

// The truth of a freshly read value: 1, 0, or -1 when the read or the
// truth test failed.
int truth(const Ref& value) {
    if (!value) {
        return -1;
    }
    return PyObject_IsTrue(value.get());
}

}  // namespace

Ref config_text(PyObject* self, PyObject* name) {
    const ModuleState& s = state();
    Ref config = get_attr(self, s.self_config);
    if (!config) {
        return Ref();
    }
    Ref value = get_attr(config.get(), name);
    if (!value) {
        return Ref();
    }
    return Ref::steal(PyObject_Format(value.get(), s.text_empty));
}

int read_connect_options(PyObject* self, ConnectOptions& options) {
    const ModuleState& s = state();
    Ref problems = Ref::steal(PyList_New(0));
    if (!problems) {
        return -1;
    }
    Ref timeout = config_option(self, s.key_timeout);
    int timeout_set = truth(timeout);
    if (timeout_set < 0) {
        return -1;
    }
    if (timeout_set) {
        if (check_timeout(timeout.get(), problems.get()) < 0) {
            return -1;
        }
        options.timeout = std::move(timeout);
    }
    Ref cause;
    Ref line = config_option(self, s.key_host_key);
    int host_key_set = truth(line);
    if (host_key_set < 0) {
        return -1;
    }
    if (host_key_set) {
        if (make_host_key(self, line.get(), problems.get(), options.host_key, cause) < 0) {
            return -1;
        }
    }
    if (PyList_GET_SIZE(problems.get()) == 0) {
        return 0;
    }
    // Every wrong value in one exception, as the configuration's other
    // checks report theirs.
    Ref text = Ref::steal(PyUnicode_Join(s.text_separator, problems.get()));
    if (!text) {
        return -1;
    }
    PyErr_SetObject(PyExc_ValueError, text.get());
    if (cause) {
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetCause(raised, cause.release());
        PyErr_SetRaisedException(raised);
    }
    return -1;
}

Ref open_transport(PyObject* transport_class, PyObject* address, PyObject* timeout) {
    if (timeout == nullptr) {
        return call(transport_class, address);
    }
    const ModuleState& s = state();
    // socket.create_connection((host, int(port)), timeout), the address
    // split at its first ":" as paramiko splits an address text (it always
    // has one: "<host>:<port>").
    Ref socket_module = import(s.mod_socket);
    if (!socket_module) {
        return Ref();
    }
    Ref create = get_attr(socket_module.get(), s.attr_create_connection);
    if (!create) {
        return Ref();
    }
    Ref parts = Ref::steal(PyUnicode_Split(address, s.text_colon, 1));
    if (!parts) {
        return Ref();
    }
    Ref port = Ref::steal(PyLong_FromUnicodeObject(PyList_GET_ITEM(parts.get(), 1), 10));
    if (!port) {
        return Ref();
    }
    Ref target = Ref::steal(PyTuple_Pack(2, PyList_GET_ITEM(parts.get(), 0), port.get()));
    if (!target) {
        return Ref();
    }
    Ref sock = call(create.get(), target.get(), timeout);
    if (!sock) {
        return Ref();
    }
    Ref transport = call(transport_class, sock.get());
    if (!transport) {
        SavedError failure;  // the transport's error is the one reported
        call_method(sock.get(), s.attr_close);
    }
    return transport;
}

int bound_transport(PyObject* transport, PyObject* timeout) {
    const ModuleState& s = state();
    for (PyObject* name : {s.attr_banner_timeout, s.attr_handshake_timeout, s.attr_auth_timeout,
                           s.attr_channel_timeout}) {
        if (PyObject_SetAttr(transport, name, timeout) < 0) {
            return -1;
        }
    }
    return 0;
}

int bound_sftp_requests(PyObject* client, PyObject* timeout) {
    const ModuleState& s = state();
    Ref channel = call_method(client, s.attr_get_channel);
    if (!channel) {
        return -1;
    }
    Ref done = call_method(channel.get(), s.attr_settimeout, timeout);
    if (!done) {
        return -1;
    }
    return 0;
}

}  // namespace sftp::session
