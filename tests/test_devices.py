# SPDX-License-Identifier: Apache-2.0
"""torvane-devices on a virtual LAN: list and info, update with a retry and a silent device, each
in text and as JSON (parsed here), and the command lines it refuses. Its host is 10.77.0.1/24;
each device host runs a simulator of its own."""
import json
import re
import socket

import pytest

from conftest import EVERYWHERE, NATIVE, padded, pattern, row, run_bounded

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
# its exit status and the devices it shows.
SHOWN = [
    row("list, no device", {}, PC, ["list"], 1, []),
    row("list, one device", {D1: []}, PC, ["list"], 0, [(D1, 1, True, ID1)]),
    row("list, three devices", {D1: [], D2: TYPE_2, D3: SILENT}, PC, ["list"], 0,
        [(D1, 1, True, ID1), (D2, 2, False, ID2), (D3, None, False, None)], on=NATIVE),
    row("list, one device answering twice", {D1: ["--discovery-replies", "2"]}, PC, ["list"], 0,
        [(D1, 1, True, ID1)], on=NATIVE),
    row("list, a subnet's broadcast", {D1: [], B1: []}, (PC, "10.77.1.1/24"),
        ["list", "--broadcast", "10.77.1.255"], 0, [(B1, 1, True, ID1)], on=NATIVE),
    # Answers 0.6 s apart keep discovery listening past the second: --wait ends it.
    row("list, --wait cuts listening short",
        {D1: ["--discovery-delay", "600"], D2: ["--discovery-delay", "1200"],
         D3: ["--discovery-delay", "1800"]}, PC, ["list", "--wait", "1"], 0,
        [(D1, 1, True, ID1)], on=NATIVE),
    row("info, right type", {D1: []}, PC, ["info", D1], 0, [(D1, 1, True, ID1)], on=NATIVE),
    row("info, wrong type", {D1: TYPE_2}, PC, ["info", D1], 0, [(D1, 2, False, ID2)], on=NATIVE),
    row("info, silent", {D1: SILENT}, PC, ["info", D1], 1, [(D1, None, False, None)], on=NATIVE),
]


@pytest.mark.parametrize("devices,pc,arguments,status,expected", SHOWN)
def test_list_and_info(platform, lan, device, devices, pc, arguments, status, expected):
    hosts = lan({"pc": pc, **{address: address + "/24" for address in devices}})
    for address, options in devices.items():
        device(*options, name=address, ns=hosts[address])
    text = platform.devices(arguments, ns=hosts["pc"])
    document = platform.devices([*arguments, "--json"], ns=hosts["pc"])
    assert (text.status, listed_in_text(text.out)) == (status, expected), text.err
    assert (document.status, listed_in_json(document.out)) == (status, expected), document.err


def results_in_text(out):
    """(address, result, failed step, attempts) from the last line of each device."""
    lines = re.findall(r"^(\S+): (updated|failed at (.+)) \((\d+) attempts?, \d+\.\d s\)\r?$",
                       out.decode(), re.MULTILINE)
    return [(address, result.split()[0], step or None, int(attempts))
            for address, result, step, attempts in lines]


@pytest.mark.parametrize("as_json", [row("text", False, on=NATIVE),
                                     row("json", True, on=EVERYWHERE)])
def test_update(platform, lan, device, tmp_path, as_json):
    image = pattern(1000)
    (tmp_path / "image.bin").write_bytes(image)
    hosts = lan({"pc": PC, D1: D1 + "/24", D2: D2 + "/24", D3: D3 + "/24"})
    simulators = {address: device(*options, name=address, ns=hosts[address])
                  for address, options in ((D1, []), (D2, FIRST_UPDATE_FAILS), (D3, SILENT))}
    run = platform.devices(["update", "image.bin", D1, D2, D3, "--retries", "1", "--setting",
                            "SITE7", *(["--json"] if as_json else [])], cwd=tmp_path,
                           ns=hosts["pc"], seconds=90)
    expected = [(D1, "updated", None, 1), (D2, "updated", None, 2), (D3, "failed", "identify", 2)]
    if as_json:
        document = json.loads(run.out)
        assert [(d["address"], d["result"], d["failed_step"], d["attempts"])
                for d in document["devices"]] == expected
        assert [(d["type"], d["id"]) for d in document["devices"]] == \
            [(1, ID1), (1, ID1), (None, None)]
        assert document["totals"] == {"devices": 3, "updated": 2, "failed": 1}
        progress = run.err
    else:
        assert results_in_text(run.out) == expected
        assert run.out.decode().splitlines()[-2:] == \
            ["Updated 2 of 3 devices.", f"Failed: {D3} at identify (2 attempts)"]
        progress = run.out
    assert run.status == 1
    assert f"{D2}: attempt 1 failed at opening; trying again".encode() in progress
    assert b"\b" not in run.out + run.err
    for address, simulator in simulators.items():
        updated = address != D3
        assert simulator.stored == (padded(image) if updated else None)
        assert simulator.setting == (b"SITE7" if updated else None)


@pytest.mark.on(*NATIVE)
def test_update_all(platform, lan, device, tmp_path):
    """--all updates the devices of the supported type that discovery finds, and no other."""
    (tmp_path / "image.bin").write_bytes(pattern(256))
    hosts = lan({"pc": PC, D1: D1 + "/24", D2: D2 + "/24"})
    simulators = [device(*options, name=address, ns=hosts[address])
                  for address, options in ((D1, []), (D2, TYPE_2))]
    run = platform.devices(["update", "image.bin", "--all", "--json"], cwd=tmp_path,
                           ns=hosts["pc"])
    assert (run.status, [d["address"] for d in json.loads(run.out)["devices"]]) == (0, [D1])
    assert f"{D2}: left out, type 2 (not supported)".encode() in run.err
    assert [simulator.stored for simulator in simulators] == [padded(pattern(256)), None]


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
    row("address not a dotted quad", ["info", "10.0.0"],
        "IPv4 address such as 10.0.0.7, not '10.0.0'", on=NATIVE),
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
def test_refused(platform, tmp_path, arguments, message):
    (tmp_path / "image.bin").write_bytes(pattern(256))
    (tmp_path / "empty.bin").write_bytes(b"")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as port_36:
        port_36.bind(("127.0.0.1", 36))
        run = platform.devices(arguments, cwd=tmp_path)
        port_36.setblocking(False)
        with pytest.raises(BlockingIOError):
            port_36.recv(1024)
    assert (run.status, run.out) == (2, b"") and message.encode() in run.err, run.err


@pytest.mark.on(*NATIVE)
def test_help_and_version(platform, request):
    """--help prints the usage on standard output; --version the project's, as the simulator."""
    usage = platform.devices(["--help"])
    assert usage.status == 0 and usage.out.startswith(b"Usage: torvane-devices list ")
    assert all(len(line) <= 80 for line in usage.out.splitlines())
    simulator = platform.utility.parent / "torvane-devsim"
    version = platform.devices(["--version"]).out.split()
    assert version == [b"torvane-devices", run_bounded([simulator, "--version"], 10).out.split()[-1]]
