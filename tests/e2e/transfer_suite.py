#!/usr/bin/env python3
"""End-to-end suite of the transfer: the utility (`torvane-fwupdate IMAGE 127.0.0.1`, no terminal)
against the simulator over loopback, one case per device behaviour. Each case checks the utility's
exit status, its whole standard output byte for byte (the start-up banner by pattern), the image
the device stored, the device's exit status and the "R" datagrams it received, and lines of the
device's log.

Every case runs in a network namespace of its own (a child process of this script that calls
`isolate()`), so cases run side by side, each with its own port 36. Exit status 77 (skipped) when
namespaces cannot be made.
"""
import argparse
import concurrent.futures
import dataclasses
import json
import os
import random
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from transfer_output import blocks, cycle, erase, result, updating  # noqa: E402

TARGET = "127.0.0.1"
IMAGE_CAPACITY = 131072
UTILITY_SECONDS = 60  # the slowest case waits through nine receive time-outs
DEVICE_SECONDS = 15
U = updating(TARGET)


@dataclasses.dataclass
class Case:
    name: str
    image: int  # bytes in the image file
    simulator: list  # the device's options, faults among them
    output: bytes  # standard output after the start-up banner
    device_status: int  # 0 update complete, 1 incomplete (--once); 4 idle time-out
    stored: int  # image bytes the device must hold (zero-padded to its block); 0 for none
    rs: int  # "R" datagrams the device received: finish and closing
    log_has: tuple = ()  # patterns (per line) that the device's log must hold
    log_lacks: tuple = ()  # and must not
    once: bool = True


# A block refused or not done makes the utility wait out one receive time-out per missing reply,
# and a failed cycle three more: the cases keep those few, and --fault-cycles 1 lets the second
# cycle pass so the run still shows its outcome quickly.
CASES = [
    Case("one block", 256, [], U + cycle(256) + result(True), 0, 256, 6,
         log_has=[r"end - - complete 1 block programmed and verified"]),
    Case("partial last block", 1000, [], U + cycle(1024) + result(True), 0, 1000, 6,
         log_has=[r"finish 1 - ok 4 blocks programmed and verified -> R 1"]),
    Case("whole image", IMAGE_CAPACITY, [], U + cycle(IMAGE_CAPACITY) + result(True), 0,
         IMAGE_CAPACITY, 6, log_has=[r"verify 1 511 ok try 1 -> V 1"]),
    Case("file longer than the image", IMAGE_CAPACITY + 300, [],
         U + cycle(IMAGE_CAPACITY) + result(True), 0, IMAGE_CAPACITY, 6,
         log_lacks=[r".*offset 0x20000"]),
    # The 'S' comes and its '1' never: no probe, only the "Updating" line.
    Case("silent after the opening echo", 256, ["--silent-from", "S.1"], U + result(False), 1, 0,
         5, log_has=[r"open - - ok from .* -> S"], log_lacks=[r"probe .*"]),
    Case("two-byte opening reply", 256, ["--two-byte", "S"], U + result(False), 1, 0, 5,
         log_has=[r"open - - ok from .* -> S1"], log_lacks=[r"probe .*"]),
    Case("nine probes answered", 256, ["--silent-from", "T10"], U + result(False), 1, 0, 5,
         log_has=[r"probe 10 - ok silent from here on -> \(silent\)"],
         log_lacks=[r"erase .*", r"probe 11.*"]),
    # A wrong echo fails the erase before its wait: no mark goes up.
    Case("wrong erase echo", 256, ["--wrong-byte", "E", "--fault-cycles", "1"],
         U + erase(0, done=False) + cycle(256) + result(True), 0, 256, 6,
         log_has=[r"erase 1 - ok -> \? 1", r"erase 2 - ok -> E 1"]),
    Case("erase done on the 35th read", 256, ["--erase-reads", "35"],
         U + cycle(256, erase_reads=35) + result(True), 0, 256, 6,
         log_has=[r"erase 1 - ok -> E 0\*34 1"]),
    # The 36th reply, the '1', is the first of the three reads after the failed cycle.
    Case("erase not done on the 36th read", 256, ["--erase-reads", "36", "--fault-cycles", "1"],
         U + erase(35, done=False) + cycle(256) + result(True), 0, 256, 6,
         log_has=[r"erase 1 - ok -> E 0\*35 1", r"erase 2 - ok -> E 1"]),
    Case("block passes on its fifth try", 1000, ["--refuse", "P1:4"],
         U + cycle(1024) + result(True), 0, 1000, 6,
         log_has=[r"program 1 1 refused try 4, by --refuse -> P 0 0",
                  r"program 1 1 ok try 5 -> P 1"]),
    # Five refusals fail the cycle; the next one starts again from the erase and block 0.
    Case("block refused five times", 1000, ["--refuse", "V2:5", "--fault-cycles", "1"],
         U + erase(1) + blocks("Program", 1024) + blocks("Verify", 1024, done=2) + cycle(1024) +
         result(True), 0, 1000, 6,
         log_has=[r"verify 1 2 refused try 5, by --refuse -> V 0 0",
                  r"erase 2 - ok -> E 1"],
         log_lacks=[r"verify 1 2 \w+ try 6.*"]),
    # "P1" in one datagram is not the echo: each try waits out the read after it.
    Case("two-byte block reply", 256, ["--two-byte", "P0", "--fault-cycles", "1"],
         U + erase(1) + blocks("Program", 256, done=0) + cycle(256) + result(True), 0, 256, 6,
         log_has=[r"program 1 0 ok try 5 -> P1"]),
    # Both reads after the finish "R" are made and neither is required.
    Case("finish unanswered", 256, ["--silent-from", "R"], U + cycle(256) + result(True), 0, 256,
         6, log_has=[r"finish 1 - ok 1 block programmed and verified silent from here on -> "
                     r"\(silent\)"]),
    # 38 replies to each "E": 35 reads find no '1', the three reads after the failed cycle take
    # the rest, so thirty cycles fail without a single time-out.
    Case("thirty failed cycles", 256, ["--erase-reads", "38"],
         U + erase(35, done=False) * 30 + result(False), 1, 0, 5,
         log_has=[r"erase 30 - ok -> E 0\*37 1"], log_lacks=[r"erase 31 .*", r"program.*"]),
    # Without --once the device outlives the update and logs any "R" that comes after it.
    Case("six R after a success, no more", 256, ["--timeout", "2"], U + cycle(256) + result(True),
         4, 256, 6, log_has=[r"end - - complete 1 block programmed and verified"],
         once=False),
    Case("five R after a failure, no more", 256, ["--timeout", "2", "--silent-from", "S.1"],
         U + result(False), 4, 0, 5,
         log_has=[r"end - - incomplete 0 blocks programmed, 0 verified"], once=False),
]


