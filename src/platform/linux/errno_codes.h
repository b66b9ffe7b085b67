// Linux's errno as the Windows error code, the one translation of both Linux backends (the
// emulated Windows facilities, posix/, and the running machine, linux/): files, named objects,
// sockets, devices, volumes.
#pragma once

#include "platform/errors.h"

namespace platform::posix {

// The code Windows gives for the same failure (a name too long 206, a read-only medium 19), 31
// for what has no counterpart. ENOENT maps to 2; callers that can tell a missing folder from a
// missing file use missing_path_error (posix/common.h) instead.
Error from_errno(int e);

} // namespace platform::posix
