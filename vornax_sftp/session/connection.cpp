// _connect and _close.  The SSH client is created with the auto-add policy but never connected: the
// SFTP client runs over its own transport.
#include "session/session.hpp"

namespace sftp::session {

Ref sftp_client_class() {
    Ref cls = py::catching({PyExc_NameError, PyExc_AttributeError}, [] {
        return paramiko_attr(state().attr_SFTPClient);
    });
    if (!cls || !PyType_Check(cls.get())) {
        return Ref::borrow(Py_None);
    }
    return cls;
}

namespace {

// client.get_channel() when `client` is an instance of `cls`, paramiko.SFTPClient; None for any
// other client, and for every client where there is no such class.
Ref sftp_channel(PyObject* client, Ref cls = sftp_client_class()) {
    if (cls.get() == Py_None || py::checked(PyObject_IsInstance(client, cls.get())) == 0) {
        return Ref::borrow(Py_None);
    }
    return py::call_method(client, state().attr_get_channel);
}

// channel.get_transport().close(), unless the channel has no transport.
void close_channel_transport(PyObject* channel) {
    Ref transport = py::call_method(channel, state().attr_get_transport);
    if (transport.get() != Py_None) {
        py::call_method(transport.get(), state().attr_close);
    }
}

// When self._sftp is a paramiko SFTPClient, self._sftp.get_channel().get_transport().close(). False
// with the exception set, never thrown: an object never connected has no self._sftp, and meets this
// at every destruction.
bool close_sftp_transport(PyObject* self) {
    return py::nothrow::step([&] {
        Ref cls = sftp_client_class();
        if (cls.get() == Py_None) {
            return true;  // self._sftp is not read
        }
        Ref client = py::nothrow::attr(self, state().self_sftp);
        if (!client) {
            return false;
        }
        Ref channel = sftp_channel(client.get(), std::move(cls));
        if (channel.get() != Py_None) {
            close_channel_transport(channel.get());
        }
        return true;
    });
}

// _connect's step 93: transport.connect(username=self._config.user,
// password=self._config.password), with the host key when one is configured.
void log_in(PyObject* self, PyObject* transport, const ConnectOptions& options) {
    const ModuleState& s = state();
    if (options.timeout) {  // bounds the banner, key exchange, authentication and channel opening
        for (PyObject* name : {s.attr_banner_timeout, s.attr_handshake_timeout, s.attr_auth_timeout,
                               s.attr_channel_timeout}) {
            py::set_attr(transport, name, options.timeout.get());
        }
    }
    Ref login = py::attr(transport, s.attr_connect);
    Ref user = companions::config_attr(self, s.attr_user);
    Ref password = companions::config_attr(self, s.attr_password);
    // With a host key, paramiko negotiates that key's type and refuses any other key before the
    // password is sent.
    if (options.host_key) {
        py::call_keywords(login.get(), s.kwnames_login_hostkey, user.get(), password.get(), options.host_key.get());
    } else {
        py::call_keywords(login.get(), s.kwnames_login, user.get(), password.get());
    }
}

// _connect's step 94: self._sftp = paramiko.SFTPClient.from_transport(transport), its requests
// bounded first when a timeout is configured.
void open_sftp(PyObject* self, PyObject* transport, const ConnectOptions& options) {
    const ModuleState& s = state();
    Ref cls = paramiko_attr(s.attr_SFTPClient);
    Ref factory = py::attr(cls.get(), s.attr_from_transport);
    Ref client = py::call(factory.get(), transport);
    if (options.timeout) {  // every request then waits at most that long
        Ref channel = py::call_method(client.get(), s.attr_get_channel);
        py::call_method(channel.get(), s.attr_settimeout, options.timeout.get());
    }
    py::set_attr(self, s.self_sftp, client.get());
}

// self.<member>.close(); false when it failed, the error going to the caller and _ssh left as it
// is, but a paramiko transport under the client closed all the same.  Not thrown: an object never
// connected fails here at every destruction (__del__), and a throw costs more than the rest of it.
bool close_member(PyObject* self, PyObject* member) {
    Ref target = py::nothrow::attr(self, member);
    if (target) {
        Ref closed = py::nothrow::call_method(target.get(), state().attr_close);
        if (closed) {
            return true;
        }
    }
    SavedError failure;
    close_sftp_transport(self);  // its error judged by `failure`
    return false;
}


// A TimeoutError that the channel raised: paramiko's socket.timeout carries no errno.  One with an
// errno (ETIMEDOUT from a local file on NFS or CIFS, before any request was sent) is the local file
// system's, and leaves the connection in step.
bool channel_timed_out(PyObject* exc) {
    if (!PyErr_GivenExceptionMatches(exc, PyExc_TimeoutError)) {
        return false;
    }
    Ref code = py::attr(exc, state().attr_errno);
    return code.get() == Py_None;
}

// The close of close_out_of_step (session.hpp), for the exception `exc`.
bool close_if_out_of_step(PyObject* client, PyObject* exc) {
    Ref interrupt = interrupt_in_chain(exc);
    if (!interrupt && !channel_timed_out(exc)) {
        return false;
    }
    Ref channel = sftp_channel(client);
    if (channel.get() == Py_None) {
        return false;
    }
    if (!interrupt) {
        // The channel's timeout is the one the configuration's `timeout` set: without it nothing
        // here ever times out, and nothing changes.
        Ref timeout = py::call_method(channel.get(), state().attr_gettimeout);
        if (timeout.get() == Py_None) {
            return false;
        }
    }
    close_channel_transport(channel.get());
    return true;
}

}  // namespace

Ref request_timeout(PyObject* client) {
    Ref channel = sftp_channel(client);
    if (channel.get() == Py_None) {
        return channel;
    }
    return py::call_method(channel.get(), state().attr_gettimeout);
}

bool close_out_of_step(PyObject* client) {
    bool closed = false;
    if (client == nullptr) {
        return closed;
    }
    SavedError cut_short;  // stays the caller's error; a failed close adds nothing
    PyObject* exc = cut_short.exception();
    if (exc != nullptr) {
        py::nothrow::step([&] { closed = close_if_out_of_step(client, exc); });  // judged by `cut_short`
    }
    return closed;
}

PyObject* connect(PyObject* const* args, int& line) {
    PyObject* self = args[0];
    const ModuleState& s = state();

    // The optional timeout and host key are read and checked before anything is made; a wrong one
    // is reported at the first statement.
    line = 90;  // self._ssh = paramiko.SSHClient()
    const ConnectOptions options = read_connect_options(self);
    {
        Ref cls = paramiko_attr(s.attr_SSHClient);
        Ref client = py::call(cls.get());
        py::set_attr(self, s.self_ssh, client.get());
    }

    line = 91;  // self._ssh.set_missing_host_key_policy(paramiko.AutoAddPolicy())
    {
        Ref ssh = py::attr(self, s.self_ssh);
        Ref setter = py::attr(ssh.get(), s.attr_set_missing_host_key_policy);
        Ref policy_cls = paramiko_attr(s.attr_AutoAddPolicy);
        Ref policy = py::call(policy_cls.get());
        py::call(setter.get(), policy.get());
    }

    line = 92;  // transport = paramiko.Transport(f"{self._config.host}:{self._config.port}")
    Ref transport;
    {
        Ref cls = paramiko_attr(s.attr_Transport);
        Ref host = config_text(self, s.attr_host);
        Ref port = config_text(self, s.attr_port);
        Ref address = py::owned(PyUnicode_FromFormat("%U:%U", host.get(), port.get()));
        transport = open_transport(cls.get(), address.get(), options.timeout.get());
    }

    // A transport that failed to log in, or to open the SFTP client, would otherwise keep running:
    // it is closed before the error goes on.
    line = 93;  // transport.connect(username=self._config.user, password=self._config.password)
    close_on_failure(transport.get(), [&] { log_in(self, transport.get(), options); });

    line = 94;  // self._sftp = paramiko.SFTPClient.from_transport(transport)
    close_on_failure(transport.get(), [&] { open_sftp(self, transport.get(), options); });
    Py_RETURN_NONE;
}

PyObject* close(PyObject* const* args, int& line) {
    PyObject* self = args[0];
    const ModuleState& s = state();
    line = 97;  // self._sftp.close()
    if (!close_member(self, s.self_sftp)) {
        return nullptr;
    }
    line = 98;  // self._ssh.close()
    // Closing an SFTP client closes only its channel; the transport under it keeps its thread, its
    // socket and the server's session until it is closed itself.
    if (!close_member(self, s.self_ssh) || !close_sftp_transport(self)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace sftp::session
