#!/usr/bin/env python3
"""End to end on a virtual LAN: the utility's host and one to three device hosts, each device host
running its own torvane-devsim, joined by a bridge, all in network namespaces that this suite
creates (addresses 10.77.0.0/24 exist only inside them). Each case runs torvane-fwupdate once on
the utility's host and checks its exit status, its whole standard output (the start-up banner by
pattern) and what the simulators received: their logs, stored images and setting strings.

Cases run side by side, each on a LAN of its own. Exit status 77 (skipped) when named network
namespaces cannot be made.
"""
import argparse
import os
import re
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

PC = "10.77.0.1"
DEVICES = {"d1": "10.77.0.11", "d2": "10.77.0.12", "d3": "10.77.0.13"}
IMAGE_SIZE = 1000  # four blocks, the last one partial
RUN_SECONDS = 20
SIMULATOR_SECONDS = 30

# Bytes above 127, a space and printable ASCII: every one must arrive unconverted.
SETTING_89 = (b"\xe9\xff\x80 " + bytes(range(0x21, 0x7F)))[:89]
assert len(SETTING_89) == 89
SETTING_90 = b"x" * 90

OK_BANNER = (b"\n"
             b"\n           OOOOOO       K    K"
             b"\n           O    O       K   K"
             b"\n           O    O       K  K"
             b"\n           O    O       KKK"
             b"\n           O    O       K  K"
             b"\n           O    O       K   K"
             b"\n           OOOOOO       K    K"
             b"\n")


