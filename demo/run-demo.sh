#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The demo: builds the utility and the device simulator, makes a private virtual LAN of network
# namespaces (the utility's host and a device host joined by a bridge, addresses that exist only
# inside them), starts the simulator on the device host, and updates it with torvane-fwupdate by
# discovery, with a setting string and a sample image made here. Then it checks the image and the
# setting string that the device stored. Everything it made is removed at the end, also after a
# failure or Ctrl+C.
#
# As root, from the top of a clone:  demo/run-demo.sh [--fault]
# --fault: the device's first erase never completes, so the first update cycle fails and the
# utility starts again, this time to the end.
# The simulator takes its time (a slow erase, each reply a little late) so that the progress can
# be watched; TORVANE_DEMO_NO_PACING=1 makes it answer at once.
# TORVANE_DEMO_NO_BUILD=1 skips installing packages and building (the executables must exist);
# TORVANE_DEMO_UTILITY and TORVANE_DEMO_SIMULATOR name the executables (default: build-demo/...).
set -euo pipefail
script=$(realpath "$0")
cd "$(dirname "$0")/.."

say() { printf '\n== %s\n' "$*"; }
fail() {
  printf 'Demo failed: %s\n' "$*" >&2
  exit 1
}

fault=""
case "${1:-}" in
  "") ;;
  --fault) fault=1 ;;
  *) fail "unknown argument $1 (usage: demo/run-demo.sh [--fault])" ;;
esac
[ "$(id -u)" -eq 0 ] || fail "run it as root: it makes network namespaces"
# The network namespaces are made in a mount namespace of the demo's own, on an empty /run/netns:
# seen by the demo alone, they vanish with it even when it is killed outright.
if [ -z "${TORVANE_DEMO_OWN_MOUNTS:-}" ]; then
  export TORVANE_DEMO_OWN_MOUNTS=1
  exec unshare --mount --propagation private -- bash -c \
    'mkdir -p /run/netns && mount -t tmpfs -o mode=0755 tvdemo /run/netns && exec "$@"' bash \
    "$script" "$@"
fi

if [ -z "${TORVANE_DEMO_NO_BUILD:-}" ]; then
  say "Installing missing packages, then building"
  bash .ci/install-packages --build
  # A build of its own without the tests, which need packages of their own.
  cmake --preset default -B build-demo -DTORVANE_BUILD_TESTS=OFF
  cmake --build build-demo --target torvane-fwupdate torvane-devsim
fi
utility=$(realpath -m "${TORVANE_DEMO_UTILITY:-build-demo/torvane-fwupdate}")
simulator=$(realpath -m "${TORVANE_DEMO_SIMULATOR:-build-demo/torvane-devsim}")
[ -x "$utility" ] && [ -x "$simulator" ] || fail "no executables at $utility and $simulator"

tag="tvdemo$$"
bridge="$tag-br"
pc="$tag-pc"
device="$tag-dev"
pc_address=10.77.0.1
device_address=10.77.0.20
setting="demo site 7"
image_size=100000
made=()
simulator_pid=""
work=""

