# SPDX-License-Identifier: Apache-2.0
"""The harness of every Python test: the build's paths, a private network namespace per test, a LAN
of named namespaces, the device simulator, and bounded runs of the utility on a platform (native,
under valgrind's memcheck, or the Windows .exe under Wine with a Wine session of its own)."""
import ctypes
import fcntl
import glob
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
from collections import namedtuple
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
SCALE = 1.0  # --scale: stretches every bound for slow builds
BANNER = (rb"Torvane Firmware Update Utility\.   [A-Z][a-z]{2} [ 1-3]\d \d{4} "
          rb"[0-2]\d:[0-5]\d:[0-5]\d")
LOGS = pytest.StashKey()
KEY = bytes.fromhex("6bd219a73cf0854e912dc8570eb37ae4259f68c1500bde36af7413e98a42fd97")

# What an update prints after the start-up banner, written out by hand.
UPDATING = b"Updating 127.0.0.1\n"
ERASE = b"Erase" + b" " * 15
ERASED = ERASE + b"+\b \b\b\b\b Ok\n"
ERROR = b"\b\b\b\b\b\b Error\n"
PROGRAM, VERIFY = b"Program" + b" " * 13, b"Verify" + b" " * 14
ONE_BLOCK = b"\b\b\b\b\b  0 %\b\b\b\b\b100 %\n"
FOUR_BLOCKS = b"\b\b\b\b\b  0 %\b\b\b\b\b 25 %\b\b\b\b\b 50 %\b\b\b\b\b 75 %\b\b\b\b\b100 %\n"
OK = (b"\n"
      b"\n           OOOOOO       K    K"
      b"\n           O    O       K   K"
      b"\n           O    O       K  K"
      b"\n           O    O       KKK"
      b"\n           O    O       K  K"
      b"\n           O    O       K   K"
      b"\n           OOOOOO       K    K"
      b"\n\nFirmware upgraded, press any key to continue")
NG = (b"\n"
      b"\n           N    N       GGGGGGG"
      b"\n           NN   N       G     G"
      b"\n           N N  N       G      "
      b"\n           N  N N       G  GGGG"
      b"\n           N   NN       G     G"
      b"\n           N   NN       G     G"
      b"\n           N    N       GGGGGGG"
      b"\n\nError encountered, press any key to continue")
UPDATED_256 = ERASED + PROGRAM + ONE_BLOCK + VERIFY + ONE_BLOCK
UPDATED_1000 = ERASED + PROGRAM + FOUR_BLOCKS + VERIFY + FOUR_BLOCKS

# The platforms of a case: by default natively and under Wine; a few rows under memcheck too.
NATIVE, USUAL, EVERYWHERE = ("native",), ("native", "wine"), ("native", "valgrind", "wine")
CLONE_NEWNET = 0x40000000


def row(name, *values, on=USUAL):
    """One case of a table, run on the platforms `on` that are configured."""
    return pytest.param(*values, id=name, marks=pytest.mark.on(*on))


def pattern(size):
    """Image bytes whose last byte is not zero, so zeros past it are the device's fill."""
    return bytes((i * 7 + 3) % 251 + 1 for i in range(size))


def padded(image):
    return image + bytes(-len(image) % 256)


def ip(*arguments):
    return subprocess.run(["ip", *arguments], check=True, timeout=10, capture_output=True,
                          text=True).stdout


def in_namespace(ns, command):
    return command if ns is None else ["ip", "netns", "exec", ns, *command]


def namespace_inode(ns=None, pid="thread-self"):
    return os.stat(f"/run/netns/{ns}" if ns else f"/proc/{pid}/ns/net").st_ino


