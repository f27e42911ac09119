#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Times a whole-image update (131072 bytes) of the simulator against a baseline that makes the
same 1037 exchanges with a minimal peer over the same loopback, in a private network namespace.
Prints, per run and as medians and minimums: the update's wall time, the wall time less the pauses
the dialogue mandates (500 ms before it, 5 x 10 ms in the closing), the baseline, their ratio, the
utility's CPU time and its peak resident memory. See README.md beside it.

Needs root (a network namespace) and a build: bench/transfer_bench.py [--build DIR] [--runs N].
"""
import argparse
import os
import pty
import random
import select
import statistics
import subprocess
import sys
import tempfile

from support import REPO, Simulator, isolate

IMAGE_SIZE = 131072
MANDATED_PAUSES = 0.5 + 5 * 0.010
TARGET = "127.0.0.1"
RATIO_TARGET, CPU_TARGET_MS, PEAK_TARGET_KIB = 1.3, 30.0, 4096


def measure(build, command, stdout):
    """Runs `command` under `torvane-bench measure`, which forks it from a small process so that
    the peak resident size is the command's own (a child forked from Python would inherit
    Python's). Returns (exit status, wall s, CPU s, peak KiB)."""
    # A session of its own has no controlling terminal, so the utility's key wait ends at once
    # even when the benchmark runs in one.
    run = subprocess.run([os.path.join(build, "torvane-bench"), "measure", *command],
                         stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                         start_new_session=True, timeout=60)
    words = run.stderr.split()
    if run.returncode != 0 or words[0::2] != [b"status", b"wall_us", b"cpu_us", b"peak_kib"]:
        raise RuntimeError(f"cannot measure {command[0]}: {run.stderr!r}")
    status, wall, cpu, peak = (int(value) for value in words[1::2])
    return status, wall / 1e6, cpu / 1e6, peak


class Peer:
    """The baseline's minimal peer on port 36, stopped by its pid."""

    def __init__(self, build):
        ready_read, ready_write = os.pipe()
        self.process = subprocess.Popen(
            [os.path.join(build, "torvane-bench"), "serve", "36", str(ready_write)],
            pass_fds=(ready_write,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        os.close(ready_write)
        ready = select.select([ready_read], [], [], 10)[0] and os.read(ready_read, 16)
        os.close(ready_read)
        if ready != b"ready\n":
            self.stop()
            raise RuntimeError("the baseline peer did not get ready")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def run_utility(build, image, on_terminal):
    """One update; standard output on a pseudo-terminal (flushed at every print, as a user sees
    it) or on /dev/null (buffered, as from a script)."""
    command = [os.path.join(build, "torvane-fwupdate"), image, TARGET]
    if not on_terminal:
        with open(os.devnull, "wb") as null:
            return measure(build, command, null)
    master, slave = pty.openpty()
    try:
        # About 6 KB reach the terminal, well within what it buffers; read after the run.
        measured = measure(build, command, slave)
        while select.select([master], [], [], 0)[0] and os.read(master, 65536):
            pass
        return measured
    finally:
        os.close(master)
        os.close(slave)


def update_simulator(build, image, work, on_terminal):
    with Simulator(os.path.join(build, "torvane-devsim"), ["--quiet", "--once", "--timeout", "10"],
                   work) as device:
        measured = run_utility(build, image, on_terminal)
        device_status = device.wait(10)
    if measured[0] != 1 or device_status != 0:
        raise RuntimeError(f"the update failed: utility {measured[0]}, device {device_status}")
    return measured


def update_peer(build, image):
    """The utility against the minimal peer: what the utility itself adds to the exchanges."""
    with Peer(build):
        measured = run_utility(build, image, False)
    if measured[0] != 1:
        raise RuntimeError(f"the update of the minimal peer failed: {measured[0]}")
    return measured


def baseline(build):
    with Peer(build):
        status, wall, _, _ = measure(build, [os.path.join(build, "torvane-bench"), "client",
                                             TARGET, "36"], subprocess.DEVNULL)
    if status != 0:
        raise RuntimeError(f"the baseline client failed with status {status}")
    return wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=REPO / "build",
                        help="build directory holding torvane-fwupdate, torvane-devsim and "
                        "torvane-bench (default: build/ at the top of the tree)")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--terminal", action="store_true",
                        help="also time updates with standard output on a pseudo-terminal")
    parser.add_argument("--cpu", type=int,
                        help="run every process on this one CPU: steadier figures where waking "
                        "a process on another CPU is slow or erratic (virtual machines)")
    arguments = parser.parse_args()
    build = os.path.abspath(arguments.build)
    isolate()
    if arguments.cpu is not None:
        os.sched_setaffinity(0, {arguments.cpu})  # inherited by every process started below

    outputs = ["redirected"] + (["terminal"] if arguments.terminal else [])
    rows = {output: [] for output in outputs}
    print("Milliseconds, but the ratio and the peak (KiB). 'peer': the update of the baseline's "
          "peer instead of the simulator, less pauses, output redirected.")
    header = ("run", "output", "wall", "-pauses", "peer", "baseline", "ratio", "CPU", "peak")
    print("{:>3} {:<10} {:>7} {:>7} {:>7} {:>8} {:>5} {:>5} {:>5}".format(*header))
    with tempfile.TemporaryDirectory(prefix="torvane-bench-") as work:
        image = os.path.join(work, "image.bin")
        with open(image, "wb") as f:
            f.write(random.Random(1).randbytes(IMAGE_SIZE))
        # Interleaved, so that a burst of load elsewhere spreads over all the figures.
        for run in range(1, arguments.runs + 1):
            for output in outputs:
                _, wall, cpu, peak = update_simulator(build, image, work, output == "terminal")
                peer = update_peer(build, image)[1] - MANDATED_PAUSES
                base = baseline(build)
                net = wall - MANDATED_PAUSES
                row = (wall * 1e3, net * 1e3, peer * 1e3, base * 1e3, net / base, cpu * 1e3, peak)
                rows[output].append(row)
                print("{:>3} {:<10} {:7.1f} {:7.1f} {:7.1f} {:8.1f} {:5.2f} {:5.1f} {:5d}".format(
                    run, output, *row))

    met = True
    for output in outputs:
        columns = list(zip(*rows[output]))
        for name, pick in (("median", statistics.median), ("minimum", min)):
            wall, net, peer, base, _, cpu, peak = (pick(column) for column in columns)
            # The ratio of the two figures, not a figure of the ratios: a slow baseline run
            # (load elsewhere) would otherwise pass for a fast update.
            ratio = net / base
            print(f"{name} {output}: wall {wall:.1f} ms, less pauses {net:.1f} ms (against the "
                  f"peer {peer:.1f} ms), baseline {base:.1f} ms, ratio {ratio:.2f}, CPU "
                  f"{cpu:.1f} ms, peak {peak:.0f} KiB")
            if name == "median":
                met &= ratio <= RATIO_TARGET and cpu < CPU_TARGET_MS and peak < PEAK_TARGET_KIB
    print(f"targets (medians): ratio at most {RATIO_TARGET}, CPU under {CPU_TARGET_MS:.0f} ms, "
          f"peak under {PEAK_TARGET_KIB} KiB: {'met' if met else 'missed'}")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
