#!/usr/bin/env python3
"""Runs a Windows program under Wine, cut off from the network and from every other Wine run.

    wine_run.py --wine LOADER --prefix DIR [--console] [--loopback] -- PROGRAM [ARGUMENT...]
    wine_run.py --wine LOADER --prefix DIR --init-only

The program runs in a network namespace of its own (unshare --net) and in a Wine session of its
own that starts inside that namespace. The second half matters as much as the first: Wine's
sockets are made by the session's wineserver process, not by the program, so a program that joined
a session started elsewhere would send from that session's namespace, whatever namespace it runs
in itself. Debian's Wine keeps the session under $TMPDIR (the prefix's file `wineserver` names the
folder), so every run gets a fresh TMPDIR, and the runner checks that the session was made there.
The session is ended (wineserver -k) before the runner returns.

The prefix is initialised once (wineboot --init), under a lock, by the first run that finds it
missing; --init-only does only that, so that a test suite can do it before its tests run in
parallel.

--console gives the program a pseudo-terminal (script) as its standard input, which Wine turns into
a Windows console to read keys from; its standard output still goes to the runner's, as a file.
--loopback brings the namespace's loopback interface up for programs that talk to themselves, and
says so to them in the environment (TORVANE_PRIVATE_LOOPBACK=1).

A test that needs Linux programs beside the Windows one in the same namespace (the end-to-end
suite: the device simulator) imports this file and uses SessionHere instead: it makes the namespace
itself, and SessionHere starts the Wine session's wineserver inside it and checks that it runs
there.

Exit status: the program's; 77 when a network namespace cannot be made; 125 when the runner fails
(the prefix cannot be initialised, or the Wine session was not private).
"""
import argparse
import fcntl
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
RUNNER_FAILED = 125

# Runs inside the new namespace: the command, then the end of the Wine session that it started.
# "kill" ends it at once; "wait" lets it save the prefix's registry first.
IN_NAMESPACE = """
server=$1 finish=$2 loopback=$3
shift 3
if [ "$loopback" = up ]; then ip link set lo up || exit 125; fi
"$@"
status=$?
if [ "$finish" = kill ]; then "$server" -k 2>/dev/null; fi
"$server" -w
exit $status
"""


