// Copying a complete download into an existing file in place, so that the
// file stays the same file.  The temporary file is read once.
#pragma once

#include "ref.hpp"

namespace sftp::session {

// os.open(path, <write-only, binary>, permissions): the descriptor.  With
// `create`, the file is created and must not exist yet.
Ref open_for_writing(PyObject* os, PyObject* path, bool create, long permissions);

// Writes the bytes of `source` into `destination` (created when `create`,
// and then removed again on failure).  The part beyond the destination's
// old end is written first: a full disk then fails before any old byte has
// changed, and the file is cut back to its old length.  0, or -1 with an
// exception set.
int copy_into(PyObject* os, PyObject* source, PyObject* destination, bool create);

}  // namespace sftp::session
