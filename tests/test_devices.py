# SPDX-License-Identifier: Apache-2.0
"""torvane-devices on a virtual LAN: list and info, update with a retry, a silent device, devices by
id and a dry run, in text, as JSON documents and as events (each checked against the published
schema and read for its values), defaults from the environment and a file, hostile hosts, and the
command lines it refuses. Its host is 10.77.0.1/24; each device host runs a simulator of its own."""
import hashlib
import os
import re
import select
import subprocess
import sys
import time

import pytest

from harness import EVERYWHERE, NATIVE, REPO, SETTING_89, USUAL, document, events, existing, \
    padded, pattern, row, stop

PC, D1, D2, D3 = "10.77.0.1/24", "10.77.0.11", "10.77.0.12", "10.77.0.13"
ID1, ID2 = "00:1b:2c:3d:4e:5f", "00:1b:2c:3d:4e:60"  # the simulator's default id, and another
ID3, ID4 = "0a:0b:0c:0d:0e:0f", "fe:dc:ba:98:76:54"
TYPE_2 = ["--device-type", "2", "--device-id", ID2]
SILENT = ["--identify-replies", "0"]
FIRST_UPDATE_FAILS = ["--wrong-byte", "S", "--fault-updates", "1"]  # the opening, then sound
FIRST_CYCLE_FAILS = ["--refuse", "P2:5", "--fault-cycles", "1"]  # block 2 of cycle 1 refused
B1 = "10.77.1.12"
NO_ROUTE = ("the discovery request could not be sent to 255.255.255.255; give --broadcast the "
            "broadcast address of the devices' subnet, such as 10.0.0.255")


def run_with(platform, tmp_path, setup, arguments, **options):
    """Runs torvane-devices with `setup`: its "environment", its configuration file's text
    ("config"), and a command in front ("wrap")."""
    if "config" in setup:
        (tmp_path / "defaults.toml").write_text(setup["config"])
        arguments = ["--config", "defaults.toml", *arguments]
    return platform.devices(arguments, cwd=tmp_path, environment=setup.get("environment"),
                            wrap=setup.get("wrap", ()), **options)


def listed_in_text(out):
    """(address, type, supported, id, reason) of each line of list or info."""
    devices = []
    for line in out.decode().splitlines():
        found = re.fullmatch(r"(\S+) +(?:type (\d+) +(supported|not supported) +id (\S+)"
                             r"( +\(also another device's id\))?|(no answer to identify)"
                             r"|(cannot open a UDP socket)|(not found): .*)\r?", line)
        assert found, line
        name, kind, support, identity, shared, silent, socket_error, not_found = found.groups()
        reason = ("duplicate_id" if shared else "no_answer" if silent else
                  "socket_error" if socket_error else "not_found" if not_found else None)
        devices.append((None if not_found else name, kind and int(kind), support == "supported",
                        name if not_found else identity, reason))
    return devices


def listed_in_json(found):
    devices = found["devices"]
    assert all(d["answered"] == (d["type"] is not None) for d in devices)
    assert found["totals"] == {"devices": len(devices),
                               "answered": sum(d["answered"] for d in devices)}
    return [(d["address"], d["type"], d["supported"], d["id"], d["reason"]) for d in devices]


def check_list_events(lines, found):
    """Each device listed was identified by an event of the same values; those found by discovery
    were heard first."""
    identified = {e["address"]: e for e in lines if e["event"] == "identified"}
    for device in found["devices"]:
        if device["address"] is not None:
            event = identified[device["address"]]
            assert {k: event[k] for k in ("id", "type", "supported", "answered")} == \
                {k: device[k] for k in ("id", "type", "supported", "answered")}
    if found["command"] == "list":
        heard = [e["address"] for e in lines if e["event"] == "discovered"]
        assert sorted(heard) == [d["address"] for d in found["devices"]]


