// What the files of the session share: the connection's optional `timeout` and `host_key`
// (options.cpp), and the closing of a connection that a call cut short (connection.cpp).
#pragma once

#include "module.hpp"

namespace sftp::session {

struct ConnectOptions {
    Ref timeout;   // the configured int or float, or empty when not set
    Ref host_key;  // the paramiko key made from the configured line, or empty
};

// format(self._config.<name>, ""): the host and port texts of the address.
Ref config_text(PyObject* self, PyObject* name);

// Reads `timeout`, then `host_key`, through self._config.get (a configuration object without
// `get` has neither; a false value counts as not set) and checks both: either wrong raises one
// ValueError naming each wrong key.
ConnectOptions read_connect_options(PyObject* self);

// transport_class(address), or, with a timeout, transport_class over a socket connected to the
// "host:port" address within the timeout.
Ref open_transport(PyObject* transport_class, PyObject* address, PyObject* timeout);

// `step()`; when it fails, obj.close() before the error goes on, as cleanup under SavedError.
template <typename Step>
auto close_on_failure(PyObject* obj, Step&& step) {
    try {
        return step();
    } catch (const PythonError&) {
        {
            SavedError failure;
            py::nothrow::call_method(obj, state().attr_close);
        }
        throw;
    }
}

// paramiko.SFTPClient, or None where no client can be one of its: without paramiko or without its
// class (also a module namespace cleared at shutdown), or with a stand-in for paramiko whose
// SFTPClient is no class.
Ref sftp_client_class();

// The first exception in the causes and contexts of `exc` (itself included) that is no
// Exception, such as a KeyboardInterrupt a client turned into an error of its own; or empty.
Ref interrupt_in_chain(PyObject* exc);

// client.get_channel().gettimeout() when `client` is a paramiko SFTPClient, else None.
Ref request_timeout(PyObject* client);

// getter(source, destination) so for the path of a regular file or of nothing, else unchanged;
// `timeout` (or None) bounds the wait for the lock.  True, or false with the exception set: not
// thrown, for a failed download is a routine answer.
bool download_to(PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout);

}  // namespace sftp::session
