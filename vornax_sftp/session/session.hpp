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
// null when reading it failed) pending.  A request that timed out leaves
// paramiko's SFTP client out of step with the server: the late answer would
// be taken for the answer to the next request ("Garbage packet received").
// So when the exception is a TimeoutError and `client` is a paramiko
// SFTPClient whose channel has a timeout, its transport is closed, and every
// later call fails at once as on a closed connection.  The pending exception
// stays as it is.
void close_after_timeout(PyObject* client);

// The timeout the configuration's `timeout` gave `client`'s channel: when
// `client` is a paramiko SFTPClient, client.get_channel().gettimeout(),
// else None.  Empty on an error.
Ref request_timeout(PyObject* client);

}  // namespace sftp::session
