// The SFTP session: connecting, closing and the remote file operations.
#pragma once

#include "ref.hpp"

namespace sftp::session {

PyObject* connect(PyObject* const* args, int& line);
PyObject* close(PyObject* const* args, int& line);

PyObject* remove(PyObject* const* args, int& line);
PyObject* rename(PyObject* const* args, int& line);
PyObject* posix_rename(PyObject* const* args, int& line);
PyObject* mkdir(PyObject* const* args, int& line);
PyObject* rmdir(PyObject* const* args, int& line);
PyObject* stat(PyObject* const* args, int& line);
PyObject* normalize(PyObject* const* args, int& line);
PyObject* chdir(PyObject* const* args, int& line);
PyObject* upload(PyObject* const* args, int& line);
PyObject* download(PyObject* const* args, int& line);

// Called with the exception of a failed call on `client` (self._sftp, or
// null when reading it failed) pending.  A request cut short leaves
// paramiko's SFTP client out of step with the server: the late answer, or
// the rest of a packet half read or half sent, would be taken for the
// answer to the next request ("Garbage packet received"), or waited for
// for ever.  So when `client` is a paramiko SFTPClient and the exception is
// an interrupt (see interrupt_in_chain) or a TimeoutError while its channel
// has a timeout, its transport is closed, and every later call fails at
// once as on a closed connection.  The pending exception stays as it is:
// an error of the close is dropped, and only a new interrupt during it wins
// (saved_error.hpp).  True when it closed the connection.
bool close_out_of_step(PyObject* client);

// paramiko.SFTPClient, or None where no client can be one of its: without
// paramiko or without its class (also a module namespace cleared at
// shutdown), or with a stand-in for paramiko whose SFTPClient is no class.
Ref sftp_client_class();

// The first exception in the causes and contexts of `exc` (itself
// included) that is no Exception, such as a KeyboardInterrupt that a client
// turned into an error of its own; empty when there is none.
Ref interrupt_in_chain(PyObject* exc);

// The timeout the configuration's `timeout` gave `client`'s channel: when
// `client` is a paramiko SFTPClient, client.get_channel().gettimeout(),
// else None.
Ref request_timeout(PyObject* client);

}  // namespace sftp::session
