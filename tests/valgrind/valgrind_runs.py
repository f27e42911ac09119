#!/usr/bin/env python3
"""Runs torvane-fwupdate under valgrind's memcheck against the simulator, in a network namespace
of its own, and checks that valgrind reports no error, no definite or indirect leak and no
descriptor left open by the program, and that the program's output and exit status are the ones
the case expects.

Cases (`--case`):
- update: a full update with a setting string; the first cycle fails (block 0 refused five
  times), the second succeeds after one refused try; the device must hold the image.
- silent: the device echoes "S" and then says nothing; the update fails.
- absent: nobody answers the identify request.

The program's own exit status is 1 in every case, which is also valgrind's `--error-exitcode`;
valgrind's verdict is therefore read from its log. Exit status 77 (skipped) when a namespace
cannot be made.
"""
import argparse
import os
import re
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import harness  # noqa: E402
import transfer_output as out  # noqa: E402

LOOPBACK = "127.0.0.1"

IMAGE = bytes((i * 7 + 3) % 251 for i in range(700))  # three blocks, the last one partial
PADDED = IMAGE + bytes(-len(IMAGE) % out.BLOCK)
SETTING = b"SITE7"

# name: simulator options (None: no simulator), extra arguments, expected output after the
# start-up banner, whether the device must end with the whole image.
CASES = {
    "update": (["--refuse", "P0:5", "--fault-cycles", "1", "--refuse", "P1:1"],
               ["-p" + SETTING.decode()],
               out.updating(LOOPBACK) + out.erase(1) + out.blocks("Program", len(PADDED), done=0)
               + out.cycle(len(PADDED)) + out.result(True), True),
    "silent": (["--silent-from", "S.1"], [], out.updating(LOOPBACK) + out.result(False), False),
    "absent": (None, [], b"Device not found\n", False),
}

VALGRIND_OPTIONS = ["--error-exitcode=1", "--leak-check=full",
                    "--errors-for-leak-kinds=definite,indirect", "--track-fds=yes"]


def valgrind_problems(log):
    """What the memcheck log says is wrong: errors, leaks, descriptors the program opened and
    left open."""
    problems = []
    summary = re.search(r"ERROR SUMMARY: (\d+) errors", log)
    if summary is None:
        problems.append("valgrind wrote no error summary")
    elif summary.group(1) != "0":
        problems.append(f"valgrind counted {summary.group(1)} errors")
    for kind in ("definitely", "indirectly"):
        lost = re.search(kind + r" lost: ([\d,]+) bytes", log)
        if lost and lost.group(1) != "0":
            problems.append(f"{lost.group(1)} bytes {kind} lost")
    if "All heap blocks were freed" not in log and "definitely lost" not in log:
        problems.append("valgrind wrote no leak summary")
    # Each open descriptor is followed by where it came from; the program's own are not inherited.
    for descriptor, origin in re.findall(r"==\d+== (Open [^\n]*)\n==\d+==\s+([^\n]*)", log):
        if origin != "<inherited from parent>":
            problems.append(f"left open by the program: {descriptor} ({origin})")
    return problems


def run_case(name, utility, simulator, valgrind, work):
    options, extra, expected, stores_image = CASES[name]
    image_path = os.path.join(work, "image.bin")
    stored_path = os.path.join(work, "stored.bin")
    setting_path = os.path.join(work, "setting.bin")
    log_path = os.path.join(work, "memcheck.log")
    with open(image_path, "wb") as image:
        image.write(IMAGE)
    command = [valgrind, *VALGRIND_OPTIONS, f"--log-file={log_path}", utility]
    arguments = [image_path, LOOPBACK, *extra]
    problems = []
    device_status = None
    device_log = ""
    if options is None:
        run = harness.run_utility(command, arguments, timeout=60)
    else:
        sim_arguments = ["--once", "--timeout", "30", "--store", stored_path, "--store-setting",
                         setting_path, *options]
        with harness.Simulator(simulator, sim_arguments, os.path.join(work, "devsim.log")) as sim:
            run = harness.run_utility(command, arguments, timeout=60)
            device_status = sim.wait(5)
            if device_status is None:
                device_status = sim.stop()
            device_log = sim.log()

    if run.status != 1:
        problems.insert(0, f"exit status {run.status}, expected 1")
    got = run.after_banner()
    if got != expected:
        problems.insert(0, f"output after the banner:\n  got      {got!r}\n  expected {expected!r}")
    with open(log_path, errors="replace") as log:
        memcheck = log.read()
    found = valgrind_problems(memcheck)
    problems[:0] = found
    if found:
        problems.append("memcheck log:\n" + memcheck)
    if stores_image:
        with open(stored_path, "rb") as stored:
            if stored.read() != PADDED:
                problems.insert(0, "the device does not hold the image")
        with open(setting_path, "rb") as setting:
            if setting.read() != SETTING:
                problems.insert(0, "the device does not hold the setting string")
        if device_status != 0:
            problems.insert(0, f"simulator exit status {device_status}, expected 0")
    if problems and device_log:
        problems.append("simulator log:\n" + device_log)
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--utility", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--valgrind", default="valgrind")
    parser.add_argument("--case", choices=sorted(CASES), action="append")
    arguments = parser.parse_args()
    if shutil.which(arguments.valgrind) is None:
        print(f"skipped: no valgrind ({arguments.valgrind})")
        return harness.SKIP
    harness.isolate()
    results = []
    for name in arguments.case or sorted(CASES):
        with tempfile.TemporaryDirectory(prefix="torvane-valgrind-") as work:
            results.append((name, run_case(name, os.path.abspath(arguments.utility),
                                           os.path.abspath(arguments.simulator),
                                           arguments.valgrind, work)))
    return harness.report(results)


if __name__ == "__main__":
    sys.exit(main())
