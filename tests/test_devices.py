# SPDX-License-Identifier: Apache-2.0
"""torvane-devices on a virtual LAN: list and info, update with a retry and a silent device, each
in text and as JSON (parsed here), and the command lines it refuses. Its host is 10.77.0.1/24;
each device host runs a simulator of its own."""
import json
import os
import re

import pytest

from harness import EVERYWHERE, NATIVE, SETTING_89, existing, padded, pattern, row

PC, D1, D2, D3 = "10.77.0.1/24", "10.77.0.11", "10.77.0.12", "10.77.0.13"
ID1, ID2 = "00:1b:2c:3d:4e:5f", "00:1b:2c:3d:4e:60"  # the simulator's default id, and another
TYPE_2 = ["--device-type", "2", "--device-id", ID2]
SILENT = ["--identify-replies", "0"]
FIRST_UPDATE_FAILS = ["--wrong-byte", "S", "--fault-updates", "1"]  # the opening, then sound
B1 = "10.77.1.12"


def listed_in_text(out):
    """(address, type, supported, id) of each line of list or info; None where nothing answered."""
    devices = []
    for line in out.decode().splitlines():
        found = re.fullmatch(r"(\S+) +(?:type (\d+) +(supported|not supported) +id (\S+)"
                             r"|no answer to identify)", line)
        assert found, line
        address, kind, support, identity = found.groups()
        devices.append((address, kind and int(kind), support == "supported", identity))
    return devices


def listed_in_json(out):
    devices = json.loads(out)["devices"]
    assert all(device["answered"] == (device["type"] is not None) for device in devices)
    return [(d["address"], d["type"], d["supported"], d["id"]) for d in devices]


# Device hosts {address: simulator options}, the addresses of torvane-devices' host, the command,
# the devices it shows and its exit status.
SHOWN = [
    row("list, no device", {}, PC, ["list"], [], 1),
    row("list, three devices", {D1: [], D2: TYPE_2, D3: SILENT}, PC, ["list"],
        [(D1, 1, True, ID1), (D2, 2, False, ID2), (D3, None, False, None)], 0),
    row("list, one device answering twice", {D1: ["--discovery-replies", "2"]}, PC, ["list"],
        [(D1, 1, True, ID1)], 0, on=NATIVE),
    row("list, a subnet's broadcast", {D1: [], B1: []}, (PC, "10.77.1.1/24"),
        ["list", "--broadcast", "10.77.1.255"], [(B1, 1, True, ID1)], 0, on=NATIVE),
    # Answers 0.6 s apart keep discovery listening past the second: --wait ends it.
    row("list, --wait cuts listening short",
        {D1: ["--discovery-delay", "600"], D2: ["--discovery-delay", "1200"],
         D3: ["--discovery-delay", "1800"]}, PC, ["list", "--wait", "1"],
        [(D1, 1, True, ID1)], 0, on=NATIVE),
    row("info, wrong type", {D1: TYPE_2}, PC, ["info", D1], [(D1, 2, False, ID2)], 0, on=NATIVE),
    row("info, silent", {D1: SILENT}, PC, ["info", D1], [(D1, None, False, None)], 1, on=NATIVE),
]


@pytest.mark.parametrize("devices,pc,arguments,expected,status", SHOWN)
def test_list_and_info(platform, lan, device, devices, pc, arguments, expected, status):
    hosts = lan({"pc": pc, **{address: address + "/24" for address in devices}})
    for address, options in devices.items():
        device(*options, name=address, ns=hosts[address])
    text = platform.devices(arguments, ns=hosts["pc"])
    document = platform.devices([*arguments, "--json"], ns=hosts["pc"])
    assert (text.status, listed_in_text(text.out)) == (status, expected), text.err
    assert (document.status, listed_in_json(document.out)) == (status, expected), document.err


def results_in_text(out):
    """(address, result, failed step, attempts) from the last line of each device: "1 attempt",
    any other count "N attempts"."""
    lines = re.findall(r"^(\S+): (updated|failed at (.+)) \((1 attempt|(?!1 )\d+ attempts), "
                       r"\d+\.\d s\)\r?$", out.decode(), re.MULTILINE)
    return [(address, result.split()[0], step or None, int(attempts.split()[0]))
            for address, result, step, attempts in lines]


FLEET = {D1: [], D2: FIRST_UPDATE_FAILS, D3: SILENT}
FLEET_UPDATE = [D1, D2, D3, "--retries", "1", "--setting", "SITE7"]
FLEET_RESULTS = [(D1, "updated", None, 1), (D2, "updated", None, 2), (D3, "failed", "identify", 2)]
RETRIED = f"{D2}: attempt 1 failed at opening; trying again"
# Device hosts {address: simulator options}, the arguments after the image, each device's result
# (address, result, failed step, attempts) from its lines or the JSON document, the exit status,
# and texts that standard output or error show.
UPDATES = [
    row("three devices", FLEET, FLEET_UPDATE, FLEET_RESULTS, 1,
        [RETRIED, "Updated 2 of 3 devices.", f"Failed: {D3} at identify (2 attempts)"], on=NATIVE),
    row("three devices, json", FLEET, [*FLEET_UPDATE, "--json"], FLEET_RESULTS, 1, [RETRIED],
        on=EVERYWHERE),
    row("--all leaves another type out", {D1: [], D2: TYPE_2}, ["--all", "--json"],
        [(D1, "updated", None, 1)], 0, [f"{D2}: left out, type 2 (not supported)"], on=NATIVE),
    row("--all finds no device", {}, ["--all"], [], 1,
        ["torvane-devices: no device of the supported type answered"], on=NATIVE),
    row("another type is not tried again", {D1: TYPE_2}, [D1, "--retries", "2"],
        [(D1, "failed", "device type", 1)], 1, [f"Failed: {D1} at device type (1 attempt)"],
        on=NATIVE),
    row("setting of 89 bytes", {D1: []}, [D1, "--setting", SETTING_89],
        [(D1, "updated", None, 1)], 0, ["Updated 1 of 1 device."], on=NATIVE),
]


