# SPDX-License-Identifier: Apache-2.0
"""What the test files share: the expected output written out, the rows of a table, torvane-devices'
JSON checked against its published schema, the bounds of every wait, the device simulator, and
runs of the utility on a platform (native, the arm64 build under qemu, under valgrind's memcheck,
or the Windows .exe under Wine with a Wine session of its own)."""
import glob
import json
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
from collections import namedtuple
from pathlib import Path

import jsonschema
import pytest

REPO = Path(__file__).resolve().parent.parent
SCHEMA = json.loads((REPO / "docs/torvane-devices.schema.json").read_text())
VERSION = re.search(r"^project\(\S+ VERSION (\S+)", (REPO / "CMakeLists.txt").read_text(),
                    re.M)[1]
BANNER = (rb"Torvane Firmware Update Utility\.   [A-Z][a-z]{2} [ 1-3]\d \d{4} "
          rb"[0-2]\d:[0-5]\d:[0-5]\d")
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
# Every byte value from 0x80 up, a space, printable ASCII: 89 bytes, the longest setting.
SETTING_89 = (bytes(range(0x80, 0x100)) + b" " + bytes(range(0x21, 0x7F)))[:89]

# The platforms of a case: by default natively and under Wine; a few rows under memcheck too.
# NATIVE holds the Linux programs, of this machine and of arm64 under qemu: compiled for another
# processor (where char is unsigned, among others), every row of the logic says something there.
NATIVE = ("native", "qemu")
USUAL, EVERYWHERE = (*NATIVE, "wine"), (*NATIVE, "valgrind", "wine")


def row(name, *values, on=USUAL):
    """One case of a table, run on the platforms `on` that are configured."""
    return pytest.param(*values, id=name, marks=pytest.mark.on(*on))


def pattern(size):
    """Image bytes whose last byte is not zero, so zeros past it are the device's fill."""
    return bytes((i * 7 + 3) % 251 + 1 for i in range(size))


def padded(image):
    return image + bytes(-len(image) % 256)


def valid(value):
    jsonschema.validate(value, SCHEMA, cls=jsonschema.Draft202012Validator)
    return value


def document(out, command):
    """The JSON document of a run, checked against the schema and in its common members."""
    found = valid(json.loads(out))
    assert (found["format"], found["tool"], found["command"]) == \
        (1, {"name": "torvane-devices", "version": VERSION}, command)
    assert found["started"] <= found["ended"]
    return found


def events(out, command):
    """The events of a run, each checked against the schema, in time order, the summary last."""
    lines = [valid(json.loads(line)) for line in out.decode().splitlines()]
    assert [event["event"] for event in lines].index("summary") == len(lines) - 1
    summary = dict(lines[-1], format=1)
    # The run's start, its events, its end, then the summary.
    times = [summary["started"], *[event["time"] for event in lines[:-1]], summary["ended"],
             summary.pop("time")]
    assert (summary.pop("event"), times) == ("summary", sorted(times))
    return lines, document(json.dumps(summary), command)


def ip(*arguments):
    return subprocess.run(["ip", *arguments], check=True, timeout=10, capture_output=True,
                          text=True).stdout


def in_namespace(ns, command):
    return command if ns is None else ["ip", "netns", "exec", ns, *command]


def namespace_inode(ns=None, pid="thread-self"):
    return os.stat(f"/run/netns/{ns}" if ns else f"/proc/{pid}/ns/net").st_ino


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


class Bounds:
    """The bounds of a test's waits, each stretched by the run's --scale."""

    def __init__(self, scale):
        self.scale = scale

    def seconds(self, seconds):
        return seconds * self.scale

    def until(self, condition, seconds):
        deadline = time.monotonic() + self.seconds(seconds)
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.02)
        return condition()

    def run(self, command, seconds, **popen):
        """Runs `command` without a terminal, its standard input an empty pipe held open unless
        given; its process group is killed after `seconds`, and the status is then None."""
        empty, held_open = os.pipe()
        popen.setdefault("stdin", empty)
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   start_new_session=True, **popen)
        os.close(empty)
        try:
            out, err = process.communicate(timeout=self.seconds(seconds))
            return Run(process.returncode, out, err, process.pid)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            out, err = process.communicate()
            return Run(None, out, err, process.pid)
        finally:
            os.close(held_open)
            # Also when the test's own bound has ended it first.
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


