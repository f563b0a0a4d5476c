// The local side of a download to a path.  The client writes a temporary
// file, so that a failed download leaves the destination exactly as it was.
// Only a complete download opens the destination, the way the client's own
// open would: the kernel judges links, protected directories and
// permissions, and every decision after that is made on the file opened.
// The new bytes then reach it in one of two ways:
// - the temporary file is moved over it when that loses and widens
//   nothing: it is still the file at the path, with one name, the caller's
//   owner and group, no set-id bits, and the same extended attributes
//   (ACLs among them) as the temporary file;
// - otherwise they are copied into the opened file (copy_in.hpp).
#pragma once

#include "ref.hpp"

namespace sftp::session {

// getter(source, destination) through a temporary file when `destination`
// is the path of a regular file or of nothing yet; anything else (a link to
// a device, a FIFO, a directory, an object that is no path) goes to the
// getter unchanged.  0, or -1 with an exception set.
int download_to(PyObject* getter, PyObject* source, PyObject* destination);

}  // namespace sftp::session