def image_bytes(length):
    """Reproducible content whose last byte is not zero, so zeros past it are the device's."""
    content = bytearray(random.Random(length).randbytes(length))
    content[-1] |= 1
    return bytes(content)


def first_difference(got, wanted):
    at = next((i for i, (a, b) in enumerate(zip(got, wanted)) if a != b),
              min(len(got), len(wanted)))
    return (f"standard output differs at byte {at} of {len(got)} (expected {len(wanted)}): "
            f"got {got[max(0, at - 40):at + 40]!r}, expected {wanted[max(0, at - 40):at + 40]!r}")


def count_rs(log):
    """"R" datagrams the device received: the finish and the closing ones."""
    return len(re.findall(r"^(?:finish|close|end) ", log, re.M))


def check(case, utility, simulator, work):
    problems = []
    image = image_bytes(case.image)
    image_path = os.path.join(work, "image.bin")
    stored_path = os.path.join(work, "stored.bin")
    with open(image_path, "wb") as f:
        f.write(image)
    arguments = ["--timeout", "10", "--store", stored_path, *(["--once"] if case.once else []),
                 *case.simulator]
    with harness.Simulator(simulator, arguments, os.path.join(work, "device.log")) as device:
        run = harness.run_utility([utility], [image_path, TARGET], UTILITY_SECONDS)
        device_status = device.wait(DEVICE_SECONDS)
        log = device.log()

    if run.status is None:
        problems.append(f"the utility did not end within {UTILITY_SECONDS} s")
    elif run.status != 1:
        problems.append(f"exit status {run.status}, expected 1")
    output = run.after_banner()
    if output is None:
        problems.append(f"no start-up banner: {run.stdout[:120]!r}")
    elif output != case.output:
        problems.append(first_difference(output, case.output))
    if device_status != case.device_status:
        problems.append(f"device exit status {device_status}, expected {case.device_status}")

    wanted = image[:case.stored] + bytes(-case.stored % 256)
    try:
        with open(stored_path, "rb") as f:
            stored = f.read()
    except FileNotFoundError:
        stored = None
    if stored != wanted:
        shown = "no file" if stored is None else f"{len(stored)} bytes"
        problems.append(f"stored image: {shown}, expected the first {case.stored} image bytes "
                        f"and {len(wanted) - case.stored} zeros")

    if count_rs(log) != case.rs:
        problems.append(f"the device received {count_rs(log)} \"R\", expected {case.rs}")
    for pattern in case.log_has:
        if not re.search("^" + pattern + "$", log, re.M):
            problems.append(f"device log lacks a line {pattern!r}")
    for pattern in case.log_lacks:
        if re.search("^" + pattern + "$", log, re.M):
            problems.append(f"device log has a line {pattern!r}")
    if problems:
        problems.append("device log ends: " + " | ".join(log.splitlines()[-12:]))
    return problems


def run_one(name, utility, simulator):
    """Child process: one case in a namespace of its own; its problems as JSON on stdout."""
    harness.isolate()
    case = next(case for case in CASES if case.name == name)
    with tempfile.TemporaryDirectory(prefix="torvane-e2e-") as work:
        problems = check(case, utility, simulator, work)
    print(json.dumps(problems))
    return 0


def run_in_child(case, utility, simulator):
    command = [sys.executable, os.path.abspath(__file__), "--utility", utility, "--simulator",
               simulator, "--case", case.name]
    return harness.run_case_in_child(case.name, command, UTILITY_SECONDS + DEVICE_SECONDS + 30)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--utility", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--case", help="run this one case here (used by the suite itself)")
    parser.add_argument("--jobs", type=int, default=4,
                        help="cases at a time; most of their time is spent in receive time-outs")
    arguments = parser.parse_args()
    utility = os.path.abspath(arguments.utility)
    simulator = os.path.abspath(arguments.simulator)
    if arguments.case:
        return run_one(arguments.case, utility, simulator)
    # Nothing is sent from here; this checks that namespaces can be made at all (77 if not).
    harness.isolate()
    with concurrent.futures.ThreadPoolExecutor(max_workers=arguments.jobs) as pool:
        results = list(pool.map(lambda case: run_in_child(case, utility, simulator), CASES))
    return harness.report(results)


if __name__ == "__main__":
    sys.exit(main())