class Device:
    """torvane-devsim, ready once port 36 is bound; its store files and log under `work`."""

    def __init__(self, binary, options, work, name, ns, bounds):
        self.stored_path, self.setting_path = work / f"{name}.stored", work / f"{name}.setting"
        self.log_path, self.bounds = work / f"{name}.log", bounds
        ready_read, ready_write = os.pipe()
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(in_namespace(ns, [
                binary, "--ready-fd", str(ready_write), "--timeout", "30", "--store",
                self.stored_path, "--store-setting", self.setting_path, *options]),
                pass_fds=(ready_write,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        os.close(ready_write)
        ready = select.select([ready_read], [], [], bounds.seconds(10))[0] and \
            os.read(ready_read, 16)
        os.close(ready_read)
        if ready != b"ready\n":
            stop(self.process)
            raise RuntimeError(f"the simulator did not get ready: {self.log_path.read_text()}")

    def finish(self, seconds=10):
        """The exit status once it ends by itself (--once), else None."""
        try:
            return self.process.wait(self.bounds.seconds(seconds))
        except subprocess.TimeoutExpired:
            return None

    def file(self, path):
        """Its bytes; None for none (the simulator makes its files empty at its start)."""
        return path.read_bytes() or None if path.exists() else None

    stored = property(lambda self: self.file(self.stored_path))
    setting = property(lambda self: self.file(self.setting_path))


class Native:
    """The utility of the Linux build, run as it is."""
    eol = b"\n"
    # The option naming the build whose programs run (skipped without one), and their suffix.
    build_option, suffix = "build", ""

    def __init__(self, request, work):
        build = request.config.getoption(self.build_option)
        if not build:
            pytest.skip(f"no build named (--{self.build_option.replace('_', '-')})")
        self.utility = existing(build, "torvane-fwupdate" + self.suffix)
        self.unit_tests = self.utility.parent / f"torvane_unit_tests{self.suffix}"
        self.work, self.bounds = work, request.getfixturevalue("bounds")

    def text(self, expected):
        return expected.replace(b"\n", self.eol)

    def command(self, arguments, ns=None, program=None):
        return in_namespace(ns, [program or self.utility, *arguments]), None

    def run(self, arguments, cwd=None, ns=None, wrap=(), seconds=30):
        """Runs the utility; its exit status and its standard output after the start-up banner.
        Nothing may come on standard error."""
        command, env = self.command(arguments, ns)
        run = self.bounds.run([*wrap, *command], seconds, cwd=cwd, env=env)
        self.check()
        banner = re.match(BANNER + re.escape(self.eol * 2), run.out)
        assert banner, f"no start-up banner: {run.out[:200]!r} {run.err[-2000:]!r}"
        assert run.err == b"", run.err[-2000:]
        return run._replace(out=run.out[banner.end():])

    def devices(self, arguments, cwd=None, ns=None, seconds=60, environment=None, wrap=()):
        """Runs torvane-devices beside the utility, with `environment` added to its own and the
        command `wrap` in front: its exit status, standard output and error."""
        program = existing(self.utility.parent, self.utility.name.replace("fwupdate", "devices"))
        command, env = self.command(arguments, ns, program)
        env = dict(env or os.environ, **(environment or {}))
        run = self.bounds.run([*wrap, *command], seconds, cwd=cwd, env=env)
        self.check()
        return run

    def check(self):
        pass

    def terminal(self, shown):
        """What the program showed on its terminal, `shown` less what its runner added."""
        return shown

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


class Qemu(Native):
    """The programs of the arm64 build, each under qemu-user's emulator (binfmt_misc may be
    missing, so it is named before each); the simulator stays this machine's, as the device."""
    build_option = "arm64_build"

    def __init__(self, request, work):
        super().__init__(request, work)
        self.emulator = shlex.split(request.config.getoption("qemu"))
        self.emulator[0] = installed(self.emulator[0])

    def command(self, arguments, ns=None, program=None):
        return in_namespace(ns, [*self.emulator, program or self.utility, *arguments]), None

    def terminal(self, shown):
        # A signal whose default action dumps core ends the emulator with a line of its own.
        return re.sub(rb"qemu: uncaught target signal \d+ \([A-Za-z ]+\) - core dumped\r\n\Z",
                      b"", shown)


class Wine(Native):
    """The Windows .exe under Wine. Wine's sockets are made by the session's wineserver, so each
    namespace gets a session of its own, started inside it and checked to run there."""
    eol = b"\r\n"
    build_option, suffix = "windows_build", ".exe"

    def __init__(self, request, work):
        super().__init__(request, work)
        self.loader = existing(request.config.getoption("wine"))
        self.server = existing(Path(self.loader).parent, "wineserver")
        self.prefix = request.getfixturevalue("wine_prefix")
        self.sessions = {}

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
            assert self.bounds.until(lambda: glob.glob(socket) or server.poll() is not None, 10) \
                and glob.glob(socket), f"the wineserver made no session under TMPDIR={folder}"
            assert namespace_inode(pid=server.pid) == namespace_inode(ns), \
                "the wineserver runs in another network namespace"
        return self.sessions[ns][1]

    def close(self):
        for server, env, folder in self.sessions.values():
            subprocess.run([self.server, "-k"], env=env, timeout=10, capture_output=True)
            stop(server)
            shutil.rmtree(folder, ignore_errors=True)


PLATFORMS = {"native": Native, "qemu": Qemu, "valgrind": Valgrind, "wine": Wine}


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
