// Writing a complete download into the destination's own file, so that it
// stays the same file: every name of it sees the new bytes, and its owner,
// group, mode, ACLs and attributes stay as they are.
#pragma once

#include "ref.hpp"

namespace sftp::session {

// Copies the `size` bytes of the descriptor `reader` into the descriptor
// `fd`: locks it (flock, where the platform has one) so that concurrent
// downloads into it write whole versions one after another, reserves the
// space the new bytes need before any old byte changes (posix_fallocate,
// where the platform has it), writes them, and cuts the file to their
// length.  0, or -1 with an exception set.
int copy_into(PyObject* os, PyObject* reader, PyObject* fd, long long size);

}  // namespace sftp::session
