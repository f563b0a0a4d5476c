// The local side of a download to a path.  The destination is opened first, with the caller's path
// text and the client's own open flags minus truncation: the kernel judges it as for `get`, before
// any transfer.  The client writes a temporary file only the caller may use (0600), beside the
// destination or, where that directory takes no new entry or keeps every entry, in the temporary
// directory.  Its bytes are then copied into the file opened first under an exclusive flock (none on
// Windows: its locks are mandatory): space reserved, the part past the old end, the old part, the
// cut to size; nothing is renamed over it.  A failure before an old byte is overwritten (an interrupt,
// a lock not had in time) leaves the destination as it was, or removes it if made here and still at
// its path; an I/O error amid the old bytes leaves new bytes up to it, old after, any new tail; no
// temporary file stays.
#pragma once

#include "ref.hpp"

namespace sftp::session {

// getter(source, destination) through the above for the path of a regular file or of nothing, else
// unchanged; `timeout` (or None) bounds the wait for the lock.  0, or -1 with an exception set.
int download_to(PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout);

}  // namespace sftp::session