def until(condition, seconds):
    deadline = time.monotonic() + seconds * SCALE
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def stop(process):
    """Ends one process that a test started, by its pid."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)
    return process.returncode


Run = namedtuple("Run", "status out err pid")


def run_bounded(command, seconds, **popen):
    """Runs `command` without a terminal and with standard input closed unless given; its process
    group is killed after `seconds`, and the status is then None."""
    popen.setdefault("stdin", subprocess.DEVNULL)
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True, **popen)
    try:
        out, err = process.communicate(timeout=seconds * SCALE)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        return Run(None, out, err, process.pid)
    return Run(process.returncode, out, err, process.pid)


class Device:
    """torvane-devsim, ready once port 36 is bound; its store files and log under `work`."""

    def __init__(self, binary, options, work, name, ns):
        self.stored_path, self.setting_path = work / f"{name}.stored", work / f"{name}.setting"
        self.log_path = work / f"{name}.log"
        ready_read, ready_write = os.pipe()
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(in_namespace(ns, [
                binary, "--ready-fd", str(ready_write), "--timeout", "30", "--store",
                self.stored_path, "--store-setting", self.setting_path, *options]),
                pass_fds=(ready_write,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        os.close(ready_write)
        ready = select.select([ready_read], [], [], 10 * SCALE)[0] and os.read(ready_read, 16)
        os.close(ready_read)
        if ready != b"ready\n":
            stop(self.process)
            raise RuntimeError(f"the simulator did not get ready: {self.log_path.read_text()}")

    def finish(self, seconds=10):
        """The exit status once it ends by itself (--once), else None."""
        try:
            return self.process.wait(seconds * SCALE)
        except subprocess.TimeoutExpired:
            return None

    def file(self, path):
        return path.read_bytes() if path.exists() else None

    stored = property(lambda self: self.file(self.stored_path))
    setting = property(lambda self: self.file(self.setting_path))


class Native:
    """The utility of the Linux build, run as it is."""
    eol = b"\n"

    def __init__(self, request, work):
        self.utility = existing(request.config.getoption("build"), "torvane-fwupdate")
        self.unit_tests = self.utility.parent / "torvane_unit_tests"
        self.work = work

    def text(self, expected):
        return expected.replace(b"\n", self.eol)

    def command(self, arguments, ns=None, program=None):
        return in_namespace(ns, [program or self.utility, *arguments]), None

    def run(self, arguments, cwd=None, ns=None, wrap=(), seconds=30):
        """Runs the utility; its exit status and its standard output after the start-up banner."""
        command, env = self.command(arguments, ns)
        run = run_bounded([*wrap, *command], seconds, cwd=cwd, env=env)
        self.check()
        banner = re.match(BANNER + re.escape(self.eol * 2), run.out)
        assert banner, f"no start-up banner: {run.out[:200]!r} {run.err[-2000:]!r}"
        return run._replace(out=run.out[banner.end():])

    def devices(self, arguments, cwd=None, ns=None, seconds=60):
        """Runs torvane-devices beside the utility: its exit status, standard output and error."""
        program = existing(self.utility.parent, self.utility.name.replace("fwupdate", "devices"))
        command, env = self.command(arguments, ns, program)
        run = run_bounded(command, seconds, cwd=cwd, env=env)
        self.check()
        return run

    def check(self):
        pass

    def close(self):
        pass


class Valgrind(Native):
    """Under memcheck: any error, leak or descriptor the program left open fails the run."""

    def __init__(self, request, work):
        super().__init__(request, work)
        self.valgrind = installed("valgrind")

    def command(self, arguments, ns=None, program=None):
        self.log = self.work / f"memcheck{time.monotonic_ns()}.log"
        return in_namespace(ns, [
            self.valgrind, "--error-exitcode=99", "--leak-check=full", "--track-fds=yes",
            "--errors-for-leak-kinds=definite,indirect", f"--log-file={self.log}",
            program or self.utility, *arguments]), None

    def check(self):
        log = self.log.read_text()
        assert "ERROR SUMMARY: 0 errors" in log, log
        # Every descriptor still open at exit is listed with where it came from.
        opened = re.findall(r"(Open [^\n]*)\n==\d+== +([^\n]*)", log)
        assert all(origin == "<inherited from parent>" for _, origin in opened), log


class Wine(Native):
    """The Windows .exe under Wine. Wine's sockets are made by the session's wineserver, so each
    namespace gets a session of its own, started inside it and checked to run there."""
    eol = b"\r\n"

    def __init__(self, request, work):
        build = request.config.getoption("windows_build")
        if not build:
            pytest.skip("no Windows build named (--windows-build)")
        self.utility = existing(build, "torvane-fwupdate.exe")
        self.unit_tests = self.utility.parent / "torvane_unit_tests.exe"
        self.loader = existing(request.config.getoption("wine"))
        self.server = existing(Path(self.loader).parent, "wineserver")
        self.prefix = request.getfixturevalue("wine_prefix")
        self.work, self.sessions = work, {}

    def command(self, arguments, ns=None, program=None):
        return in_namespace(ns, [self.loader, program or self.utility, *arguments]), \
            self.session(ns)

    def session(self, ns):
        if ns not in self.sessions:
            folder = tempfile.mkdtemp(prefix="torvane-wine-")
            env = wine_environment(self.prefix, self.loader, self.server, folder)
            server = subprocess.Popen(in_namespace(ns, [self.server, "--foreground"]), env=env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            self.sessions[ns] = server, env, folder
            socket = os.path.join(folder, "wine-*", "server-*", "socket")
            assert until(lambda: glob.glob(socket) or server.poll() is not None, 10) and \
                glob.glob(socket), f"the wineserver made no session under TMPDIR={folder}"
            assert namespace_inode(pid=server.pid) == namespace_inode(ns), \
                "the wineserver runs in another network namespace"
        return self.sessions[ns][1]

    def close(self):
        for server, env, folder in self.sessions.values():
            subprocess.run([self.server, "-k"], env=env, timeout=10, capture_output=True)
            stop(server)
            shutil.rmtree(folder, ignore_errors=True)


PLATFORMS = {"native": Native, "valgrind": Valgrind, "wine": Wine}


def wine_environment(prefix, loader, server, session):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return dict(env, WINEPREFIX=str(prefix), WINELOADER=str(loader), WINESERVER=str(server),
                WINEDEBUG="-all", TMPDIR=session,
                WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")


def existing(folder, name=""):
    path = Path(folder, name).resolve()
    if not path.exists():
        pytest.skip(f"{path} is missing: build it first")
    return path


def installed(tool):
    return shutil.which(tool) or pytest.skip(f"{tool} is not installed")


def pytest_addoption(parser):
    add = parser.addoption
    add("--build", default=str(REPO / "build"), help="the Linux build (default: build/)")
    add("--windows-build", help="the Windows build, for the platform wine")
    add("--platform", action="append", choices=sorted(PLATFORMS),
        help="where the utility runs; repeatable (default: native)")
    add("--wine", default="/usr/lib/wine/wine64", help="the Wine loader")
    add("--objdump", default="x86_64-w64-mingw32-objdump")
    add("--scale", type=float, default=1.0, help="stretches every time-out")


def pytest_configure(config):
    global SCALE
    SCALE = config.getoption("scale")
    config.addinivalue_line("markers", "on(*platforms): the platforms a case makes sense on")


def pytest_generate_tests(metafunc):
    if "platform" in metafunc.fixturenames:
        metafunc.parametrize("platform", metafunc.config.getoption("platform") or ["native"],
                             indirect=True)


def pytest_collection_modifyitems(config, items):
    """Keeps each case on the platforms that every `on` mark of it names."""
    kept, dropped = [], []
    for item in items:
        marks = [set(mark.args) for mark in item.iter_markers("on")] or [set(USUAL)]
        platform = item.callspec.params["platform"]
        (kept if platform in set.intersection(*marks) else dropped).append(item)
    config.hook.pytest_deselected(items=dropped)
    items[:] = kept


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if report.failed:
        for path in item.stash.get(LOGS, []):
            report.sections.append((path.name, path.read_text(errors="replace")[-6000:]))


@pytest.fixture(autouse=True)
def private_network():
    """Moves the test into a network namespace of its own, so nothing it sends can leave."""
    if os.geteuid() != 0:
        pytest.skip("network namespaces need root")
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.unshare(CLONE_NEWNET) == 0, os.strerror(ctypes.get_errno())
    links = ip("-o", "link", "show")
    assert re.fullmatch(r"1: lo: <LOOPBACK> [^\n]*state DOWN[^\n]*\n", links), links
    ip("link", "set", "lo", "up")


@pytest.fixture
def platform(request, tmp_path):
    runner = PLATFORMS[request.param](request, tmp_path)
    yield runner
    runner.close()


@pytest.fixture
def device(request, tmp_path):
    """Starts simulators: device(*options, name=..., ns=..., binary=...), by default the build's;
    each is stopped by its pid."""
    started = []
    request.node.stash[LOGS] = []

    def start(*options, name="device", ns=None, binary=None):
        binary = binary or existing(request.config.getoption("build"), "torvane-devsim")
        started.append(Device(binary, options, tmp_path, name, ns))
        request.node.stash[LOGS].append(started[-1].log_path)
        return started[-1]

    yield start
    for simulator_run in started:
        stop(simulator_run.process)


@pytest.fixture
def lan():
    """lan({"pc": "10.77.0.1/24", ...}): one namespace per host, joined by a bridge in one more;
    returns the hosts' namespace names. A host given a tuple of addresses has them all. Names
    carry the worker's pid; all removed afterwards."""
    made = []

    def make(hosts):
        tag = f"tv{os.getpid()}-{len(made)}"
        made.append(f"{tag}-br")
        ip("netns", "add", made[-1])
        ip("-n", made[-1], "link", "add", "br0", "type", "bridge")
        ip("-n", made[-1], "link", "set", "br0", "up")
        names = {}
        for index, (host, addresses) in enumerate(hosts.items()):
            names[host] = f"{tag}-{host}"
            made.append(names[host])
            ip("netns", "add", names[host])
            ip("-n", names[host], "link", "add", "eth0", "type", "veth", "peer", "name",
               f"v{index}", "netns", f"{tag}-br")
            ip("-n", f"{tag}-br", "link", "set", f"v{index}", "master", "br0", "up")
            for address in [addresses] if isinstance(addresses, str) else addresses:
                ip("-n", names[host], "addr", "add", address, "dev", "eth0")
            ip("-n", names[host], "link", "set", "eth0", "up")
            ip("-n", names[host], "link", "set", "lo", "up")
            # The limited broadcast leaves by the default route: keep it on the LAN.
            ip("-n", names[host], "route", "add", "default", "dev", "eth0")
        return names

    yield make
    for name in reversed(made):
        subprocess.run(["ip", "netns", "delete", name], capture_output=True, timeout=10)


@pytest.fixture(scope="session")
def wine_prefix(request):
    """The Wine prefix, initialised once (wineboot) by the first worker, in a namespace of its
    own; the others wait on its lock."""
    loader = Path(request.config.getoption("wine"))
    prefix = Path(request.config.getoption("windows_build"), "wineprefix").resolve()
    with open(f"{prefix}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (prefix / ".torvane-ready").exists():
            session = tempfile.mkdtemp(prefix="torvane-wine-")
            env = wine_environment(prefix, loader, loader.parent / "wineserver", session)
            booted = run_bounded(["unshare", "--net", "--", "sh", "-c",
                                  '"$WINELOADER" wineboot --init && "$WINESERVER" -w'],
                                 120, env=env)
            shutil.rmtree(session, ignore_errors=True)
            assert booted.status == 0, f"wineboot --init failed in {prefix}: {booted.err!r}"
            (prefix / ".torvane-ready").touch()
    return prefix
