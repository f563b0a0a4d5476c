// Calls into the companion classes VornaxLog, VornaxVar and VornaxSSH.
// Each class is looked up as a module global at every call.
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

}  // namespace sftp::companions