def updated(address, size=IMAGE_SIZE):
    """Standard output after the banner of an update whose first attempt succeeds, with a device
    that answers the erase at once."""
    blocks = -(-size // 256)

    def phase(label):
        line = f"{label:<20}".encode()
        for block in range(blocks):
            line += b"\b" * 5 + f"{block * 100 // blocks:3d} %".encode()
        return line + b"\b" * 5 + b"100 %\n"

    return (f"Updating {address}\n".encode() + b"Erase" + b" " * 15 + b"+\b \b\b\b\b Ok\n" +
            phase("Program") + phase("Verify") + OK_BANNER +
            b"\nFirmware upgraded, press any key to continue")


NO_DEVICE = b"No device detected\n"
MULTIPLE = b"Multiple devices detected, please specify target IP address\n"
NOT_FOUND = b"Device not found\n"
TYPE_INCORRECT = b"Device type incorrect\n"
TOO_LONG = b"Setting string too long\n"


@dataclass
class Case:
    name: str
    devices: dict  # device host -> extra simulator options; hosts listed with None run none
    arguments: list  # after the image file's name
    expected: bytes  # standard output after the start-up banner
    status: int
    updated: str = None  # the host whose simulator must complete the update and store the image
    setting: bytes = None  # the setting string that the updated host must have stored
    silent: list = field(default_factory=list)  # hosts whose simulator must receive nothing
    log_has: dict = field(default_factory=dict)  # host -> patterns of lines that must be logged
    log_lacks: dict = field(default_factory=dict)  # host -> patterns no logged line may match
    seconds: tuple = None  # bounds of the run's wall time


CASES = [
    # Discovery.
    Case("discovery: no device", {"d1": None}, [], NO_DEVICE, 0, seconds=(1.0, 2.5)),
    Case("discovery: one device", {"d1": []}, ["-pSITE7"], updated(DEVICES["d1"]), 1,
         updated="d1", setting=b"SITE7",
         log_has={"d1": [rf"discover - - answered from {PC}:\d+: announcing {DEVICES['d1']} "
                         r"-> 20 bytes"]}),
    # The address comes from the reply's bytes, not from its sender: d1 names d2, which stays
    # silent in discovery and takes the update.
    Case("discovery: announced address differs from the sender's", {
        "d1": ["--address", DEVICES["d2"]],
        "d2": ["--discovery-replies", "0"]
    }, [], updated(DEVICES["d2"]), 1, updated="d2", log_lacks={"d1": [r"^identify "]}),
    Case("discovery: one of three devices answers", {
        "d1": ["--discovery-replies", "0"],
        "d2": ["--discovery-replies", "0"],
        "d3": []
    }, [], updated(DEVICES["d3"]), 1, updated="d3"),
    Case("discovery: two devices", {"d1": [], "d2": []}, [], MULTIPLE, 0,
         log_lacks={"d1": [r"^identify "], "d2": [r"^identify "]}),
    Case("discovery: three devices", {"d1": [], "d2": [], "d3": []}, [], MULTIPLE, 0),
    Case("discovery: one device answering twice", {"d1": ["--discovery-replies", "2"]}, [],
         MULTIPLE, 0, log_lacks={"d1": [r"^identify "]}),
    Case("discovery: wrong code is not counted", {"d1": ["--discovery-code", "0x3930"]}, [],
         NO_DEVICE, 0),
    # An uncounted reply still restarts the silent second: d2's answer at 1.2 s is heard because
    # d1's came at 0.4 s.
    Case("discovery: wrong code prolongs listening", {
        "d1": ["--discovery-code", "0x3930", "--discovery-delay", "400"],
        "d2": ["--discovery-delay", "1200"]
    }, [], updated(DEVICES["d2"]), 1, updated="d2"),
    Case("discovery: reply after more than a second", {"d1": ["--discovery-delay", "1500"]}, [],
         NO_DEVICE, 0, log_lacks={"d1": [r"^identify "]}),
    Case("discovery: short reply alone", {"d1": ["--discovery-length", "19"]}, [], NO_DEVICE, 0),
    Case("discovery: short reply beside a device", {
        "d1": ["--discovery-length", "19"],
        "d2": []
    }, [], updated(DEVICES["d2"]), 1, updated="d2"),
    # A longer reply is judged by its first 20 bytes.
    Case("discovery: long reply", {"d1": ["--discovery-length", "30"]}, [],
         updated(DEVICES["d1"]), 1, updated="d1"),

    # Preparation, with the address given.
    Case("preparation: silent device", {"d1": ["--identify-replies", "0"]},
         [DEVICES["d1"], "-pSITE7"], NOT_FOUND, 1, seconds=(1.0, 2.5),
         log_lacks={"d1": [r"^setting ", r"^start "]}),
    Case("preparation: identify reply after more than a second",
         {"d1": ["--identify-delay", "1500"]}, [DEVICES["d1"]], NOT_FOUND, 1,
         log_lacks={"d1": [r"^start "]}),
    Case("preparation: wrong type", {"d1": ["--device-type", "2"]}, [DEVICES["d1"], "-pSITE7"],
         TYPE_INCORRECT, 1,
         log_has={"d1": [rf"identify - - answered from {PC}:\d+: type 2, .*"]},
         log_lacks={"d1": [r"^setting ", r"^start ", r"^open "]}),
    Case("preparation: type 256", {"d1": ["--device-type", "256"]}, [DEVICES["d1"]],
         TYPE_INCORRECT, 1, log_lacks={"d1": [r"^start "]}),
    Case("preparation: short identify reply", {"d1": ["--identify-length", "19"]},
         [DEVICES["d1"], "-pSITE7"], TYPE_INCORRECT, 1,
         log_lacks={"d1": [r"^setting ", r"^start "]}),
    Case("preparation: any echoed code is accepted", {"d1": ["--identify-code", "0x1234"]},
         [DEVICES["d1"]], updated(DEVICES["d1"]), 1, updated="d1"),
    Case("preparation: setting of 1 character", {"d1": []}, [DEVICES["d1"], "-pA"],
         updated(DEVICES["d1"]), 1, updated="d1", setting=b"A"),
    Case("preparation: setting of 89 characters", {"d1": ["--device-id", "a1b2c3d4e5f6"]},
         [DEVICES["d1"], b"-P" + SETTING_89], updated(DEVICES["d1"]), 1, updated="d1",
         setting=SETTING_89),
    Case("preparation: setting of 90 characters", {"d1": []}, [DEVICES["d1"], b"-p" + SETTING_90],
         TOO_LONG, 1, silent=["d1"]),

    # The whole run by discovery, with a setting string, every step in the device's log.
    Case("whole run by discovery with a setting", {"d1": ["--device-id", "02:00:5e:10:20:30"]},
         ["-pSITE7 north"], updated(DEVICES["d1"]), 1, updated="d1", setting=b"SITE7 north",
         log_has={
             "d1": [
                 rf"discover - - answered from {PC}:\d+: announcing {DEVICES['d1']} -> 20 bytes",
                 rf"identify - - answered from {PC}:\d+: type 1, id 02:00:5e:10:20:30 -> 20 bytes",
                 rf'setting - - taken from {PC}:\d+: "SITE7 north" \(11 characters\)',
                 rf"start - - taken from {PC}:\d+: transfer allowed",
                 r"end - - complete 4 blocks programmed and verified",
             ]
         }),
]


def hosts_of(case):
    hosts = {"pc": f"{PC}/24"}
    hosts.update({host: f"{DEVICES[host]}/24" for host in case.devices})
    return hosts


def check_logs(case, logs, problems):
    for host, text in logs.items():
        for pattern in case.log_has.get(host, []):
            if not re.search("^" + pattern + "$", text, re.M):
                problems.append(f"{host}'s log lacks a line {pattern!r}")
        for pattern in case.log_lacks.get(host, []):
            if re.search(pattern, text, re.M):
                problems.append(f"{host}'s log has a line {pattern!r}")
        # Every line about a datagram names its sender; the transfer's lines follow an "open from".
        if host in case.silent and " from " in text:
            problems.append(f"{host} received a datagram")


def check_store(case, work, image, problems):
    with open(os.path.join(work, f"{case.updated}.stored"), "rb") as stored:
        if stored.read()[:len(image)] != image:
            problems.append(f"{case.updated}'s stored image differs from the input")
    setting_path = os.path.join(work, f"{case.updated}.setting")
    if case.setting is not None:
        received = None
        if os.path.exists(setting_path):
            with open(setting_path, "rb") as stored_setting:
                received = stored_setting.read()
        if received != case.setting:
            problems.append(f"setting string arrived as {received!r}, sent {case.setting!r}")


def run_case(index, case, utility, simulator):
    """Builds the case's LAN, runs it and returns the list of problems found (empty: passed)."""
    problems = []
    image = bytes((i * 37 + 11) & 0xFF for i in range(IMAGE_SIZE))
    with tempfile.TemporaryDirectory(prefix="torvane-lan-") as work, \
            harness.Lan(hosts_of(case), tag=f"tv{os.getpid()}c{index}") as lan:
        if not lan.isolated():
            return ["a namespace of the LAN is this process's own"]
        image_path = os.path.join(work, "image.bin")
        with open(image_path, "wb") as out:
            out.write(image)
        simulators = {}
        try:
            for host, options in case.devices.items():
                if options is None:
                    continue
                simulators[host] = harness.Simulator(simulator, [
                    "--once", "--timeout", str(SIMULATOR_SECONDS), "--store",
                    os.path.join(work, f"{host}.stored"), "--store-setting",
                    os.path.join(work, f"{host}.setting"), *options
                ], os.path.join(work, f"{host}.log"), namespace=lan.namespaces[host])
            run = harness.run_utility([utility], [image_path, *case.arguments], RUN_SECONDS,
                                      namespace=lan.namespaces["pc"])
            if case.updated is not None:
                status = simulators[case.updated].wait(10)
                if status != 0:
                    problems.append(f"{case.updated}'s simulator ended with {status}, not 0")
        finally:
            for running in simulators.values():
                running.stop()
        output = run.after_banner()
        if run.status != case.status:
            problems.append(f"exit status {run.status}, expected {case.status}")
        if output is None:
            problems.append(f"no start-up banner: {run.stdout!r}")
        elif output != case.expected:
            problems.append(f"output {output!r}\n     expected {case.expected!r}")
        if case.seconds and not case.seconds[0] <= run.seconds <= case.seconds[1]:
            problems.append(f"took {run.seconds:.2f} s, expected {case.seconds[0]} to "
                            f"{case.seconds[1]} s")
        logs = {host: running.log() for host, running in simulators.items()}
        check_logs(case, logs, problems)
        if case.updated is not None:
            check_store(case, work, image, problems)
        if problems:
            problems.extend(f"{host}'s log:\n{text}" for host, text in logs.items())
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--utility", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--jobs", type=int, default=6, help="cases run side by side")
    parser.add_argument("--only", help="run only the cases whose name contains this text")
    arguments = parser.parse_args()
    if not harness.namespaces_available():
        print("skipped: cannot create named network namespaces (needs root and ip netns)")
        return harness.SKIP
    utility = os.path.abspath(arguments.utility)
    simulator = os.path.abspath(arguments.simulator)
    cases = [case for case in CASES if not arguments.only or arguments.only in case.name]

    def attempt(numbered):
        index, case = numbered
        try:
            return case.name, run_case(index, case, utility, simulator)
        except Exception as error:  # one broken case must not hide the others' results
            return case.name, [f"{type(error).__name__}: {error}"]

    with ThreadPoolExecutor(max_workers=max(1, arguments.jobs)) as pool:
        results = list(pool.map(attempt, enumerate(cases)))
    return harness.report(results)


if __name__ == "__main__":
    sys.exit(main())
