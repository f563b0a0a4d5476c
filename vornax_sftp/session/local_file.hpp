// The local side of a download: the file is written under a temporary name
// beside its destination and moved into place only once complete, so that
// a failed download leaves the destination exactly as it was.
#pragma once

#include "ref.hpp"

namespace sftp::session {

class LocalDestination {
public:
    // Decides how `destination` is written.  Returns 1 when the download
    // goes through a temporary file, 0 when `destination` (a device, a
    // FIFO, a directory, an object that is no path) must be handed to the
    // client unchanged, -1 on error.
    int prepare(PyObject* destination);

    // Creates the empty temporary file; returns its path.
    Ref create_temporary();

    // Gives the temporary file the destination's permissions and moves it
    // over the destination.
    int commit(PyObject* temporary);

    // Removes the temporary file, keeping whatever exception is set.
    void discard(PyObject* temporary);

private:
    Ref os_;
    Ref path_;   // the file to replace, symbolic links resolved (str)
    Ref mode_;   // its permission bits, or empty when it does not exist yet
};

}  // namespace sftp::session