# Device hosts {address: simulator options}, the addresses of torvane-devices' host (None: no LAN,
# only the test's loopback), the run's setup (run_with) and arguments (the text form, then with
# --json unless --events is among them), the devices shown, the exit status and the notes.
SHOWN = [
    row("list, no device", {}, PC, {}, ["list", "--events"], [], 1,
        ["no device answered the discovery request"]),
    row("list, no route for the broadcast", {}, None, {}, ["list"], [], 1, [NO_ROUTE], on=NATIVE),
    row("list, three devices", {D1: [], D2: TYPE_2, D3: SILENT}, PC, {}, ["list", "--events"],
        [(D1, 1, True, ID1, None), (D2, 2, False, ID2, None), (D3, None, False, None, "no_answer")],
        0, []),
    row("list, one device answering twice", {D1: ["--discovery-replies", "2"]}, PC, {}, ["list"],
        [(D1, 1, True, ID1, None)], 0, [], on=NATIVE),
    row("list, a subnet's broadcast, before the environment's", {D1: [], B1: []},
        (PC, "10.77.1.1/24"), {"environment": {"TORVANE_BROADCAST": "10.77.0.255"}},
        ["list", "--broadcast", "10.77.1.255"], [(B1, 1, True, ID1, None)], 0, [], on=NATIVE),
    # The environment before the file, the command's section of the file before its top.
    row("list, the environment's broadcast", {D1: [], B1: []}, (PC, "10.77.1.1/24"),
        {"environment": {"TORVANE_BROADCAST": "10.77.1.255"},
         "config": '[list]\nbroadcast = "10.77.0.255"\n'}, ["list"],
        [(B1, 1, True, ID1, None)], 0, [], on=NATIVE),
    row("list, the file's broadcast", {D1: [], B1: []}, (PC, "10.77.1.1/24"),
        {"config": 'broadcast = "10.77.0.255"\n[list]\nbroadcast = "10.77.1.255"\n'}, ["list"],
        [(B1, 1, True, ID1, None)], 0, [], on=NATIVE),
    # Answers 0.6 s apart keep discovery listening past the second: --wait ends it; given, it
    # listens that long, silent seconds included.
    row("list, --wait cuts listening short",
        {D1: ["--discovery-delay", "600"], D2: ["--discovery-delay", "1200"],
         D3: ["--discovery-delay", "1800"]}, PC, {}, ["list", "--wait", "1"],
        [(D1, 1, True, ID1, None)], 0, [], on=NATIVE),
    row("list, --wait listens the whole time", {D1: ["--discovery-delay", "1500"]}, PC, {},
        ["list", "--wait", "3"], [(D1, 1, True, ID1, None)], 0, [], on=NATIVE),
    row("list, an announced address is not taken", {D1: ["--address", "224.0.0.1"]}, PC, {},
        ["list"], [(D1, 1, True, ID1, None)], 0,
        [f"{D1} announced 224.0.0.1 in its answer to discovery; taken as {D1}, where it answered "
         "from"], on=NATIVE),
    row("info, devices named twice", {D1: [], D2: TYPE_2}, PC, {}, ["info", D2, D1, "010.77.0.12"],
        [(D2, 2, False, ID2, None), (D1, 1, True, ID1, None)], 0,
        [f"{D2} was named more than once; taken once"], on=NATIVE),
    row("info, silent", {D1: SILENT}, PC, {}, ["info", D1], [(D1, None, False, None, "no_answer")],
        1, [], on=NATIVE),
    row("info, a short identify answer is none", {D1: ["--identify-length", "19"]}, PC, {},
        ["info", D1, "--events"], [(D1, None, False, None, "no_answer")], 1, [], on=NATIVE),
    row("info, no socket", {}, None, {"wrap": [sys.executable, REPO / "tests/without_sockets.py"]},
        ["info", D1],
        [(D1, None, False, None, "socket_error")], 1, [], on=NATIVE),
    row("list, no socket", {}, None, {"wrap": [sys.executable, REPO / "tests/without_sockets.py"]},
        ["list"], [], 1, ["cannot open a UDP socket for discovery"], on=NATIVE),
    row("list, an answer from the broadcast address", {D2: []}, PC, {}, ["list", "--broadcast", D2],
        [], 1, [f"an answer to discovery from {D2}, a broadcast address, is left out",
                "no device answered the discovery request"], on=NATIVE),
    row("info by id", {D1: ["--device-id", ID3], D2: ["--device-id", ID4], D3: []}, PC, {},
        ["info", "--id", ID4.upper(), "--id", ID3.replace(":", "-"), D3],
        [(D3, 1, True, ID1, None), (D2, 1, True, ID4, None), (D1, 1, True, ID3, None)], 0, []),
    row("info by id, one missing", {D1: []}, PC, {}, ["info", "--id", ID2],
        [(None, None, False, ID2, "not_found")], 1, [], on=NATIVE),
    row("info by id, one missing, one twice", {D1: [], D2: []}, PC, {},
        ["info", "--id", ID2, "--id", ID1, "--id", ID1],
        [(None, None, False, ID2, "not_found"), (D1, 1, True, ID1, "duplicate_id"),
         (D2, 1, True, ID1, "duplicate_id")], 1, [f"{ID1} was named more than once; taken once"],
        on=NATIVE),
]


