// The SFTP session: connecting, closing and the remote file operations.
#pragma once

#include <Python.h>

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

}  // namespace sftp::session
