// _connect and _close.  The SSH client is created with the auto-add policy
// but never connected: the SFTP client runs over its own transport.
#include "calls.hpp"
#include "globals.hpp"
#include "saved_error.hpp"
#include "session/options.hpp"
#include "session/session.hpp"
#include "state.hpp"

namespace sftp::session {

namespace {

// paramiko.<name>, with paramiko looked up afresh.
Ref paramiko_attr(PyObject* name) {
    Ref paramiko = lookup_global(state().glob_paramiko);
    if (!paramiko) {
        return Ref();
    }
    return get_attr(paramiko.get(), name);
}

// self._config.<name>
Ref config_value(PyObject* self, PyObject* name) {
    Ref config = get_attr(self, state().self_config);
    if (!config) {
        return Ref();
    }
    return get_attr(config.get(), name);
}

// A transport that failed to log in, or to open the SFTP client, would
// otherwise keep running.  Closes it and re-raises the original exception;
// an error from the close itself is dropped.
PyObject* close_after_failure(PyObject* transport) {
    SavedError failure;
    call_method(transport, state().attr_close);
    return nullptr;
}

// paramiko.SFTPClient, or None where no client can be one of its: without
// paramiko or without its class (also a module namespace cleared at
// shutdown), or with a stand-in for paramiko whose SFTPClient is no class.
// Empty on any other error.
Ref sftp_client_class() {
    Ref cls = paramiko_attr(state().attr_SFTPClient);
    if (!cls) {
        if (!PyErr_ExceptionMatches(PyExc_NameError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return Ref();
        }
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    if (!PyType_Check(cls.get())) {
        return Ref::borrow(Py_None);
    }
    return cls;
}

// client.get_channel() when `client` is an instance of `cls`, the paramiko
// SFTPClient class; None for any other client.  Empty on an error.
Ref paramiko_channel(PyObject* client, PyObject* cls) {
    int is_paramiko_client = PyObject_IsInstance(client, cls);
    if (is_paramiko_client < 0) {
        return Ref();
    }
    if (is_paramiko_client == 0) {
        return Ref::borrow(Py_None);
    }
    return call_method(client, state().attr_get_channel);
}

// client.get_channel() when `client` is a paramiko SFTPClient, else None;
// empty on an error.
Ref sftp_channel(PyObject* client) {
    Ref cls = sftp_client_class();
    if (!cls) {
        return Ref();
    }
    if (cls.get() == Py_None) {
        return cls;
    }
    return paramiko_channel(client, cls.get());
}

// channel.get_transport().close(), unless the channel has no transport.
// Returns 0 or -1.
int close_channel_transport(PyObject* channel) {
    const ModuleState& s = state();
    Ref transport = call_method(channel, s.attr_get_transport);
    if (!transport) {
        return -1;
    }
    if (transport.get() == Py_None) {
        return 0;
    }
    Ref closed = call_method(transport.get(), s.attr_close);
    if (!closed) {
        return -1;
    }
    return 0;
}

// When self._sftp is a paramiko SFTPClient, closes the transport of its
// channel: self._sftp.get_channel().get_transport().close().  Any other
// client is left alone.  Returns 0 or -1.
int close_sftp_transport(PyObject* self) {
    Ref cls = sftp_client_class();
    if (!cls) {
        return -1;
    }
    if (cls.get() == Py_None) {
        return 0;
    }
    Ref client = get_attr(self, state().self_sftp);
    if (!client) {
        return -1;
    }
    Ref channel = paramiko_channel(client.get(), cls.get());
    if (!channel) {
        return -1;
    }
    if (channel.get() == Py_None) {
        return 0;
    }
    return close_channel_transport(channel.get());
}

// _connect's step 93: transport.connect(username=self._config.user,
// password=self._config.password), with the host key when one is
// configured.  Returns 0 or -1.
int log_in(PyObject* self, PyObject* transport, const ConnectOptions& options) {
    const ModuleState& s = state();
    if (options.timeout && bound_transport(transport, options.timeout.get()) < 0) {
        return -1;
    }
    Ref login = get_attr(transport, s.attr_connect);
    if (!login) {
        return -1;
    }
    Ref user = config_value(self, s.attr_user);
    if (!user) {
        return -1;
    }
    Ref password = config_value(self, s.attr_password);
    if (!password) {
        return -1;
    }
    // With a host key, paramiko negotiates that key's type and refuses
    // any other key before the password is sent.
    Ref done;
    if (options.host_key) {
        done = call_keywords(login.get(), s.kwnames_login_hostkey, user.get(), password.get(), options.host_key.get());
    } else {
        done = call_keywords(login.get(), s.kwnames_login, user.get(), password.get());
    }
    if (!done) {
        return -1;
    }
    return 0;
}

// _connect's step 94: self._sftp = paramiko.SFTPClient.from_transport(transport),
// its requests bounded first when a timeout is configured.  Returns 0 or -1.
int open_sftp(PyObject* self, PyObject* transport, const ConnectOptions& options) {
    const ModuleState& s = state();
    Ref cls = paramiko_attr(s.attr_SFTPClient);
    if (!cls) {
        return -1;
    }
    Ref factory = get_attr(cls.get(), s.attr_from_transport);
    if (!factory) {
        return -1;
    }
    Ref client = call(factory.get(), transport);
    if (!client) {
        return -1;
    }
    if (options.timeout && bound_sftp_requests(client.get(), options.timeout.get()) < 0) {
        return -1;
    }
    return PyObject_SetAttr(self, s.self_sftp, client.get());
}

}  // namespace

Ref request_timeout(PyObject* client) {
    Ref channel = sftp_channel(client);
    if (!channel) {
        return Ref();
    }
    if (channel.get() == Py_None) {
        return channel;
    }
    return call_method(channel.get(), state().attr_gettimeout);
}

namespace {

// A TimeoutError that the channel raised: paramiko's socket.timeout carries
// no errno.  One with an errno (ETIMEDOUT from a local file on NFS or CIFS,
// before any request was sent) is the local file system's, and leaves the
// connection in step.
bool channel_timed_out(PyObject* exc) {
    if (!PyErr_GivenExceptionMatches(exc, PyExc_TimeoutError)) {
        return false;
    }
    Ref code = get_attr(exc, state().attr_errno);
    if (!code) {
        return false;  // the look-up's error is dropped with the close (see below)
    }
    return code.get() == Py_None;
}

}  // namespace

void close_out_of_step(PyObject* client) {
    if (client == nullptr) {
        return;
    }
    SavedError cut_short;  // stays the caller's error; a failed close adds nothing
    PyObject* exc = cut_short.exception();
    if (exc == nullptr) {
        return;
    }
    Ref interrupt = interrupt_in_chain(exc);
    if (!interrupt && !channel_timed_out(exc)) {
        return;
    }
    Ref channel = sftp_channel(client);
    if (!channel) {
        return;
    }
    if (channel.get() == Py_None) {
        return;
    }
    if (!interrupt) {
        // The channel's timeout is the one the configuration's `timeout`
        // set: without it nothing here ever times out, and nothing changes.
        Ref timeout = call_method(channel.get(), state().attr_gettimeout);
        if (!timeout) {
            return;
        }
        if (timeout.get() == Py_None) {
            return;
        }
    }
    close_channel_transport(channel.get());
}

PyObject* connect(PyObject* const* args, int& line) {
    PyObject* self = args[0];
    const ModuleState& s = state();

    // The optional timeout and host key are read and checked before
    // anything is made; a wrong one is reported at the first statement.
    line = 90;  // self._ssh = paramiko.SSHClient()
    ConnectOptions options;
    if (read_connect_options(self, options) < 0) {
        return nullptr;
    }
    {
        Ref cls = paramiko_attr(s.attr_SSHClient);
        if (!cls) {
            return nullptr;
        }
        Ref client = call(cls.get());
        if (!client) {
            return nullptr;
        }
        if (PyObject_SetAttr(self, s.self_ssh, client.get()) < 0) {
            return nullptr;
        }
    }

    line = 91;  // self._ssh.set_missing_host_key_policy(paramiko.AutoAddPolicy())
    {
        Ref ssh = get_attr(self, s.self_ssh);
        if (!ssh) {
            return nullptr;
        }
        Ref setter = get_attr(ssh.get(), s.attr_set_missing_host_key_policy);
        if (!setter) {
            return nullptr;
        }
        Ref policy_cls = paramiko_attr(s.attr_AutoAddPolicy);
        if (!policy_cls) {
            return nullptr;
        }
        Ref policy = call(policy_cls.get());
        if (!policy) {
            return nullptr;
        }
        Ref done = call(setter.get(), policy.get());
        if (!done) {
            return nullptr;
        }
    }

    line = 92;  // transport = paramiko.Transport(f"{self._config.host}:{self._config.port}")
    Ref transport;
    {
        Ref cls = paramiko_attr(s.attr_Transport);
        if (!cls) {
            return nullptr;
        }
        Ref host = config_text(self, s.attr_host);
        if (!host) {
            return nullptr;
        }
        Ref port = config_text(self, s.attr_port);
        if (!port) {
            return nullptr;
        }
        Ref address = Ref::steal(PyUnicode_FromFormat("%U:%U", host.get(), port.get()));
        if (!address) {
            return nullptr;
        }
        transport = open_transport(cls.get(), address.get(), options.timeout.get());
        if (!transport) {
            return nullptr;
        }
    }

    line = 93;  // transport.connect(username=self._config.user, password=self._config.password)
    if (log_in(self, transport.get(), options) < 0) {
        return close_after_failure(transport.get());
    }

    line = 94;  // self._sftp = paramiko.SFTPClient.from_transport(transport)
    if (open_sftp(self, transport.get(), options) < 0) {
        return close_after_failure(transport.get());
    }
    Py_RETURN_NONE;
}

PyObject* close(PyObject* const* args, int& line) {
    PyObject* self = args[0];
    const ModuleState& s = state();
    line = 97;  // self._sftp.close()
    {
        Ref closed = call_attr_method(self, s.self_sftp, s.attr_close);
        if (!closed) {
            // The error goes to the caller and _ssh is left as it is, but a
            // paramiko transport under the client is still closed.
            SavedError failure;
            close_sftp_transport(self);
            return nullptr;
        }
    }
    line = 98;  // self._ssh.close()
    {
        Ref closed = call_attr_method(self, s.self_ssh, s.attr_close);
        if (!closed) {
            // As above: the error is the caller's, the transport still closes.
            SavedError failure;
            close_sftp_transport(self);
            return nullptr;
        }
    }
    // Closing an SFTP client closes only its channel; the transport under
    // it keeps its thread, its socket and the server's session until it is
    // closed itself.
    if (close_sftp_transport(self) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace sftp::session
