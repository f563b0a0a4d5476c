// The local side of a download to a path; docs/downloads.md tells it in full.
//
// An existing regular file is opened first, by the caller's path text, with the client's own open
// flags minus truncation (a lease being broken is waited for, as `get` would); its directory is
// pinned by a descriptor opened once from that text (Windows: reached by the text).
//
// Nothing at the path (Linux): the client writes, through /proc/self/fd/N, a file made with O_TMPFILE
// in that directory, mode 0666 less the umask (or as the default ACL says), linked in under the name
// (linkat, AT_SYMLINK_FOLLOW) only once complete.  Nothing is created before, nothing removed after;
// a refused directory ends the download before any transfer; a name there by then is an existing file.
//
// An existing file takes such a file's bytes (made there, else in the temporary directory) under an
// exclusive flock, waited for in full or until the `timeout` (none on Windows): space reserved with
// its size left alone, the part past the old end, the old part, the cut to size.
//
// Without O_TMPFILE or /proc (Windows, a chroot), the file has a name (0600), only in a directory
// where no other user may rename or remove it (sticky, or writable by its owner alone, the caller or
// root; Windows: an open file cannot be renamed), else in the temporary directory, else the client
// writes the destination itself; a new destination is made once the bytes are all there, and the
// name goes through the pinned directory.
//
// Success means the name in the pinned directory names the file written.  A failure before an old
// byte is overwritten leaves the destination as it was; cleanup always completes, an interrupt
// meanwhile raised once it is done.
#pragma once

#include "errors.hpp"

namespace sftp::session {

// getter(source, destination) through the above for the path of a regular file or of nothing, else
// unchanged; `timeout` (or None) bounds the wait for the lock.  True, or false with the exception
// set: not thrown, for a failed download is a routine answer.
bool download_to(PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout);

}  // namespace sftp::session
