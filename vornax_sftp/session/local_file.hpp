// The local side of a download.  The client writes a file that is not the
// destination, so that a failed download leaves the destination exactly as
// it was; a complete file then takes the destination's place:
// - moved over it, when that loses nothing: a new destination, or one with
//   a single name, no extended attributes (ACLs among them) and the owner
//   and group a new file gets;
// - otherwise copied into the existing file, which keeps its other names,
//   owner, group, mode, ACLs and attributes.
// The temporary file lies beside the destination, or in the system's
// temporary directory when no entry can be made there.  A new destination
// for which not even that works is written directly and removed on failure.
#pragma once

#include "ref.hpp"

namespace sftp::session {

class LocalDestination {
public:
    // Decides how `destination` is written.  Returns 1 when the download
    // is managed here, 0 when `destination` (a device, a FIFO, a directory,
    // an object that is no path) must be handed to the client unchanged,
    // -1 on error (an existing file the caller may not write included).
    int prepare(PyObject* destination);

    // Creates the file the client writes; returns its path.
    Ref create_target();

    // Puts the complete file `written` in the destination's place.
    int commit(PyObject* written);

    // Removes `written`, keeping whatever exception is set.
    void discard(PyObject* written);

private:
    // An empty new file named after `base` in `directory`; its path.
    Ref temporary_in(PyObject* directory, PyObject* base, bool beside);
    int replace(PyObject* written);

    Ref os_;
    Ref path_;   // the destination, symbolic links resolved (str)
    Ref info_;   // its stat result, or empty when it does not exist yet
    Ref mode_;   // its permission bits, or empty when it does not exist yet
    bool move_ = true;     // the complete file may be moved over the destination
    bool direct_ = false;  // the client writes the (new) destination itself
};

}  // namespace sftp::session