@pytest.mark.parametrize("devices,pc,setup,arguments,expected,status,notes", SHOWN)
def test_list_and_info(platform, lan, device, tmp_path, devices, pc, setup, arguments, expected,
                       status, notes):
    hosts = lan({"pc": pc, **{address: address + "/24" for address in devices}}) if pc else {}
    for address, options in devices.items():
        device(*options, name=address, ns=hosts[address])
    form = "--events" if "--events" in arguments else "--json"
    arguments = [argument for argument in arguments if argument != "--events"]
    text = run_with(platform, tmp_path, setup, arguments, ns=hosts.get("pc"))
    script = run_with(platform, tmp_path, setup, [*arguments, form], ns=hosts.get("pc"))
    if form == "--events":
        lines, found = events(script.out, arguments[0])
        check_list_events(lines, found)
        assert [e["text"] for e in lines if e["event"] == "note"] == notes
    else:
        found = document(script.out, arguments[0])
    assert (text.status, listed_in_text(text.out)) == (status, expected), text.err
    assert (script.status, listed_in_json(found), found["notes"]) == (status, expected, notes), \
        script.err
    assert [f"torvane-devices: {note}" for note in notes] == text.err.decode().splitlines()


def results_in_text(out):
    """(address, result, failed step, attempts) from the last line of each device that was tried:
    "1 attempt", any other count "N attempts"."""
    lines = re.findall(r"^(\S+): (updated|failed at (.+)) \((1 attempt|(?!1 )\d+ attempts), "
                       r"\d+\.\d s\)\r?$", out.decode(), re.MULTILINE)
    return [(address, result.split()[0], step or None, int(attempts.split()[0]))
            for address, result, step, attempts in lines]


def check_update_events(lines, found):
    """Each device's events in their order, as its entry in the summary says it went: every
    attempt started, each phase of each cycle started, progress from 0 to 100 % in steps, the
    cycles that failed, and the device's entry, as the summary has it."""
    for entry in found["devices"]:
        mine = [e for e in lines if e.get("address") == entry["address"] and "id" in e and
                e["event"] not in ("discovered", "identified")]
        assert mine[-1] == dict(mine[-1], event="device_done", device=entry, id=entry["id"])
        attempts = [e["attempt"] for e in mine if e["event"] == "attempt_started"]
        assert attempts == list(range(1, entry["attempts"] + 1))
        failed = [e for e in mine if e["event"] == "cycle_failed"]
        assert len(failed) == entry["failed_cycles"]
        for cycle in failed:
            assert cycle["failed_step_text"] == \
                f"{cycle['failed_step']} block {cycle['failed_number']}"
        if entry["result"] == "updated":
            phases = [(e["cycle"], e["phase"]) for e in mine if e["event"] == "phase_started"]
            assert phases[-3:] == [(len(failed) + 1, p) for p in ("erase", "program", "verify")]
            start = max(i for i, e in enumerate(mine) if e["event"] == "phase_started")
            verify = [e for e in mine[start:] if e["event"] == "progress"]
            # From 0 to 100 in steps of 5 % or more, or after a second or more.
            percents = [e["percent"] for e in verify]
            assert (percents[0], percents[-1], len(percents) > 5) == (0, 100, True), percents
            assert all(b["percent"] - a["percent"] >= 5 or b["percent"] == 100 or
                       b["time"][11:] >= seconds_later(a["time"]) for a, b in zip(verify, verify[1:]))


