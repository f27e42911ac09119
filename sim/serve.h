// The simulator's edge on POSIX systems: plays the device on UDP port 36, and first makes sure
// it is not about to do so on the machine's own network.
#pragma once

#include <initializer_list>

#include "sim/sim_options.h"

namespace devsim {

/// Where a network namespace stands, as far as can be told.
enum class NetworkNamespace { Private, Initial, Unknown };

/// Compares the namespace file `own` (/proc/self/ns/net) with the first of `initial` that can be
/// read (/proc/1/ns/net, then /proc/2/ns/net): the same file (device and inode) is `Initial`,
/// another one `Private`. `Unknown` when `own` or every one of `initial` cannot be read.
NetworkNamespace ClassifyNetworkNamespace(const char* own,
                                          std::initializer_list<const char*> initial);

/// Plays the device on UDP port 36 of every local address until a signal (SIGINT, SIGTERM), the
/// end of the first update with `once`, or `timeoutSeconds` without a datagram. Logs the dialogue
/// on standard error unless `quiet`; replies leave port 36 for the address and port they answer,
/// from the address the request reached. Returns the exit status: `ExitUpdateComplete` or
/// `ExitUpdateFailed` (see `SimOptions::once`), `ExitHostNetwork` (before any socket is made) in
/// the machine's initial network namespace without `hostNetwork`, `ExitSystem` when port 36
/// cannot be bound or a store file cannot be written, `ExitIdle` on the time-out; each failure
/// with a message saying why.
int ServeDevice(const SimOptions& options);

}  // namespace devsim
