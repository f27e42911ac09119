#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs a command, the pytest cases, in a mount namespace of its own on an empty /run/netns: the
# named network namespaces that it makes (ip netns add) are mounts seen by it alone, and vanish with
# it, also when it is killed. Without root it runs the command as it is (those cases skip then).
[ "$(id -u)" -eq 0 ] || exec "$@"
exec unshare --mount --propagation private -- sh -c \
  'mkdir -p /run/netns && mount -t tmpfs -o mode=0755 torvane-netns /run/netns && exec "$@"' sh "$@"