@pytest.mark.parametrize("devices,arguments,expected,status,lines", UPDATES)
def test_update(platform, lan, device, tmp_path, devices, arguments, expected, status, lines):
    image = pattern(1000)
    (tmp_path / "image.bin").write_bytes(image)
    hosts = lan({"pc": PC, **{address: address + "/24" for address in devices}})
    simulators = {address: device(*options, name=address, ns=hosts[address])
                  for address, options in devices.items()}
    run = platform.devices(["update", "image.bin", *arguments], cwd=tmp_path, ns=hosts["pc"],
                           seconds=90)
    updated = [address for address, result, _, _ in expected if result == "updated"]
    if "--json" in arguments:
        document = json.loads(run.out)
        results = [(d["address"], d["result"], d["failed_step"], d["attempts"])
                   for d in document["devices"]]
        # Those updated answered as the simulator's default; the silent one did not.
        assert [(d["type"], d["id"]) for d in document["devices"]] == \
            [(1, ID1) if address in updated else (None, None) for address, *_ in expected]
        assert document["totals"] == {"devices": len(expected), "updated": len(updated),
                                      "failed": len(expected) - len(updated)}
    else:
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


# Arguments, and what standard error says; every row exits with status 2 and sends nothing.
REFUSED = [
    row("no command", [], "no command given"),
    row("unknown command", ["flash"], "unknown command 'flash'", on=NATIVE),
    row("unknown option", ["list", "--colour"], "unknown or ambiguous option '--colour'"),
    row("missing value", ["list", "--wait"], "--wait: 1 required SECONDS missing"),
    row("needless value", ["list", "--json=yes"], "--json: takes no value", on=NATIVE),
    row("wait out of range", ["list", "--wait", "0"], "--wait: expects a whole number",
        on=NATIVE),
    row("option of another command", ["info", "127.0.0.1", "--retries", "2"],
        "option '--retries' does not apply to 'info'", on=NATIVE),
    row("broadcast without --all", ["update", "image.bin", "127.0.0.1", "--broadcast",
                                    "10.0.0.255"], "'--broadcast' does not apply", on=NATIVE),
    row("info without address", ["info"], "info needs the device's ADDRESS", on=NATIVE),
    row("address part of 256", ["info", "10.0.0.256"],
        "IPv4 address such as 10.0.0.7, not '10.0.0.256'",
        on=NATIVE),
    row("addresses and --all", ["update", "image.bin", "127.0.0.1", "--all"],
        "unexpected argument '127.0.0.1'", on=NATIVE),
    row("update without devices", ["update", "image.bin"], "device addresses or --all",
        on=NATIVE),
    row("setting of 90 bytes", ["update", "image.bin", "127.0.0.1", "--setting", "x" * 90],
        "expects 1 to 89 bytes", on=NATIVE),
    row("image missing", ["update", "missing.bin", "127.0.0.1"], "cannot open the image"),
    row("image empty", ["update", "empty.bin", "127.0.0.1"], "is empty", on=NATIVE),
]


@pytest.mark.parametrize("arguments,message", REFUSED)
def test_refused(platform, datagrams_sent, tmp_path, arguments, message):
    (tmp_path / "image.bin").write_bytes(pattern(256))
    (tmp_path / "empty.bin").write_bytes(b"")
    run = platform.devices(arguments, cwd=tmp_path)
    assert (run.status, run.out, datagrams_sent()) == (2, b"", []), run.err
    assert message.encode() in run.err, run.err


@pytest.mark.on(*NATIVE)
def test_help_and_version(platform, request, bounds):
    """--help names every command and option of the manual page, within 80 columns, on standard
    output; --version says the project's version, as the simulator does."""
    page = existing(request.config.getoption("build"), "man/torvane-devices.1").read_text()
    names = re.findall(r"^\.B torvane-devices (\w+)$", page, re.M) + \
        sorted(set(re.findall(r"--\w+", page.replace("\\-", "-"))))
    usage = platform.devices(["--help"])
    unnamed = [name for name in names if not re.search(rf"(?<![\w-]){name}\b", usage.out.decode())]
    assert (usage.status, usage.err, len(names) > 8, unnamed) == (0, b"", True, []), usage.out
    assert all(len(line) <= 80 for line in usage.out.splitlines())
    simulator = platform.command(["--version"], program=platform.utility.parent / "torvane-devsim")
    version = platform.devices(["--version"]).out.split()
    assert version == [b"torvane-devices", bounds.run(simulator[0], 10).out.split()[-1]]
