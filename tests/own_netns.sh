#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs a command (pytest) in a mount namespace of its own on an empty /run/netns: the named network
# namespaces it makes are seen by it alone and vanish with it, even killed. Without root, as it is.
[ "$(id -u)" -eq 0 ] || exec "$@"
exec unshare --mount --propagation private -- sh -c \
  'mkdir -p /run/netns && mount -t tmpfs -o mode=0755 torvane-netns /run/netns && exec "$@"' sh "$@"
