// SPDX-License-Identifier: Apache-2.0
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

/// Plays the device on UDP port 36 of every local address, answering from the address each request
/// reached, until a signal (SIGINT, SIGTERM), the end of the first update with `once`, or
/// `timeoutSeconds` without a datagram; logs the dialogue on standard error unless `quiet`.
/// Refuses the machine's initial network namespace without `hostNetwork`, before any socket is
/// made. Returns the exit status (see sim_options.h); each failure comes with a message saying why.
int ServeDevice(const SimOptions& options);

}  // namespace devsim
