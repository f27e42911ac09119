#!/usr/bin/env python3
"""End to end on Windows: torvane-fwupdate.exe under Wine against the Linux torvane-devsim, over
loopback. Each case checks the utility's exit status and its whole standard output (every line end
CR LF, the start-up banner by pattern). Updates also check the image that the device stored (with
cmp) and lines of its log; the encode case compares the encoded file with the one that the Linux
build writes from the same sources.

Every case runs in a child process of this script that makes a network namespace of its own
(harness.isolate()), starts a Wine session whose wineserver runs inside it (wine_run.SessionHere:
Wine's sockets are made by the wineserver, so the namespace of that process is the one that
counts), and the simulator beside it; so cases run side by side. Exit status 77 (skipped) when
namespaces cannot be made, or when the Linux build's simulator or utility is missing.
"""
import argparse
import concurrent.futures
import contextlib
import dataclasses
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
import harness  # noqa: E402
import wine_run  # noqa: E402
from lan_suite import NOT_FOUND, TYPE_INCORRECT  # noqa: E402
from transfer_output import blocks, cycle, erase, result, updating  # noqa: E402
from transfer_suite import first_difference  # noqa: E402

TARGET = "127.0.0.1"
# Line-end and end-of-file bytes first, which a file read or written in text mode would change,
# then every byte value; the last byte is not zero, so zeros after it are the device's fill.
IMAGE = (b"\r\n\x1a\n" + bytes(range(256)) * 4)[:1000]
PADDED = len(IMAGE) + (-len(IMAGE) % 256)
RUN_SECONDS = 30
DEVICE_SECONDS = 10
SIMULATOR_IDLE_SECONDS = 30  # the simulator's own --timeout, beyond any case
U = updating(TARGET)


@dataclasses.dataclass
class Case:
    name: str
    arguments: list  # after the program; file names relative to the case's folder
    output: bytes  # standard output after the start-up banner, each line end written as "\n"
    status: int
    simulator: list = None  # the device's options; None: no device
    device_status: int = None  # the device's exit status (--once), None: not waited for
    stored: bool = False  # the device must hold the image, zero-filled to its last block
    setting: bytes = None  # the setting string that the device must have stored
    log_has: tuple = ()  # patterns (whole lines) that the device's log must hold
    log_lacks: tuple = ()  # and must not
    discovery: bool = False  # the limited broadcast is routed over the loopback
    encoded: bool = False  # out.bin must equal the Linux build's encoding of the image


CASES = [
    # A setting string with a space: Wine and the C runtime join and split the command line.
    Case("update by address with a setting", ["image.bin", TARGET, "-pSITE7 north"],
         U + cycle(PADDED) + result(True), 1, simulator=[], device_status=0, stored=True,
         setting=b"SITE7 north",
         log_has=[r'setting - - taken from 127\.0\.0\.1:\d+: "SITE7 north" \(11 characters\)',
                  r"end - - complete 4 blocks programmed and verified"]),
    # The failed cycle's " Error" line, then a second cycle that passes.
    Case("block refused five times, next cycle passes", ["image.bin", TARGET],
         U + erase(1) + blocks("Program", PADDED) + blocks("Verify", PADDED, done=2) +
         cycle(PADDED) + result(True), 1, simulator=["--refuse", "V2:5", "--fault-cycles", "1"],
         device_status=0, stored=True, log_has=[r"erase 2 - ok -> E 1"]),
    # The 'S' comes and its '1' never: the NG banner without a single cycle.
    Case("silent after the opening echo", ["image.bin", TARGET], U + result(False), 1,
         simulator=["--silent-from", "S.1"], device_status=1,
         log_has=[r"open - - ok from .* -> S"], log_lacks=[r"probe .*"]),
    Case("silent device", ["image.bin", TARGET], NOT_FOUND, 1,
         simulator=["--identify-replies", "0"],
         log_has=[r"identify - - silent from 127\.0\.0\.1:\d+: .*"], log_lacks=[r"start .*"]),
    Case("wrong device type", ["image.bin", TARGET, "-pSITE7"], TYPE_INCORRECT, 1,
         simulator=["--device-type", "2"],
         log_has=[r"identify - - answered from 127\.0\.0\.1:\d+: type 2, .*"],
         log_lacks=[r"setting .*", r"start .*", r"open .*"]),
    Case("discovery of one device", ["image.bin"], U + cycle(PADDED) + result(True), 1,
         simulator=[], device_status=0, stored=True, discovery=True,
         log_has=[r"discover - - answered from 127\.0\.0\.1:\d+: announcing 127\.0\.0\.1 "
                  r"-> 20 bytes"]),
    Case("encode", ["-e", "out.bin", "image.bin"],
         f"File out.bin generated: {PADDED} bytes\n".encode(), 0, encoded=True),
]