def seconds_later(time_text):
    """hh:mm:ss.mmmZ one second after that of an RFC 3339 time (within one day)."""
    hours, minutes, seconds = time_text[11:-1].split(":")
    total = int(hours) * 3600 + int(minutes) * 60 + float(seconds) + 1
    return f"{int(total // 3600):02}:{int(total % 3600 // 60):02}:{total % 60:06.3f}Z"


FLEET = {D1: [], D2: FIRST_UPDATE_FAILS, D3: SILENT}
FLEET_UPDATE = [D1, D2, D3, "--retries", "1", "--setting", "SITE7"]
# (address, result, reason, failed step, attempts)
FLEET_RESULTS = [(D1, "updated", None, None, 1), (D2, "updated", None, None, 2),
                 (D3, "failed", "no_answer", "identify", 2)]
RETRIED = f"{D2}: attempt 1 failed at opening; trying again"
NOT_SUPPORTED = ("skipped", "not_supported", None, 0)
# Device hosts {address: simulator options}, the arguments after the image, each device's result
# (address, result, reason, failed step, attempts) from its lines, the JSON document or the
# events (the text shows the devices tried), the exit status, and texts that standard output or
# error show. A device updated has the image and the setting; every other none, and with
# --dry-run it heard no start-update request.
UPDATES = [
    row("three devices", FLEET, FLEET_UPDATE, FLEET_RESULTS, 1,
        [RETRIED, "Updated 2 of 3 devices.", f"Failed: {D3} at identify (2 attempts)"], on=NATIVE),
    row("three devices, json", FLEET, [*FLEET_UPDATE, "--json"], FLEET_RESULTS, 1, [RETRIED],
        on=EVERYWHERE),
    row("a failed cycle and another type, events", {D1: FIRST_CYCLE_FAILS, D2: TYPE_2},
        [D1, D2, "--retries", "1", "--events"],
        [(D1, "updated", None, None, 1), (D2, "failed", "wrong_type", "device type", 1)], 1, [],
        on=USUAL),
    row("--all leaves another type out", {D1: [], D2: TYPE_2}, ["--all", "--json"],
        [(D1, "updated", None, None, 1), (D2, *NOT_SUPPORTED)], 0,
        [f"{D2}: left out, type 2 (not supported)"], on=NATIVE),
    row("--all finds no device", {}, ["--all", "--events"], [], 1,
        ["torvane-devices: no device of the supported type answered"], on=NATIVE),
    row("another type is not tried again", {D1: TYPE_2}, [D1, "--retries", "2"],
        [(D1, "failed", "wrong_type", "device type", 1)], 1,
        [f"Failed: {D1} at device type (1 attempt)"], on=NATIVE),
    row("setting of 89 bytes", {D1: []}, [D1, "--setting", SETTING_89],
        [(D1, "updated", None, None, 1)], 0, ["Updated 1 of 1 device."], on=NATIVE),
    row("by id, one missing", {D1: ["--device-id", ID3], D2: []},
        ["--id", ID3, "--id", ID4, "--json"],
        [(D1, "updated", None, None, 1), (None, "skipped", "not_found", None, 0)], 1,
        [f"{ID4}: not found"], on=NATIVE),
    row("by id, one twice", {D1: [], D2: [], D3: ["--device-id", ID3]}, ["--id", ID1, "--id", ID3,
                                                                         "--json"],
        [(D1, "skipped", "duplicate_id", None, 0), (D2, "skipped", "duplicate_id", None, 0),
         (D3, "updated", None, None, 1)], 1, [], on=NATIVE),
    row("silent from probe 3", {D1: ["--silent-from", "T3"]}, [D1, "--json"],
        [(D1, "failed", "transfer_failed", "probe 3", 1)], 1, [], on=NATIVE),
    row("dry run", {D1: [], D2: TYPE_2, D3: SILENT}, [D1, D2, D3, "--dry-run", "--json"],
        [(D1, "skipped", "dry_run", None, 0), (D2, "failed", "wrong_type", "device type", 0),
         (D3, "failed", "no_answer", "identify", 0)], 1,
        [f"{D1}: type 1 (supported), id {ID1}, would be updated (dry run)"], on=NATIVE),
]


