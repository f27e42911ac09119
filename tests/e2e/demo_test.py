#!/usr/bin/env python3
"""Keeps the README's first command true: runs demo/run-demo.sh without a terminal (in a session
of its own, so the utility's key wait ends at once) on executables already built, and checks that
it ends with its success line after the OK banner; then interrupts a second run, as Ctrl+C would,
and checks that both left no namespace and no process behind.

Exit status 77 (skipped) when named network namespaces cannot be made.
"""
import argparse
import os
import re
import select
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SUCCESS = re.compile(rb"Demo passed: found by discovery at 10\.77\.0\.20, .*intact\.\n\Z")
OK_ROW = b"\n           OOOOOO       K    K\n"
STARTED_UPDATE = b"== Updating the device found by discovery"
RUN_SECONDS = 60


def start(demo, utility, simulator):
    environment = dict(os.environ, TORVANE_DEMO_NO_BUILD="1", TORVANE_DEMO_UTILITY=utility,
                       TORVANE_DEMO_SIMULATOR=simulator)
    return subprocess.Popen([demo], env=environment, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)


def finish(process, seconds):
    """The demo's exit status and whole output; killed with its session after `seconds`."""
    try:
        output, _ = process.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output
    return process.returncode, output


def leftovers(session):
    """Namespaces of the demo run `session` (its pid) and processes of its session still there."""
    problems = [f"namespace {name} left behind" for name in os.listdir("/run/netns")
                if name.startswith(f"tvdemo{session}-")] if os.path.isdir("/run/netns") else []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as stat:
                fields = stat.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        # After the command name: state, parent, process group, session.
        if int(fields[3]) == session:
            problems.append(f"process {entry} of the demo's session still runs")
    return problems


def run_whole(demo, utility, simulator):
    process = start(demo, utility, simulator)
    status, output = finish(process, RUN_SECONDS)
    problems = [] if status == 0 else [f"exit status {status}, expected 0"]
    if OK_ROW not in output:
        problems.append("no OK banner")
    if not SUCCESS.search(output):
        problems.append("the output does not end with the success line")
    problems += leftovers(process.pid)
    if problems:
        problems.append("output:\n" + output.decode(errors="replace"))
    return problems


def run_interrupted(demo, utility, simulator):
    """Ctrl+C reaches the whole foreground group: the demo, the utility and the simulator."""
    process = start(demo, utility, simulator)
    output = b""
    deadline = time.monotonic() + RUN_SECONDS
    while STARTED_UPDATE not in output and time.monotonic() < deadline:
        readable, _, _ = select.select([process.stdout], [], [], 1)
        chunk = os.read(process.stdout.fileno(), 4096) if readable else b""
        if readable and not chunk:
            break
        output += chunk
    if STARTED_UPDATE in output:
        time.sleep(0.5)  # the utility is then listening for discovery answers
        os.killpg(process.pid, signal.SIGINT)
    status, rest = finish(process, 20)
    output += rest
    problems = [] if STARTED_UPDATE in output else ["the update never started"]
    if status != 130:
        problems.append(f"exit status {status}, expected 130")
    if b"Demo passed" in output:
        problems.append("an interrupted demo claims success")
    problems += leftovers(process.pid)
    if problems:
        problems.append("output:\n" + output.decode(errors="replace"))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--demo", required=True)
    parser.add_argument("--utility", required=True)
    parser.add_argument("--simulator", required=True)
    arguments = parser.parse_args()
    if not harness.namespaces_available():
        print("skipped: cannot create named network namespaces (needs root and ip netns)")
        return harness.SKIP
    files = [os.path.abspath(path) for path in (arguments.demo, arguments.utility,
                                                arguments.simulator)]
    return harness.report([("demo runs to its success line", run_whole(*files)),
                           ("interrupted demo cleans up", run_interrupted(*files))])


if __name__ == "__main__":
    sys.exit(main())
