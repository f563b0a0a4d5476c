// The local side of a download to a path: the client writes a file of this call's, whose bytes
// become the destination only once complete (docs/downloads.md tells it in full).
#pragma once

#include "errors.hpp"

namespace sftp::session {

// getter(source, destination) so for the path of a regular file or of nothing, else unchanged;
// `timeout` (or None) bounds the wait for the lock.  True, or false with the exception set: not
// thrown, for a failed download is a routine answer.
bool download_to(PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout);

}  // namespace sftp::session