# The names and numbers of the failed steps that the rows show as text.
STEPS = {None: (None, None), "identify": ("identify", None), "device type": ("device_type", None),
         "probe 3": ("probe", 3)}


def identity(options):
    """(type, id) that a simulator with `options` answers to identify with."""
    def option(name, default):
        return options[options.index(name) + 1] if name in options else default
    return (None, None) if options == SILENT else \
        (int(option("--device-type", 1)), option("--device-id", ID1))


def check_update_document(found, devices, arguments, expected, image):
    """The members of an update's document beside each device's result."""
    assert (found["dry_run"], found["stopped_by"], found["image"]) == (
        "--dry-run" in arguments, None,
        {"path": "image.bin", "size": len(image), "sha256": hashlib.sha256(image).hexdigest()})
    counted = [result for _, result, *_ in expected]
    assert found["totals"] == {"devices": len(expected), **{
        name: counted.count(name) for name in ("updated", "failed", "skipped", "interrupted",
                                               "timed_out")}}
    for entry in found["devices"]:
        options = devices.get(entry["address"], SILENT)
        started = entry["attempts"] > 0
        assert (entry["type"], entry["id"] if entry["address"] else None) == identity(options)
        assert (entry["started"] is not None, entry["ended"] is not None) == (started, started)
        assert entry["setting_written"] == ("--setting" in arguments and
                                            entry["result"] == "updated")
        assert entry["failed_cycles"] == (1 if options == FIRST_CYCLE_FAILS else 0)
        assert (entry["failed_step"], entry["failed_number"]) == STEPS[entry["failed_step_text"]]


@pytest.mark.parametrize("devices,arguments,expected,status,lines", UPDATES)
def test_update(platform, lan, device, tmp_path, devices, arguments, expected, status, lines):
    # Events show a larger image's progress in steps.
    image = pattern(12000 if "--events" in arguments else 1000)
    (tmp_path / "image.bin").write_bytes(image)
    hosts = lan({"pc": PC, **{address: address + "/24" for address in devices}})
    simulators = {address: device(*options, name=address, ns=hosts[address])
                  for address, options in devices.items()}
    run = platform.devices(["update", "image.bin", *arguments], cwd=tmp_path, ns=hosts["pc"],
                           seconds=90)
    updated = [address for address, result, *_ in expected if result == "updated"]
    if "--json" in arguments or "--events" in arguments:
        if "--events" in arguments:
            lines_, found = events(run.out, "update")
            check_update_events(lines_, found)
        else:
            found = document(run.out, "update")
        check_update_document(found, devices, arguments, expected, image)
        results = [(d["address"], d["result"], d["reason"], d["failed_step_text"], d["attempts"])
                   for d in found["devices"]]
    else:
        expected = [(address, result, step, attempts)
                    for address, result, _, step, attempts in expected if result != "skipped"]
        results = results_in_text(run.out)
    assert (results, run.status) == (expected, status), run.err
    shown = (run.out + run.err).decode()
    assert [line for line in lines if line not in shown] == [], shown
    assert b"\b" not in run.out + run.err
    setting = os.fsencode(arguments[arguments.index("--setting") + 1]) \
        if "--setting" in arguments else None
    for address, simulator in simulators.items():
        assert (simulator.stored, simulator.setting) == \
            ((padded(image), setting) if address in updated else (None, None))
        if "--dry-run" in arguments:
            assert "\nstart " not in "\n" + simulator.log_path.read_text()


