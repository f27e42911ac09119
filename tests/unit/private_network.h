#pragma once

#include <functional>

/// Runs `body` on a thread of its own inside a new, empty network namespace whose loopback it has
/// brought up, so that whatever `body` sends stays in that namespace. Returns false, without
/// running `body`, when the namespace cannot be made (not root) or is not empty (isolation
/// failed); the caller then skips. GoogleTest assertions in `body` count as usual.
/// On Windows the runner makes the namespace (tests/wine/wine_run.py --loopback); `body` runs,
/// with the socket library started, only when the process sees no interface but an up loopback.
bool RunInPrivateNetwork(const std::function<void()>& body);
