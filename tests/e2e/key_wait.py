#!/usr/bin/env python3
"""The key wait after the result, end to end: the utility updates the simulator with its
controlling terminal on a pseudo-terminal (its standard input is /dev/null, so the key can only
come from the terminal), and the test types on the terminal once the wait has begun. Checks that
the key ends the run with exit status 1, that nothing is printed after the result line (the key is
not echoed either), and that the terminal's settings are as they were. Also: a key typed ahead of
the wait ends it at once, and without a terminal the wait ends at once.

Runs in a network namespace of its own; exit status 77 (skipped) when namespaces cannot be made.
"""
import argparse
import fcntl
import os
import select
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from transfer_output import cycle, result, updating  # noqa: E402

TARGET = "127.0.0.1"
IMAGE_SIZE = 512
SUCCESS = updating(TARGET) + cycle(IMAGE_SIZE) + result(True)
FAILURE = updating(TARGET) + result(False)
RUN_SECONDS = 15
NO_ECHO = termios.ECHO | termios.ICANON


def take_terminal():
    """In the child, after setsid: standard output, the pty, becomes its controlling terminal."""
    fcntl.ioctl(1, termios.TIOCSCTTY, 0)


def read_until(master, output, done, seconds):
    """Appends what the terminal shows to `output` until done(output) or `seconds` pass."""
    deadline = time.monotonic() + seconds
    while not done(output) and time.monotonic() < deadline:
        if select.select([master], [], [], 0.05)[0]:
            try:
                output += os.read(master, 4096)
            except OSError:
                break
    return done(output)


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.01)
    return True


def run_on_terminal(utility, simulator, work, device_options, key, typed_ahead):
    """One update with the pty as controlling terminal; `key` is typed once the wait has begun,
    or before the utility starts when `typed_ahead`. Returns (problems, status, output)."""
    problems = []
    image = os.path.join(work, "image.bin")
    with open(image, "wb") as f:
        f.write(bytes(range(256)) * (IMAGE_SIZE // 256))
    master, slave = os.openpty()
    try:
        settings_before = termios.tcgetattr(slave)
        if typed_ahead:
            os.write(master, key)
            # The terminal echoes it while nobody reads: take the echo away before the run.
            read_until(master, bytearray(), lambda shown: len(shown) >= len(key), 2)
        with harness.Simulator(simulator, ["--once", "--timeout", "10", *device_options],
                               os.path.join(work, "device.log")):
            utility_run = subprocess.Popen([utility, image, TARGET], stdin=subprocess.DEVNULL,
                                           stdout=slave, stderr=slave, start_new_session=True,
                                           preexec_fn=take_terminal)
            output = bytearray()
            try:
                if not typed_ahead:
                    ended = read_until(master, output,
                                       lambda shown: shown.endswith(b"press any key to continue"),
                                       RUN_SECONDS)
                    # The result line is up before the terminal is set for the key: type only
                    # once echo and line input are off, or the terminal would echo the key.
                    waiting = ended and wait_until(
                        lambda: termios.tcgetattr(slave)[3] & NO_ECHO == 0, 5)
                    if not waiting:
                        problems.append("echo and line input were still on after the result line")
                    os.write(master, key)
                status = utility_run.wait(timeout=RUN_SECONDS)
            except subprocess.TimeoutExpired:
                utility_run.kill()
                utility_run.wait()
                status = None
                problems.append(f"the utility was still running after {RUN_SECONDS} s")
            read_until(master, output, lambda shown: not select.select([master], [], [], 0.2)[0],
                       5)
        if termios.tcgetattr(slave) != settings_before:
            problems.append("the terminal's settings were not restored")
    finally:
        os.close(master)
        os.close(slave)
    return problems, status, bytes(output)


def check_terminal_run(utility, simulator, device_options, key, expected, typed_ahead=False):
    with tempfile.TemporaryDirectory(prefix="torvane-keywait-") as work:
        problems, status, output = run_on_terminal(utility, simulator, work, device_options, key,
                                                   typed_ahead)
    if status is not None and status != 1:
        problems.append(f"exit status {status}, expected 1")
    # The terminal writes each line end as CR LF.
    shown = harness.Run(output, status, 0).after_banner()
    wanted = expected.replace(b"\n", b"\r\n")
    if shown != wanted:
        problems.append(f"the terminal shows {output[-120:]!r}, expected it to end "
                        f"{wanted[-120:]!r}")
    return problems


def check_without_terminal(utility, simulator):
    with tempfile.TemporaryDirectory(prefix="torvane-keywait-") as work:
        image = os.path.join(work, "image.bin")
        with open(image, "wb") as f:
            f.write(bytes(IMAGE_SIZE))
        with harness.Simulator(simulator, ["--once", "--timeout", "10"],
                               os.path.join(work, "device.log")):
            run = harness.run_utility([utility], [image, TARGET], RUN_SECONDS)
    problems = []
    if run.status != 1:
        problems.append(f"exit status {run.status}, expected 1 (None: killed after "
                        f"{RUN_SECONDS} s)")
    if run.after_banner() != SUCCESS:
        problems.append(f"standard output ends {run.stdout[-80:]!r}")
    # The update itself takes about 0.6 s; a wait for a key would last until the kill.
    if run.seconds > 5:
        problems.append(f"the run took {run.seconds:.1f} s")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--utility", required=True)
    parser.add_argument("--simulator", required=True)
    arguments = parser.parse_args()
    utility = os.path.abspath(arguments.utility)
    simulator = os.path.abspath(arguments.simulator)
    harness.isolate()
    cases = [
        ("a letter ends the wait", lambda: check_terminal_run(utility, simulator, [], b"x",
                                                              SUCCESS)),
        ("Ctrl+C ends the wait, exit status 1",
         lambda: check_terminal_run(utility, simulator, ["--silent-from", "S.1"], b"\x03",
                                    FAILURE)),
        ("a key typed ahead ends the wait at once",
         lambda: check_terminal_run(utility, simulator, [], b"y", SUCCESS, typed_ahead=True)),
        ("without a terminal the wait ends at once",
         lambda: check_without_terminal(utility, simulator)),
    ]
    return harness.report([(name, case()) for name, case in cases])


if __name__ == "__main__":
    sys.exit(main())