def crlf(text):
    return text.replace(b"\n", b"\r\n")


def cmp(first, second):
    """None when the two files are equal byte for byte, else what cmp says."""
    compared = subprocess.run(["cmp", first, second], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=10)
    return None if compared.returncode == 0 else compared.stdout.decode(errors="replace").strip()


def check_output(case, run, problems):
    if run.status is None:
        problems.append(f"the utility did not end within {RUN_SECONDS} s")
    elif run.status != case.status:
        problems.append(f"exit status {run.status}, expected {case.status}")
    output = run.after_banner()
    if output is None:
        problems.append(f"no start-up banner: {run.stdout[:120]!r}")
        return
    if not run.stdout[:len(run.stdout) - len(output)].endswith(b"\r\n\r\n"):
        problems.append(f"the start-up banner's line ends are not CR LF: {run.stdout[:80]!r}")
    if output != crlf(case.output):
        problems.append(first_difference(output, crlf(case.output)))


def check_device(case, work, log, device_status, problems):
    if case.device_status is not None and device_status != case.device_status:
        problems.append(f"device exit status {device_status}, expected {case.device_status}")
    if case.stored:
        with open(os.path.join(work, "expected.bin"), "wb") as f:
            f.write(IMAGE + bytes(PADDED - len(IMAGE)))
        difference = cmp(os.path.join(work, "expected.bin"), os.path.join(work, "stored.bin"))
        if difference:
            problems.append(f"stored image: {difference}")
    if case.setting is not None:
        try:
            with open(os.path.join(work, "setting.bin"), "rb") as f:
                setting = f.read()
        except FileNotFoundError:
            setting = None
        if setting != case.setting:
            problems.append(f"setting string arrived as {setting!r}, sent {case.setting!r}")
    for pattern in case.log_has:
        if not re.search("^" + pattern + "$", log, re.M):
            problems.append(f"device log lacks a line {pattern!r}")
    for pattern in case.log_lacks:
        if re.search("^" + pattern + "$", log, re.M):
            problems.append(f"device log has a line {pattern!r}")


def check_encoded(linux_utility, work, problems):
    """The Linux build, from the same sources and key, must write the same encoded file."""
    linux = subprocess.run([linux_utility, "-e", "linux.bin", "image.bin"], cwd=work,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=10)
    if linux.returncode != 0:
        problems.append(f"the Linux build's encoding ended with {linux.returncode}")
        return
    difference = cmp(os.path.join(work, "linux.bin"), os.path.join(work, "out.bin"))
    if difference:
        problems.append(f"encoded file differs from the Linux build's: {difference}")