# Stops the simulator by its pid and removes the namespaces and files; safe to call twice.
teardown() {
  if [ -n "$simulator_pid" ]; then
    kill -TERM "$simulator_pid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 "$simulator_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$simulator_pid" 2>/dev/null || true
    wait "$simulator_pid" 2>/dev/null || true
    simulator_pid=""
  fi
  local i
  for ((i = ${#made[@]} - 1; i >= 0; i--)); do
    ip netns delete "${made[i]}" 2>/dev/null || true
  done
  made=()
  if [ -n "$work" ]; then
    rm -rf "$work"
    work=""
  fi
}
trap 'status=$?; trap - EXIT; teardown; exit $status' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A new namespace starts with its loopback down: anything else means it is not ours alone.
add_namespace() {
  ip netns add "$1"
  made+=("$1")
  ip -n "$1" -o link show lo | grep -q '<[^>]*UP' && fail "namespace $1 is not a fresh one"
  return 0
}

say "Making a private virtual LAN: utility host $pc_address, device host $device_address"
work=$(mktemp -d /tmp/torvane-demo.XXXXXX)
add_namespace "$bridge"
ip -n "$bridge" link add br0 type bridge
ip -n "$bridge" link set br0 up
index=0
for entry in "$pc $pc_address" "$device $device_address"; do
  read -r namespace address <<<"$entry"
  add_namespace "$namespace"
  ip -n "$namespace" link add eth0 type veth peer name "v$index" netns "$bridge"
  ip -n "$bridge" link set "v$index" master br0 up
  ip -n "$namespace" addr add "$address/24" dev eth0
  ip -n "$namespace" link set eth0 up
  ip -n "$namespace" link set lo up
  # The broadcast to 255.255.255.255 leaves by the default route: keep it on this LAN.
  ip -n "$namespace" route add default dev eth0
  index=$((index + 1))
done

device_options=()
if [ -n "$fault" ]; then
  # The erase still busy at every one of the 35 reads the utility makes: the cycle fails. Only in
  # the first cycle: the next erase completes.
  device_options+=(--erase-reads 36 --fault-cycles 1)
fi
if [ -z "${TORVANE_DEMO_NO_PACING:-}" ]; then
  # Every transfer reply 4 ms late: the program and verify percentages take seconds to reach 100.
  device_options+=(--delay 1:4)
  # An erase that takes 2.5 s: a "+" for each second the utility waits. With --fault the erase's
  # timing would hold for the failing cycle alone.
  [ -n "$fault" ] || device_options+=(--erase-ms 2500)
fi

say "Starting the device simulator on the device host${fault:+, its first erase set to fail}"
mkfifo "$work/ready"
ip netns exec "$device" "$simulator" --once --timeout 60 --store "$work/stored.bin" \
  --store-setting "$work/setting.bin" --ready-fd 3 "${device_options[@]}" 3>"$work/ready" \
  2>"$work/device.log" </dev/null >/dev/null &
simulator_pid=$!
ready=""
read -r -t 10 ready <"$work/ready" || true
[ "$ready" = ready ] || fail "the simulator did not start: $(cat "$work/device.log")"

head -c "$image_size" /dev/urandom >"$work/sample.bin"
say "Updating the device found by discovery with a $image_size-byte sample image and the setting string \"$setting\""
echo "   torvane-fwupdate sample.bin \"-p$setting\"   (no address given: it broadcasts to find the device)"
if (: </dev/tty) 2>/dev/null; then
  echo "   When the OK banner shows, the utility waits for one key: press any key."
else
  echo "   No terminal here: the utility ends at once after the banner, without waiting for a key."
fi
if [ -n "$fault" ]; then
  echo "   The first erase fails (\"Error\"); the utility starts the cycle again with a new erase."
fi
echo
utility_status=0
ip netns exec "$pc" "$utility" "$work/sample.bin" "-p$setting" </dev/null || utility_status=$?
echo

say "Checking what the device received"
for _ in $(seq 100); do
  kill -0 "$simulator_pid" 2>/dev/null || break
  sleep 0.1
done
simulator_status=0
if kill -0 "$simulator_pid" 2>/dev/null; then
  simulator_status=timeout
else
  wait "$simulator_pid" || simulator_status=$?
  simulator_pid=""
fi
grep -E '^(discover|identify|setting|start|erase|finish|end) ' "$work/device.log" |
  sed 's/^/   device: /' || true
[ "$utility_status" -eq 1 ] || fail "torvane-fwupdate ended with status $utility_status (1 expected)"
[ "$simulator_status" = 0 ] || fail "the device did not complete the update (simulator: $simulator_status)"
cmp -n "$image_size" "$work/sample.bin" "$work/stored.bin" ||
  fail "the image the device stored differs from the sample"
echo "   Stored image: the same $image_size bytes as the sample."
received=$(cat "$work/setting.bin" 2>/dev/null || true)
echo "   Setting string that arrived: \"$received\""
[ "$received" = "$setting" ] || fail "the setting string arrived as \"$received\""
if [ -n "$fault" ]; then
  grep -q '^erase 2 ' "$work/device.log" || fail "the device was erased only once: no cycle failed"
fi

teardown
echo "   Virtual LAN removed, simulator stopped."
echo
echo "Demo passed: found by discovery at $device_address,${fault:+ recovered from a failed erase,} the device took the setting string and stored the sample image intact."
