"""Shared pieces of the end-to-end suites: isolation in network namespaces, the simulator as a
process stopped by its pid, runs of the utility with bounded time, and the start-up banner.

Every suite that sends a datagram calls `isolate()` first (or builds a `Lan`), so nothing can leave
the namespaces it made. Python standard library only.
"""
import ctypes
import json
import os
import re
import select
import signal
import subprocess
import sys
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE for every suite
CLONE_NEWNET = 0x40000000

BANNER = re.compile(
    rb"Torvane Firmware Update Utility\.   [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
    rb"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\r?\n\r?\n")


def loopback_is_down(prefix=()):
    """True in a namespace that nobody has set up yet: its loopback starts down. `prefix` runs the
    check elsewhere, e.g. ("unshare", "--net", "--") in a namespace made for it alone."""
    try:
        shown = subprocess.run([*prefix, "ip", "-o", "link", "show", "lo"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, timeout=10)
    except OSError:
        return False
    flags = re.search(rb"<([^>]*)>", shown.stdout)
    return shown.returncode == 0 and flags is not None and b"UP" not in flags.group(1).split(b",")


def unshare_isolates():
    """True when `unshare --net` makes a new network namespace, as the suites that run a program
    under it need: not root, or a loopback already up (isolation failed), gives False."""
    return loopback_is_down(("unshare", "--net", "--"))


def isolate():
    """Moves this process into a new network namespace and brings its loopback up. Exits with
    SKIP when that is impossible (not root), and fails when the namespace was not new."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        print(f"skipped: cannot create a network namespace: {os.strerror(ctypes.get_errno())}")
        sys.exit(SKIP)
    if not loopback_is_down():
        print("isolation failed: the new namespace's loopback was already up")
        sys.exit(1)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=10)


def in_namespace(namespace, command):
    """`command` run inside the named namespace (`ip netns`), or as it is when namespace is None."""
    return command if namespace is None else ["ip", "netns", "exec", namespace, *command]


class Simulator:
    """torvane-devsim started with `arguments`, ready when port 36 is bound, its log in a file.
    Use as a context manager: it is stopped by its pid on the way out, whatever happened."""

    def __init__(self, binary, arguments, log_path, namespace=None, ready_seconds=10):
        ready_read, ready_write = os.pipe()
        self.log_path = log_path
        with open(log_path, "wb") as log:
            command = in_namespace(namespace, [binary, "--ready-fd", str(ready_write), *arguments])
            self.process = subprocess.Popen(command, pass_fds=(ready_write,),
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=log)
        os.close(ready_write)
        readable, _, _ = select.select([ready_read], [], [], ready_seconds)
        line = os.read(ready_read, 16) if readable else b""
        os.close(ready_read)
        if line != b"ready\n":
            self.stop()
            raise RuntimeError(f"simulator did not get ready: {self.log()}")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def wait(self, seconds):
        """The simulator's exit status once it ends by itself within `seconds`, else None."""
        try:
            return self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        """Ends the simulator (SIGTERM, then SIGKILL after 5 s) and returns its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)
        return self.process.returncode

    def log(self):
        with open(self.log_path, "r", errors="replace") as log:
            return log.read()


class Run:
    """One finished run of the utility."""

    def __init__(self, stdout, status, seconds):
        self.stdout = stdout
        self.status = status
        self.seconds = seconds

    def after_banner(self):
        """Standard output after the start-up banner, or None when the banner is missing."""
        match = BANNER.match(self.stdout)
        return self.stdout[match.end():] if match else None


def run_utility(command, arguments, timeout, namespace=None, cwd=None, env=None):
    """Runs the utility (`command` is a list: the executable, or an emulator and the executable)
    without a terminal and with no standard input; kills it after `timeout` seconds."""
    started = time.monotonic()
    process = subprocess.Popen(in_namespace(namespace, [*command, *arguments]), cwd=cwd, env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, start_new_session=True)
    try:
        stdout, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        stdout, _ = process.communicate()
        return Run(stdout, None, time.monotonic() - started)
    return Run(stdout, process.returncode, time.monotonic() - started)


class Lan:
    """A small virtual LAN of network namespaces: one bridge namespace and one namespace per host,
    each joined to the bridge by a veth pair, with addresses that exist only inside them.
    Namespace names carry this process's pid, so suites can run side by side. Removed on exit."""

    def __init__(self, hosts, tag=None):
        """`hosts` maps a short host name to its address with prefix, e.g. {"pc": "10.77.0.1/24"}.
        `tag` starts every namespace name (default "tv" and the pid); a process that builds
        several LANs at once gives each its own tag, e.g. f"tv{os.getpid()}c{n}"."""
        self.tag = tag or f"tv{os.getpid()}"
        self.bridge = f"{self.tag}-br"
        self.namespaces = {name: f"{self.tag}-{name}" for name in hosts}
        self.addresses = {name: address.split("/")[0] for name, address in hosts.items()}
        self._made = []
        try:
            self._ip("netns", "add", self.bridge)
            self._made.append(self.bridge)
            self._ip("-n", self.bridge, "link", "add", "br0", "type", "bridge")
            self._ip("-n", self.bridge, "link", "set", "br0", "up")
            for index, (name, address) in enumerate(hosts.items()):
                namespace = self.namespaces[name]
                self._ip("netns", "add", namespace)
                self._made.append(namespace)
                outside = f"v{index}"
                self._ip("-n", namespace, "link", "add", "eth0", "type", "veth", "peer", "name",
                         outside, "netns", self.bridge)
                self._ip("-n", self.bridge, "link", "set", outside, "master", "br0", "up")
                self._ip("-n", namespace, "addr", "add", address, "dev", "eth0")
                self._ip("-n", namespace, "link", "set", "eth0", "up")
                self._ip("-n", namespace, "link", "set", "lo", "up")
                # Broadcasts to 255.255.255.255 leave by the default route; keep it on the LAN.
                self._ip("-n", namespace, "route", "add", "default", "dev", "eth0")
        except Exception:
            self.remove()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.remove()

    def remove(self):
        for namespace in reversed(self._made):
            subprocess.run(["ip", "netns", "delete", namespace], stderr=subprocess.DEVNULL,
                           timeout=10)
        self._made = []

    def isolated(self):
        """True when every namespace of the LAN is a network namespace other than this process's."""
        own = os.stat("/proc/self/ns/net").st_ino
        return all(os.stat(f"/run/netns/{namespace}").st_ino != own
                   for namespace in [self.bridge, *self.namespaces.values()])

    @staticmethod
    def _ip(*arguments):
        subprocess.run(["ip", *arguments], check=True, timeout=10, stdout=subprocess.DEVNULL)


def namespaces_available():
    """True when this process may create named network namespaces (root)."""
    return os.geteuid() == 0 and subprocess.run(["ip", "netns", "list"], stdout=subprocess.DEVNULL,
                                                stderr=subprocess.DEVNULL).returncode == 0


def run_case_in_child(name, command, timeout):
    """Runs one case in a child process (`command` runs the suite again for that case alone,
    which prints its problems as a JSON list on its last line). Returns (name, problems); a
    child that does not end in `timeout` seconds or prints no list is a problem itself."""
    try:
        child = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               timeout=timeout)
    except subprocess.TimeoutExpired:
        return name, ["the case did not end in time"]
    lines = child.stdout.decode(errors="replace").splitlines()
    try:
        return name, json.loads(lines[-1])
    except (IndexError, ValueError):
        return name, [f"the case ended with status {child.returncode}: {lines[-20:]}"]


def report(results):
    """Prints one line per case and the closing count; returns the exit status."""
    failed = 0
    for name, problems in results:
        print(("ok   " if not problems else "FAIL ") + name)
        for problem in problems:
            print("     " + problem)
        failed += bool(problems)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0