def namespaces_work():
    try:
        probe = subprocess.run(["unshare", "--net", "--", "ip", "-o", "link", "show", "lo"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return False
    # A new namespace has its loopback down; anything else means isolation failed.
    flags = re.search(rb"<([^>]*)>", probe.stdout)
    return probe.returncode == 0 and flags is not None and b"UP" not in flags.group(1).split(b",")


def find_wineserver(loader):
    folder = os.path.dirname(loader)
    for candidate in (os.path.join(folder, "wineserver64"), os.path.join(folder, "wineserver")):
        if os.access(candidate, os.X_OK):
            return candidate
    return shutil.which("wineserver")


def wine_environment(prefix, loader, server, session, loopback):
    env = dict(os.environ)
    for variable in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(variable, None)  # no window may open during a test
    env.update({
        "WINEPREFIX": prefix,
        "WINELOADER": loader,
        "WINESERVER": server,
        "WINEDEBUG": "-all",
        # No installers for .NET and HTML support, no menu entries on the host.
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
        "TMPDIR": session,
    })
    # Tells the program's tests that a network of their own is promised, so that seeing more is a
    # failure rather than a reason to skip.
    if loopback:
        env["TORVANE_PRIVATE_LOOPBACK"] = "1"
    return env


def run_isolated(command, prefix, loader, server, finish="kill", console=False, loopback=False):
    """Runs `command` (the loader and what it runs) in a new network namespace and a new Wine
    session. Returns the command's exit status, or RUNNER_FAILED if the session was not private."""
    session = tempfile.mkdtemp(prefix="torvane-wine-")
    try:
        output = os.path.join(session, "stdout")
        if console:
            # script gives the program a terminal and returns its exit status (-e); the output
            # goes to a file, so that what Wine draws on the terminal stays out of it.
            command = ["script", "-qec", f"{shlex.join(command)} > {shlex.quote(output)}",
                       "/dev/null"]
        # script passes the end of its own input on to the terminal as a key, so its input stays
        # open (and empty) until the program has ended.
        with subprocess.Popen(
                ["unshare", "--net", "--", "sh", "-c", IN_NAMESPACE, "sh", server, finish,
                 "up" if loopback else "down", *command],
                env=wine_environment(prefix, loader, server, session, loopback),
                stdin=subprocess.PIPE if console else None,
                stdout=sys.stderr if console else None) as process:
            status = process.wait()
        if console and os.path.exists(output):
            with open(output, "rb") as text:
                sys.stdout.buffer.write(text.read())
            sys.stdout.flush()
        if not glob.glob(os.path.join(session, "wine-*", "server-*")):
            print(f"wine_run: the Wine session was not made under TMPDIR={session}; this Wine "
                  "may share its session across network namespaces, so it is not used",
                  file=sys.stderr)
            return RUNNER_FAILED
        return status
    finally:
        shutil.rmtree(session, ignore_errors=True)


def net_namespace(pid="self"):
    """The inode that names the network namespace of the process `pid`."""
    return os.stat(f"/proc/{pid}/ns/net").st_ino


class SessionHere:
    """A Wine session of its own whose wineserver runs in this process's network namespace, for
    a test that has made that namespace itself (harness.isolate()) and starts the Linux programs
    that the Windows program talks to beside it. Use as a context manager; `command` and `env`
    run a Windows program in the session.

    The session's wineserver is started here, in the foreground, and is only used once it has made
    its session under a fresh TMPDIR and runs in this namespace; a Wine that would put the session
    elsewhere, or a wineserver in any other namespace, makes the constructor raise RuntimeError.
    On the way out the session is ended (wineserver -k) and its server stopped by its pid."""

    def __init__(self, prefix, loader, server, ready_seconds=10):
        self.loader = loader
        self.server = server
        self.folder = tempfile.mkdtemp(prefix="torvane-wine-")
        self.env = wine_environment(prefix, loader, server, self.folder, loopback=False)
        self.process = None
        try:
            with open(os.path.join(self.folder, "wineserver.log"), "wb") as log:
                self.process = subprocess.Popen([server, "--foreground"], env=self.env,
                                                stdin=subprocess.DEVNULL,
                                                stdout=subprocess.DEVNULL, stderr=log)
            self._check(ready_seconds)
        except BaseException:
            self.close()
            raise

    def _check(self, ready_seconds):
        deadline = time.monotonic() + ready_seconds
        while not glob.glob(os.path.join(self.folder, "wine-*", "server-*", "socket")):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the wineserver made no session under TMPDIR="
                                   f"{self.folder}: {self._log()}")
            time.sleep(0.02)
        if self.process.poll() is not None:
            raise RuntimeError(f"the wineserver ended at once: {self._log()}")
        if net_namespace(self.process.pid) != net_namespace():
            raise RuntimeError("the wineserver runs in another network namespace")

    def _log(self):
        with open(os.path.join(self.folder, "wineserver.log"), "rb") as log:
            return log.read().decode(errors="replace").strip() or "(no message)"

    def command(self, program, *arguments):
        """The command line that runs the Windows `program` in this session."""
        return [self.loader, program, *arguments]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.process is not None and self.process.poll() is None:
            # -k ends every Wine process of the session, then the server itself.
            subprocess.run([self.server, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=10)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)
        shutil.rmtree(self.folder, ignore_errors=True)


def ensure_prefix(prefix, loader, server):
    """Initialises the prefix once; concurrent runs wait for the first. True when it is ready."""
    ready = os.path.join(prefix, ".torvane-ready")
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(ready):
            return True
        status = run_isolated([loader, "wineboot", "--init"], prefix, loader, server,
                              finish="wait")
        if status != 0:
            print(f"wine_run: wineboot --init failed in {prefix} (status {status})",
                  file=sys.stderr)
            return False
        open(ready, "w").close()
        return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--wine", required=True, help="the Wine loader")
    parser.add_argument("--prefix", required=True, help="the Wine prefix (made when missing)")
    parser.add_argument("--init-only", action="store_true")
    parser.add_argument("--console", action="store_true")
    parser.add_argument("--loopback", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    command = options.command[1:] if options.command[:1] == ["--"] else options.command
    if not options.init_only and not command:
        parser.error("no program to run")

    if not namespaces_work():
        print("skipped: cannot create an isolated network namespace (needs root)")
        return SKIPPED
    loader = os.path.abspath(options.wine)
    server = find_wineserver(loader)
    if server is None:
        print(f"wine_run: no wineserver beside {loader}", file=sys.stderr)
        return RUNNER_FAILED
    prefix = os.path.abspath(options.prefix)
    if not ensure_prefix(prefix, loader, server):
        return RUNNER_FAILED
    if options.init_only:
        return 0
    return run_isolated([loader, *command], prefix, loader, server, console=options.console,
                        loopback=options.loopback)


if __name__ == "__main__":
    sys.exit(main())
