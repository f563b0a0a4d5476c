// The local side of a download to a path.
//
// The destination is opened first, with the caller's path text and the client's own open flags minus
// truncation (O_WRONLY|O_CREAT, plus O_NONBLOCK and O_BINARY where they exist, O_EXCL when nothing
// was there): the kernel judges it as for `get`, before any transfer.  A non-blocking open that meets
// a lease being broken (EAGAIN) opens again and waits, as `get` would.
//
// The client writes a temporary file only the caller may use (0600), which it is never handed by a
// name another user could swap.  Where /proc/self/fd reaches this process's descriptors, the file has
// no name at all (O_TMPFILE, or a named file removed at once where the file system refuses that) and
// the client is given /proc/self/fd/N: the kernel reopens that very file, and nothing of it outlives
// the process.  Elsewhere (Windows) the file is named, and must still be the one made once `get` is
// done.  It lies in the destination's directory, else in the temporary directory; where neither takes
// one, `get` writes the destination itself, with its own guarantees.
//
// The bytes then go into the file opened first under an exclusive flock, waited for in full or until
// the `timeout` (none on Windows: its locks are mandatory): space reserved where old bytes are kept,
// the part past the old end, the old part, the cut to size; nothing is renamed over it.  flock errors
// that mean a file system without locks (ENOLCK, EOPNOTSUPP, ENOSYS, EINVAL) mean no lock.  A
// destination removed meanwhile (no link left) is no success.
//
// A failure before an old byte is overwritten leaves the destination as it was, or removes it if
// this call made it and it is still this call's (the same file at its path, empty, not locked by
// another download); an I/O error amid the old bytes leaves new bytes up to it, old after, any new
// tail; no temporary file stays.  Cleanup always completes: an interrupt that arrives during it is
// raised once it is done.
#pragma once

#include "ref.hpp"

namespace sftp::session {

// getter(source, destination) through the above for the path of a regular file or of nothing, else
// unchanged; `timeout` (or None) bounds the wait for the lock.  0, or -1 with an exception set.
int download_to(PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout);

}  // namespace sftp::session