def responder(bounds, ns, *arguments):
    """tests/hostile_responder.py in `ns`, once it is ready when it says so."""
    process = subprocess.Popen(["ip", "netns", "exec", ns, sys.executable,
                                REPO / "tests/hostile_responder.py", *arguments],
                               stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    if arguments[0] == "silent":
        ready = select.select([process.stdout], [], [], bounds.seconds(10))[0]
        assert ready and process.stdout.readline() == b"ready\n"
    return process


SILENT_HOSTS = [f"10.77.0.{100 + i}" for i in range(30)]


@pytest.mark.on(*NATIVE)
@pytest.mark.parametrize("hostile,devices,arguments,expected,status,seconds", [
    # Type-1 answers from another host, to every port torvane-devices may use, before the slow
    # device's own: a device of another type stays one.
    row("identify answers from another host",
        ["spray", "10.77.0.1", "40000", "40015", "1"], {D1: [*TYPE_2, "--identify-delay", "500"]},
        ["info", D1],
        [(D1, 2, False, ID2, None)], 0, 10),
    # Thirty hosts that answer discovery and nothing else cost one second together, not thirty.
    row("thirty silent hosts", ["silent", *SILENT_HOSTS], {}, ["list", "--wait", "1"],
        [(host, None, False, None, "no_answer") for host in sorted(SILENT_HOSTS)], 0, 6),
])
def test_hostile_hosts(platform, lan, device, bounds, hostile, devices, arguments, expected, status,
                       seconds):
    hosts = lan({"pc": PC, "hostile": ("10.77.0.66/24", *[h + "/24" for h in SILENT_HOSTS]),
                 **{address: address + "/24" for address in devices}})
    subprocess.run(["ip", "netns", "exec", hosts["pc"], "sysctl", "-qw",
                    "net.ipv4.ip_local_port_range=40000 40015"], check=True, timeout=10)
    for address, options in devices.items():
        device(*options, name=address, ns=hosts[address])
    process = responder(bounds, hosts["hostile"], *hostile)
    try:
        start = time.monotonic()
        run = platform.devices([*arguments, "--json"], ns=hosts["pc"], seconds=seconds + 5)
        elapsed = time.monotonic() - start
    finally:
        stop(process)
    found = document(run.out, arguments[0])
    assert (listed_in_json(found), run.status) == (expected, status), run.err
    assert elapsed < bounds.seconds(seconds)


@pytest.mark.on(*NATIVE)
def test_result_not_written(platform, lan, device, tmp_path):
    """A document that standard output did not take whole is a failure, and says so."""
    hosts = lan({"pc": PC, D1: D1 + "/24"})
    device(name=D1, ns=hosts[D1])
    (tmp_path / "image.bin").write_bytes(pattern(1000))
    run = platform.devices(["update", "image.bin", D1, "--json"], cwd=tmp_path, ns=hosts["pc"],
                           wrap=["sh", "-c", 'exec "$@" > /dev/full', "sh"])
    assert (run.status, run.err.decode().splitlines()[-1]) == (1, (
        "torvane-devices: the result could not be written whole to standard output: No space "
        "left on device")), run.err


# Arguments, and what standard error says; every row exits with status 2 and sends nothing.
REFUSED = [
    row("no command", [], "no command given"),
    row("unknown command", ["flash"], "unknown command 'flash'", on=NATIVE),
    row("unknown option", ["list", "--colour"], "unknown or ambiguous option '--colour'"),
    row("missing value", ["list", "--wait"], "--wait: 1 required SECONDS missing"),
    row("needless value", ["list", "--json=yes"], "--json: takes no value", on=NATIVE),
    row("wait out of range", ["list", "--wait", "0"], "--wait: expects a whole number",
        on=NATIVE),
    row("wait out of range in the environment", ["list", "TORVANE_WAIT=3601"],
        "TORVANE_WAIT: expects a whole number from 1 to 3600, not '3601'", on=NATIVE),
    row("unknown key in the file", ["list", "--config", "defaults.toml"],
        "no option of 'update' takes a default from 'update.colour'", on=NATIVE),
    row("option of another command", ["info", "10.0.0.7", "--retries", "2"],
        "option '--retries' does not apply to 'info'", on=NATIVE),
    row("broadcast without discovery", ["update", "image.bin", "10.0.0.7", "--broadcast",
                                        "10.0.0.255"], "'--broadcast' does not apply", on=NATIVE),
    row("json and events", ["list", "--json", "--events"], "exclude each other", on=NATIVE),
    row("info without device", ["info"], "info needs device addresses or --id", on=NATIVE),
    row("address part of 256", ["info", "10.0.0.256"],
        "IPv4 address such as 10.0.0.7, not '10.0.0.256'", on=NATIVE),
    row("a multicast address", ["info", "10.0.0.7", "224.0.0.1"],
        "'224.0.0.1' is a multicast address, not a device's", on=NATIVE),
    row("the broadcast address", ["update", "image.bin", "--id", ID1, "10.0.0.255",
                                  "--broadcast", "10.0.0.255"], "is a broadcast address",
        on=NATIVE),
    row("a loopback address", ["info", "127.0.0.1"], "is a loopback address", on=NATIVE),
    row("the limited broadcast", ["info", "255.255.255.255"], "is a broadcast address", on=NATIVE),
    row("no address", ["info", "0.0.0.0"], "such as 10.0.0.7, not '0.0.0.0'", on=NATIVE),
    row("id of five pairs", ["info", "--id", "00:1b:2c:3d:4e"], "a device id such as", on=NATIVE),
    row("addresses and --all", ["update", "image.bin", "10.0.0.7", "--all"],
        "unexpected argument '10.0.0.7'", on=NATIVE),
    row("update without devices", ["update", "image.bin"], "device addresses, --id or --all",
        on=NATIVE),
    row("setting of 90 bytes", ["update", "image.bin", "10.0.0.7", "--setting", "x" * 90],
        "expects 1 to 89 bytes, not 'xxx", on=NATIVE),
    # Arguments are shown cut and without control bytes.
    row("setting of 100000 bytes", ["update", "image.bin", "10.0.0.7", "--setting", "x" * 100000],
        f"not '{'x' * 64}'... (100000 bytes)", on=NATIVE),
    row("escape sequence", ["list", "--wait", "\x1b[2J"], "not '\\x1b[2J'", on=NATIVE),
    row("image missing", ["update", "missing.bin", "10.0.0.7"],
        "cannot open the image 'missing.bin': No such file or directory"),
    row("image empty", ["update", "empty.bin", "10.0.0.7"], "is empty", on=NATIVE),
    row("65 at a time, from the environment", ["update", "image.bin", "10.0.0.7",
                                               "TORVANE_PARALLEL=65"],
        "TORVANE_PARALLEL: expects a whole number from 1 to 64, not '65'", on=NATIVE),
    row("--skip-updated without a journal", ["update", "image.bin", "10.0.0.7", "--skip-updated"],
        "--skip-updated needs --journal FILE", on=NATIVE),
    row("a journal that cannot be opened", ["update", "image.bin", "10.0.0.7", "--journal", "."],
        "cannot open the journal '.'", on=NATIVE),
]


@pytest.mark.parametrize("arguments,message", REFUSED)
def test_refused(platform, datagrams_sent, tmp_path, arguments, message):
    (tmp_path / "image.bin").write_bytes(pattern(256))
    (tmp_path / "empty.bin").write_bytes(b"")
    (tmp_path / "defaults.toml").write_text("wait = 2\n[update]\ncolour = 1\n")
    environment = dict(a.split("=", 1) for a in arguments if a.startswith("TORVANE_"))
    arguments = [a for a in arguments if not a.startswith("TORVANE_")]
    run = platform.devices(arguments, cwd=tmp_path, environment=environment)
    assert (run.status, run.out, datagrams_sent()) == (2, b"", []), run.err
    assert message.encode() in run.err and len(run.err) < 300, run.err


@pytest.mark.on(*NATIVE)
def test_help_and_version(platform, request, bounds):
    """--help names every command and option of the manual page, within 80 columns, on standard
    output; --version says the project's version, as the simulator does."""
    page = existing(request.config.getoption("build"), "man/torvane-devices.1").read_text()
    page = page[:page.index(".SH EXAMPLES")]  # whose other programs have options of their own
    names = re.findall(r"^\.B torvane-devices (\w+)$", page, re.M) + \
        sorted(set(re.findall(r"--\w[\w-]*", page.replace("\\-", "-"))))
    usage = platform.devices(["--help"])
    unnamed = [name for name in names if not re.search(rf"(?<![\w-]){name}\b", usage.out.decode())]
    assert (usage.status, usage.err, len(names) > 8, unnamed) == (0, b"", True, []), usage.out
    assert all(len(line) <= 80 for line in usage.out.splitlines())
    simulator = platform.command(["--version"], program=platform.utility.parent / "torvane-devsim")
    version = platform.devices(["--version"]).out.split()
    assert version == [b"torvane-devices", bounds.run(simulator[0], 10).out.split()[-1]]
