// The two optional connection settings of a configuration: `timeout`
// bounds every wait of a connection, `host_key` pins the server's public
// key.  A false value counts as not set; with neither set, _connect reads
// them (two calls of self._config.get) and then makes the calls it always
// made.  Every function here throws PythonError.
#pragma once

#include "calls.hpp"
#include "saved_error.hpp"
#include "state.hpp"

namespace sftp::session {

struct ConnectOptions {
    Ref timeout;   // the configured int or float, or empty when not set
    Ref host_key;  // the paramiko key made from the configured line, or empty
};

// format(self._config.<name>, ""): the host and port texts of the address.
Ref config_text(PyObject* self, PyObject* name);

// Reads `timeout`, then `host_key`, through self._config.get (a
// configuration object without `get` has neither) and checks both.  A
// host_key line with a known_hosts host field also reads the configured
// host and port, which that field must name.  Either value wrong raises one
// ValueError naming each wrong key.
ConnectOptions read_connect_options(PyObject* self);

// transport_class(address), or, with a timeout, transport_class over a
// socket connected to the "host:port" address within the timeout.
Ref open_transport(PyObject* transport_class, PyObject* address, PyObject* timeout);

// Bounds the banner, key exchange, authentication and channel opening of a
// transport that is not yet connected.
void bound_transport(PyObject* transport, PyObject* timeout);

// client.get_channel().settimeout(timeout): every request of the SFTP
// client then waits at most that long for its answer.
void bound_sftp_requests(PyObject* client, PyObject* timeout);

// `step()`; when it fails, obj.close() before the error goes on.  The
// close is cleanup: an error of its own is dropped, and only an interrupt
// during it wins (saved_error.hpp).
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

}  // namespace sftp::session
