// Writing a complete download into the destination's own file, so that it
// stays the same file: every name of it sees the new bytes, and its owner,
// group, mode, ACLs and attributes stay as they are.
#pragma once

#include <initializer_list>

#include "ref.hpp"

namespace sftp::session {

// Copies the `size` bytes of the descriptor `reader` into the descriptor
// `fd`: locks it (flock, where the platform has one) so that concurrent
// downloads into it write whole versions one after another, reserves the
// space the new bytes need before any old byte changes (posix_fallocate,
// where the platform has it), writes them, and cuts the file to their
// length.  0, or -1 with an exception set.
int copy_into(PyObject* os, PyObject* reader, PyObject* fd, long long size);

// os.open(path, flags, mode), `flags` the named os constants or'ed
// together; names the platform lacks (O_BINARY off Windows, O_NONBLOCK on
// it) and null entries count as 0.
Ref open_file(PyObject* os, PyObject* path, std::initializer_list<PyObject*> flags, long mode);

// The module `name`, or an empty Ref with no exception set where the
// platform has no such module (fcntl on Windows).
Ref optional_module(PyObject* name);

}  // namespace sftp::session
