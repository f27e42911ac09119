// The simulator's edge on POSIX systems: plays the device on UDP port 36.
#pragma once

#include "sim/sim_options.h"

namespace devsim {

/// Plays the device on UDP port 36 of every local address until a signal (SIGINT, SIGTERM), the
/// end of the first update with `once`, or `timeoutSeconds` without a datagram. Logs the dialogue
/// on standard error unless `quiet`; replies leave port 36 for the address and port they answer,
/// from the address the request reached. Returns the exit status: `ExitUpdateComplete` or
/// `ExitUpdateFailed` (see `SimOptions::once`), `ExitSystem` when port 36
/// cannot be bound or a store file cannot be written, `ExitIdle` on the time-out; each failure
/// with a message saying why.
int ServeDevice(const SimOptions& options);

}  // namespace devsim
