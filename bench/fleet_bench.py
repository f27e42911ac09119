#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Times torvane-devices updating 1, 8, 16 and 64 simulated devices on a virtual LAN of network
namespaces, paced like real devices (each reply a few milliseconds late, a slow erase), one by one
and with --parallel N. Prints per run the wall time, torvane-devices' CPU time per device and its
peak resident memory, checks every stored image, and sets the figures against the targets. See
README.md beside it.

Needs root (network namespaces) and a build: bench/fleet_bench.py [--build DIR] [--sizes 1 8 16 64]
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

from support import REPO, Simulator, in_namespace, padded

IMAGE_SIZE = 131072
# A reply 2 ms late and a 2.5 s erase: about 5 s a device, as measured on real ones.
PACING = ["--delay", "1:2", "--erase-ms", "2500"]
TARGETS = {16: 1.3, 64: 2.0}  # most wall time with --parallel N, in times one device's
PEAK_TARGET_KIB = 16 * 1024  # at --parallel 64


def ip(*arguments):
    subprocess.run(["ip", *arguments], check=True, timeout=30, capture_output=True)


class Lan:
    """The host 10.78.0.1/16 and `count` device hosts from 10.78.1.1, each a named network
    namespace, joined by a bridge in one more; removed when the `with` block ends."""

    def __init__(self, count):
        self.names = []
        self.bridge = self.add("tvbench-br")
        ip("-n", self.bridge, "link", "add", "br0", "type", "bridge")
        ip("-n", self.bridge, "link", "set", "br0", "up")
        self.pc = self.host("tvbench-pc", "10.78.0.1")
        self.devices = {f"10.78.{1 + n // 200}.{1 + n % 200}": None for n in range(count)}
        for n, address in enumerate(self.devices):
            self.devices[address] = self.host(f"tvbench-d{n}", address)

    def add(self, name):
        ip("netns", "add", name)
        self.names.append(name)
        return name

    def host(self, name, address):
        self.add(name)
        port = f"p{len(self.names)}"
        ip("-n", name, "link", "add", "eth0", "type", "veth", "peer", "name", port, "netns",
           self.bridge)
        ip("-n", self.bridge, "link", "set", port, "master", "br0", "up")
        ip("-n", name, "addr", "add", f"{address}/16", "dev", "eth0")
        ip("-n", name, "link", "set", "eth0", "up")
        ip("-n", name, "link", "set", "lo", "up")
        return name

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for name in reversed(self.names):
            subprocess.run(["ip", "netns", "delete", name], capture_output=True, timeout=30)


def update(build, lan, addresses, parallel, image, work):
    """One update of `addresses`, each by a fresh simulator, with --parallel `parallel`: (wall s,
    CPU s, peak KiB); raises when a device was not updated or stored another image."""
    simulators = []
    try:
        for n, address in enumerate(addresses):
            # Fresh, so that no image stored by an earlier run passes for this one's.
            folder = os.path.join(work, f"d{n}")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            simulators.append(Simulator(os.path.join(build, "torvane-devsim"),
                                        ["--quiet", "--once", "--timeout", "900", *PACING],
                                        folder, lan.devices[address]))
        command = in_namespace(lan.pc, [os.path.join(build, "torvane-bench"), "measure",
                                        os.path.join(build, "torvane-devices"), "update", image,
                                        *addresses, "--parallel", str(parallel)])
        run = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, timeout=900, start_new_session=True)
        words = run.stderr.split()[-8:]
        if words[0::2] != [b"status", b"wall_us", b"cpu_us", b"peak_kib"] or words[1] != b"0":
            raise RuntimeError(f"the update failed: {run.stderr[-2000:]!r}")
        expected = padded(open(image, "rb").read())
        if any(s.wait(10) != 0 or s.stored != expected for s in simulators):
            raise RuntimeError("a device did not store the image exactly")
        _, wall, cpu, peak = (int(value) for value in words[1::2])
        return wall / 1e6, cpu / 1e6, peak
    finally:
        for simulator in simulators:
            simulator.__exit__()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=REPO / "build",
                        help="build directory holding torvane-devices, torvane-devsim and "
                        "torvane-bench (default: build/ at the top of the tree)")
    parser.add_argument("--sizes", type=int, nargs="+", default=[1, 8, 16, 64])
    parser.add_argument("--one-by-one-up-to", type=int, default=64,
                        help="update the larger fleets with --parallel N only (64 one by one "
                        "takes over five minutes)")
    arguments = parser.parse_args()
    build = os.path.abspath(arguments.build)
    if os.geteuid() != 0:
        raise SystemExit("run it as root: it makes network namespaces")
    # The named network namespaces live in a mount namespace of the benchmark's own, on an empty
    # /run/netns: seen by it alone, they vanish with it even when it is killed.
    if not os.environ.get("TORVANE_BENCH_OWN_MOUNTS"):
        os.environ["TORVANE_BENCH_OWN_MOUNTS"] = "1"
        script = ("mkdir -p /run/netns && mount -t tmpfs -o mode=0755 tvbench /run/netns && "
                  'exec "$@"')
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                              script, "sh", sys.executable, *sys.argv])

    print("size  parallel   wall s  x one  CPU ms/device  peak KiB")
    results = {}
    with tempfile.TemporaryDirectory(prefix="torvane-fleet-bench-") as work, \
            Lan(max(arguments.sizes)) as lan:
        image = os.path.join(work, "image.bin")
        with open(image, "wb") as f:
            f.write(random.Random(1).randbytes(IMAGE_SIZE))
        for size in arguments.sizes:
            addresses = list(lan.devices)[:size]
            modes = [1, size] if 1 < size <= arguments.one_by_one_up_to else [size]
            for parallel in modes:
                wall, cpu, peak = update(build, lan, addresses, parallel, image, work)
                results[size, parallel] = wall, cpu / size, peak
                one = results.get((1, 1), (wall,))[0]
                print(f"{size:4d}  {parallel:8d}  {wall:7.2f}  {wall / one:5.2f}  "
                      f"{cpu / size * 1e3:13.1f}  {peak:8d}", flush=True)

    met = True
    one = results.get((1, 1))
    largest = max((size for size, parallel in results if parallel == 1), default=None)
    for size, target in TARGETS.items():
        if one and (size, size) in results:
            ratio = results[size, size][0] / one[0]
            print(f"{size} devices with --parallel {size}: {ratio:.2f} x one device "
                  f"(target at most {target})")
            met &= ratio <= target
    if (64, 64) in results:
        peak = results[64, 64][2]
        print(f"peak at --parallel 64: {peak} KiB (target under {PEAK_TARGET_KIB})")
        met &= peak < PEAK_TARGET_KIB
    for (size, parallel), (_, cpu, _) in sorted(results.items()):
        # Against the same fleet one by one, or the largest measured so.
        alone = results.get((size, 1)) or results.get((largest, 1))
        if parallel > 1 and alone:
            print(f"CPU per device at --parallel {parallel}: {cpu * 1e3:.1f} ms, one by one "
                  f"{alone[1] * 1e3:.1f} ms")
            met &= cpu <= alone[1]
    print(f"targets: {'met' if met else 'missed'}; every stored image exact")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
