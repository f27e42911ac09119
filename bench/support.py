# SPDX-License-Identifier: Apache-2.0
"""What the measurements in bench/ share, kept apart from the tests' harness: the repository's
paths, sample images, a private network namespace, bounded runs, and the device simulator started
and stopped by its pid."""
import ctypes
import os
import select
import signal
import subprocess
from collections import namedtuple
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# The last line of an update that succeeded, and of one that failed.
OK = b"Firmware upgraded, press any key to continue"
NG = b"Error encountered, press any key to continue"
CLONE_NEWNET = 0x40000000


def pattern(size):
    """Image bytes whose last byte is not zero, so zeros past it are the device's fill."""
    return bytes((i * 7 + 3) % 251 + 1 for i in range(size))


def padded(image):
    return image + bytes(-len(image) % 256)


def in_namespace(ns, command):
    return command if ns is None else ["ip", "netns", "exec", ns, *command]


def isolate():
    """Moves this process (and all it starts) into a network namespace of its own with only its
    loopback up, so nothing it sends can leave; refuses when that namespace is not a fresh one."""
    if os.geteuid() != 0:
        raise SystemExit("run it as root: it makes a network namespace")
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        raise SystemExit(f"unshare: {os.strerror(ctypes.get_errno())}")
    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, text=True,
                           check=True, timeout=10).stdout
    if links.count("\n") != 1 or not links.startswith("1: lo: "):
        raise SystemExit(f"the new network namespace is not empty: {links}")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=10)


def stop(process):
    """Ends one process started here, by its pid."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)
    return process.returncode


Run = namedtuple("Run", "status out err")


def run_bounded(command, seconds, **popen):
    """Runs `command` without a terminal and with standard input closed; its process group is
    killed after `seconds`, and the status is then None."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, start_new_session=True, **popen)
    try:
        out, err = process.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        return Run(None, out, err)
    return Run(process.returncode, out, err)


class Simulator:
    """torvane-devsim on port 36, ready once it has bound it; what it stored and its log under
    `work`; stopped by its pid when the `with` block ends."""

    def __init__(self, binary, options, work, ns=None):
        self.stored_path, self.log_path = Path(work, "device.stored"), Path(work, "device.log")
        ready_read, ready_write = os.pipe()
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                in_namespace(ns, [binary, "--ready-fd", str(ready_write), "--store",
                                  self.stored_path, *options]),
                pass_fds=(ready_write,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        os.close(ready_write)
        ready = select.select([ready_read], [], [], 10)[0] and os.read(ready_read, 16)
        os.close(ready_read)
        if ready != b"ready\n":
            stop(self.process)
            raise RuntimeError(f"the simulator did not get ready: {self.log_path.read_text()}")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        stop(self.process)

    def wait(self, seconds):
        """The exit status once it ends by itself (--once), else None."""
        try:
            return self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            return None

    @property
    def stored(self):
        return self.stored_path.read_bytes() if self.stored_path.exists() else None
