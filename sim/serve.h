// SPDX-License-Identifier: Apache-2.0
// The simulator's edge on POSIX systems: plays the device on UDP port 36, and first makes sure
// it is not about to do so on the machine's own network.
#pragma once

#include <initializer_list>
#include <string>

#include "sim/sim_options.h"

namespace devsim {

/// Where a network namespace stands, as far as can be shown.
enum class NetworkNamespace { Private, Initial, Unknown };

/// A verdict on a network namespace and, for `Unknown`, why it cannot be told.
struct NamespaceVerdict {
  NetworkNamespace kind = NetworkNamespace::Unknown;
  std::string why;
};

/// Tells the namespace file `own` (/proc/self/ns/net) apart from the machine's first: `Private`
/// when it belongs to a user namespace other than the machine's first (which owns the first
/// network namespace), or is another file than the first of `initial` that can be read
/// (/proc/1/ns/net, then /proc/2/ns/net); `Initial` when it is that same file (device and
/// inode). `Unknown` when `own`, or every one of `initial`, cannot be read, with the files and
/// the system's reasons in `why`.
NamespaceVerdict ClassifyNetworkNamespace(const char* own,
                                          std::initializer_list<const char*> initial);

/// Plays the device on UDP port 36 of every local address, answering from the address each request
/// reached, until a signal (SIGINT, SIGTERM), the end of the first update with `once`, or
/// `timeoutSeconds` without a datagram; logs the dialogue on standard error unless `quiet`.
/// Without `hostNetwork`, refuses a network namespace that it cannot show to be another than the
/// machine's initial one, before any socket is made. Returns the exit status (see sim_options.h);
/// each failure comes with a message saying why.
int ServeDevice(const SimOptions& options);

}  // namespace devsim
