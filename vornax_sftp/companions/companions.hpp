// Calls into the companion classes VornaxLog, VornaxVar and VornaxSSH, and
// reads of the configuration object they make.  Each class is looked up as
// a module global at every call.  All throw PythonError.
#pragma once

#include "ref.hpp"

namespace sftp::companions {

// VornaxLog(file=False)
Ref new_logger();

// VornaxVar(**config); None is refused with the message Python gives for
// `**None`.
Ref new_config(PyObject* config);

// VornaxSSH(self._config.todict()).connect()
Ref config_through_ssh(PyObject* self);

// self._config.<name>, both read afresh.  With `optional`, an empty Ref
// where the configuration object has no such attribute (a tunnel's
// configuration need not have `get`).
Ref config_attr(PyObject* self, PyObject* name, bool optional = false);

}  // namespace sftp::companions
