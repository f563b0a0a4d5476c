// _connect and _close.  The SSH client is created with the auto-add policy
// but never connected: the SFTP client runs over its own transport.
#include <utility>

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
    return paramiko ? get_attr(paramiko.get(), name) : Ref();
}

// self._config.<name>
Ref config_value(PyObject* self, PyObject* name) {
    Ref config = get_attr(self, state().self_config);
    return config ? get_attr(config.get(), name) : Ref();
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
    const ModuleState& s = state();
    Ref paramiko = lookup_global(s.glob_paramiko);
    Ref cls = paramiko ? get_attr(paramiko.get(), s.attr_SFTPClient) : Ref();
    if (!cls) {
        if (!PyErr_ExceptionMatches(PyExc_NameError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return cls;
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
    if (is_paramiko_client <= 0) {
        return is_paramiko_client < 0 ? Ref() : Ref::borrow(Py_None);
    }
    return call_method(client, state().attr_get_channel);
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
    return call_method(transport.get(), s.attr_close) ? 0 : -1;
}

// When self._sftp is a paramiko SFTPClient, closes the transport of its
// channel: self._sftp.get_channel().get_transport().close().  Any other
// client is left alone.  Returns 0 or -1.
int close_sftp_transport(PyObject* self) {
    Ref cls = sftp_client_class();
    if (!cls || cls.get() == Py_None) {
        return cls ? 0 : -1;
    }
    Ref client = get_attr(self, state().self_sftp);
    Ref channel = client ? paramiko_channel(client.get(), cls.get()) : Ref();
    if (!channel) {
        return -1;
    }
    return channel.get() == Py_None ? 0 : close_channel_transport(channel.get());
}

}  // namespace

namespace {

// client.get_channel() when `client` is a paramiko SFTPClient, else None;
// empty on an error.
Ref sftp_channel(PyObject* client) {
    Ref cls = sftp_client_class();
    return cls && cls.get() != Py_None ? paramiko_channel(client, cls.get()) : std::move(cls);
}

}  // namespace

Ref request_timeout(PyObject* client) {
    Ref channel = sftp_channel(client);
    if (!channel || channel.get() == Py_None) {
        return channel;
    }
    return call_method(channel.get(), state().attr_gettimeout);
}

void close_after_timeout(PyObject* client) {
    if (client == nullptr || !PyErr_ExceptionMatches(PyExc_TimeoutError)) {
        return;
    }
    SavedError timed_out;  // stays the caller's error; a failed close adds nothing
    Ref channel = sftp_channel(client);
    if (!channel || channel.get() == Py_None) {
        return;
    }
    // The channel's timeout is the one the configuration's `timeout` set:
    // without it nothing here ever times out, and nothing changes.
    Ref timeout = call_method(channel.get(), state().attr_gettimeout);
    if (timeout && timeout.get() != Py_None) {
        close_channel_transport(channel.get());
    }
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
        Ref client = cls ? call(cls.get()) : Ref();
        if (!client || PyObject_SetAttr(self, s.self_ssh, client.get()) < 0) {
            return nullptr;
        }
    }

    line = 91;  // self._ssh.set_missing_host_key_policy(paramiko.AutoAddPolicy())
    {
        Ref ssh = get_attr(self, s.self_ssh);
        Ref setter = ssh ? get_attr(ssh.get(), s.attr_set_missing_host_key_policy) : Ref();
        Ref policy_cls = setter ? paramiko_attr(s.attr_AutoAddPolicy) : Ref();
        Ref policy = policy_cls ? call(policy_cls.get()) : Ref();
        if (!policy || !call(setter.get(), policy.get())) {
            return nullptr;
        }
    }

    line = 92;  // transport = paramiko.Transport(f"{self._config.host}:{self._config.port}")
    Ref transport;
    {
        Ref cls = paramiko_attr(s.attr_Transport);
        Ref host = cls ? config_text(self, s.attr_host) : Ref();
        Ref port = host ? config_text(self, s.attr_port) : Ref();
        Ref address = port ? Ref::steal(PyUnicode_FromFormat("%U:%U", host.get(), port.get())) : Ref();
        transport = address ? open_transport(cls.get(), address.get(), options.timeout.get()) : Ref();
        if (!transport) {
            return nullptr;
        }
    }

    line = 93;  // transport.connect(username=self._config.user, password=self._config.password)
    {
        if (options.timeout && bound_transport(transport.get(), options.timeout.get()) < 0) {
            return close_after_failure(transport.get());
        }
        Ref login = get_attr(transport.get(), s.attr_connect);
        Ref user = login ? config_value(self, s.attr_user) : Ref();
        Ref password = user ? config_value(self, s.attr_password) : Ref();
        // With a host key, paramiko negotiates that key's type and refuses
        // any other key before the password is sent.
        Ref done;
        if (password) {
            done = options.host_key ? call_keywords(login.get(), s.kwnames_login_hostkey, user.get(),
                                                    password.get(), options.host_key.get())
                                    : call_keywords(login.get(), s.kwnames_login, user.get(), password.get());
        }
        if (!done) {
            return close_after_failure(transport.get());
        }
    }

    line = 94;  // self._sftp = paramiko.SFTPClient.from_transport(transport)
    {
        Ref cls = paramiko_attr(s.attr_SFTPClient);
        Ref factory = cls ? get_attr(cls.get(), s.attr_from_transport) : Ref();
        Ref client = factory ? call(factory.get(), transport.get()) : Ref();
        if (client && options.timeout && bound_sftp_requests(client.get(), options.timeout.get()) < 0) {
            client = Ref();
        }
        if (!client || PyObject_SetAttr(self, s.self_sftp, client.get()) < 0) {
            return close_after_failure(transport.get());
        }
    }
    Py_RETURN_NONE;
}

PyObject* close(PyObject* const* args, int& line) {
    PyObject* self = args[0];
    const ModuleState& s = state();
    line = 97;  // self._sftp.close()
    if (!call_attr_method(self, s.self_sftp, s.attr_close)) {
        // The error goes to the caller and _ssh is left as it is, but a
        // paramiko transport under the client is still closed.
        SavedError failure;
        close_sftp_transport(self);
        return nullptr;
    }
    line = 98;  // self._ssh.close()
    if (!call_attr_method(self, s.self_ssh, s.attr_close)) {
        // As above: the error is the caller's, the transport still closes.
        SavedError failure;
        close_sftp_transport(self);
        return nullptr;
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