def run_case(case, options, work):
    """Runs one case in this process's namespace; returns its problems (empty: passed)."""
    problems = []
    with open(os.path.join(work, "image.bin"), "wb") as f:
        f.write(IMAGE)
    if case.discovery:
        # Discovery's limited broadcast has no route in a namespace that only has a loopback:
        # send it over lo, from 127.0.0.1, where the simulator hears it.
        subprocess.run(["ip", "route", "add", "255.255.255.255/32", "dev", "lo", "src",
                        "127.0.0.1"], check=True, timeout=10)
    log = ""
    device_status = None
    with contextlib.ExitStack() as stack:
        wine = stack.enter_context(
            wine_run.SessionHere(options.prefix, options.wine, options.wineserver))
        device = None
        if case.simulator is not None:
            device = stack.enter_context(harness.Simulator(options.simulator, [
                "--once", "--timeout", str(SIMULATOR_IDLE_SECONDS),
                "--store", os.path.join(work, "stored.bin"),
                "--store-setting", os.path.join(work, "setting.bin"), *case.simulator
            ], os.path.join(work, "device.log")))
        run = harness.run_utility(wine.command(options.utility), case.arguments, RUN_SECONDS,
                                  cwd=work, env=wine.env)
        if device is not None:
            if case.device_status is not None:
                device_status = device.wait(DEVICE_SECONDS)
            device.stop()
            log = device.log()
    check_output(case, run, problems)
    check_device(case, work, log, device_status, problems)
    if case.encoded:
        check_encoded(options.linux_utility, work, problems)
    if problems and log:
        problems.append("device log ends: " + " | ".join(log.splitlines()[-12:]))
    return problems


def run_one(options):
    """Child process: one case in a namespace of its own; its problems as JSON on stdout."""
    harness.isolate()
    case = next(case for case in CASES if case.name == options.case)
    with tempfile.TemporaryDirectory(prefix="torvane-wine-e2e-") as work:
        try:
            problems = run_case(case, options, work)
        except (RuntimeError, OSError, subprocess.SubprocessError) as error:
            problems = [f"{type(error).__name__}: {error}"]
    print(json.dumps(problems))
    return 0


def run_in_child(case, options):
    command = [sys.executable, os.path.abspath(__file__), "--case", case.name]
    for name in ("wine", "wineserver", "prefix", "utility", "simulator", "linux_utility"):
        command += ["--" + name.replace("_", "-"), getattr(options, name)]
    return harness.run_case_in_child(case.name, command, RUN_SECONDS + DEVICE_SECONDS + 40)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True, help="the Wine loader")
    parser.add_argument("--wineserver", help="default: the one beside the loader")
    parser.add_argument("--prefix", required=True, help="the Wine prefix (made when missing)")
    parser.add_argument("--utility", required=True, help="torvane-fwupdate.exe")
    parser.add_argument("--simulator", required=True, help="the Linux build's torvane-devsim")
    parser.add_argument("--linux-utility", required=True,
                        help="the Linux build's torvane-fwupdate, for the encode case")
    parser.add_argument("--case", help="run this one case here (used by the suite itself)")
    parser.add_argument("--jobs", type=int, default=4,
                        help="cases at a time; most of their time is spent starting Wine")
    options = parser.parse_args()
    for name in ("wine", "prefix", "utility", "simulator", "linux_utility"):
        setattr(options, name, os.path.abspath(getattr(options, name)))
    if options.case:
        return run_one(options)

    for name in ("simulator", "linux_utility"):
        if not os.access(getattr(options, name), os.X_OK):
            print(f"skipped: no Linux build at {getattr(options, name)} (build the preset "
                  "default first, or name it with -DTORVANE_LINUX_DEVSIM / "
                  "-DTORVANE_LINUX_FWUPDATE)")
            return harness.SKIP
    # Nothing is sent from here; this checks that namespaces can be made at all (77 if not).
    harness.isolate()
    options.wineserver = options.wineserver or wine_run.find_wineserver(options.wine)
    if options.wineserver is None:
        print(f"no wineserver beside {options.wine}")
        return 1
    if not wine_run.ensure_prefix(options.prefix, options.wine, options.wineserver):
        return 1
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        results = list(pool.map(lambda case: run_in_child(case, options), CASES))
    return harness.report(results)


if __name__ == "__main__":
    sys.exit(main())
