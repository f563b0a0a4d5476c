// The local side of a download to a path.
//
// A destination that exists as a regular file is opened first, with the caller's path text and
// the client's own open flags minus truncation (O_WRONLY|O_CREAT, plus O_NONBLOCK and O_BINARY where
// they exist); an open that meets a lease being broken (EAGAIN) opens again and waits, as `get`
// would.  The destination's directory is pinned by a descriptor opened once from the caller's text
// (Windows: reached by that text).
//
// Where nothing is at the path, the client writes a file made in that directory with O_TMPFILE, mode
// 0666 less the umask (or as the default ACL says), through /proc/self/fd/N; only once it is done is
// the file linked in under the destination's name (linkat, AT_SYMLINK_FOLLOW).  A new destination
// appears complete or not at all, and nothing is removed.  A name that exists by then is an existing
// destination.  Refusals of the directory or of the O_TMPFILE open end the download before transfer.
//
// An existing destination takes the bytes of such a file (there, else in the temporary directory)
// under an exclusive flock, waited for in full or until the `timeout` (none on Windows): space
// reserved with the size left alone (FALLOC_FL_KEEP_SIZE), the part past the old end, the old part,
// the cut to size.  flock errors meaning no locks (ENOLCK, EOPNOTSUPP, ENOSYS, EINVAL) mean no lock.
//
// Without O_TMPFILE or /proc (Windows, a chroot), the client gets a named 0600 file only in a
// directory where no other user may rename or remove it (sticky, or writable by its owner alone, the
// caller or root; on Windows, any: the open file cannot be renamed), else in the temporary
// directory, else writes the destination itself as `get` does; a new destination is then made once
// the bytes are all there, and the name goes again through the pinned directory.
//
// Success means the destination's name in the pinned directory names the file written.  A failure
// before an old byte is overwritten leaves the destination as it was; cleanup always completes, an
// interrupt meanwhile raised once it is done.
#pragma once

#include "ref.hpp"

namespace sftp::session {

// getter(source, destination) through the above for the path of a regular file or of nothing, else
// unchanged; `timeout` (or None) bounds the wait for the lock.  0, or -1 with an exception set.
int download_to(PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout);

}  // namespace sftp::session
