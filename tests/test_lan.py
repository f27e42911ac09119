# SPDX-License-Identifier: Apache-2.0
"""Discovery and preparation on a virtual LAN: the utility's host 10.77.0.1/24 and device hosts,
each with a simulator of its own, joined by a bridge in namespaces that exist only here."""
import pytest

from harness import NATIVE, OK, UPDATED_1000, pattern, row

NO_DEVICE = b"No device detected\n"
MULTIPLE = b"Multiple devices detected, please specify target IP address\n"
NOT_FOUND = b"Device not found\n"
TYPE_INCORRECT = b"Device type incorrect\n"
D1, D2 = "10.77.0.11", "10.77.0.12"


def updated(address):
    return b"Updating " + address.encode() + b"\n" + UPDATED_1000 + OK


# Device hosts {address: options}, arguments after the image, output, status, the host updated.
# Rows on NATIVE alone differ from others only in the logic, which has nothing of the platform.
ROWS = [
    row("no device", {}, [], NO_DEVICE, 0, None),
    row("one device on another subnet", {"10.77.1.20": []}, [], updated("10.77.1.20"), 1,
        "10.77.1.20", on=NATIVE),
    row("the announced address is used", {D1: ["--address", D2], D2: ["--discovery-replies", "0"]},
        [], updated(D2), 1, D2, on=NATIVE),
    row("two devices", {D1: [], D2: []}, [], MULTIPLE, 0, None),
    row("one device answering twice", {D1: ["--discovery-replies", "2"]}, [], MULTIPLE, 0, None,
        on=NATIVE),
    row("19-byte answer beside a device", {D1: ["--discovery-length", "19"], D2: []}, [],
        updated(D2), 1, D2),
    row("30-byte answers", {D1: ["--discovery-length", "30", "--identify-length", "30"]},
        ["-pSITE7"], updated(D1), 1, D1),
    # An answer with the wrong code is not counted, but still restarts the silent second.
    row("wrong echo code prolongs listening",
        {D1: ["--discovery-code", "0x3930", "--discovery-delay", "600"],
         D2: ["--discovery-delay", "1400"]}, [], updated(D2), 1, D2),
    row("answer after 0.7 s", {D1: ["--discovery-delay", "700"]}, [], updated(D1), 1, D1),
    row("answer after 1.3 s", {D1: ["--discovery-delay", "1300"]}, [], NO_DEVICE, 0, None),
    row("identify answer after 0.7 s", {D1: ["--identify-delay", "700"]}, [D1], updated(D1), 1,
        D1),
    row("identify answer after 1.3 s", {D1: ["--identify-delay", "1300"]}, [D1, "-pSITE7"],
        NOT_FOUND, 1, None),
    row("identify answer echoing any code", {D1: ["--identify-code", "0x1234"]}, [D1],
        updated(D1), 1, D1, on=NATIVE),
    row("wrong type", {D1: ["--device-type", "2"]}, [D1, "-pSITE7"], TYPE_INCORRECT, 1, None),
    # 0x0101: read from either byte alone, the type would be 1.
    row("type 257", {D1: ["--device-type", "257"]}, [D1], TYPE_INCORRECT, 1, None, on=NATIVE),
    row("19-byte identify answer", {D1: ["--identify-length", "19"]}, [D1], TYPE_INCORRECT, 1,
        None),
]


@pytest.mark.parametrize("devices,arguments,expected,status,target", ROWS)
def test_lan(platform, lan, device, tmp_path, devices, arguments, expected, status, target):
    image = pattern(1000)
    (tmp_path / "image.bin").write_bytes(image)
    hosts = lan({"pc": "10.77.0.1/24", **{address: address + "/24" for address in devices}})
    simulators = {address: device("--once", *options, name=address, ns=hosts[address])
                  for address, options in devices.items()}
    run = platform.run(["image.bin", *arguments], cwd=tmp_path, ns=hosts["pc"])
    assert (run.status, run.out) == (status, platform.text(expected))
    for address, simulator in simulators.items():
        finished = address == target
        assert simulator.finish(10 if finished else 0) == (0 if finished else None)
        assert simulator.stored == (image + bytes(24) if finished else None)
        settings = [argument[2:].encode() for argument in arguments if argument[:2] == "-p"]
        assert simulator.setting == (settings[0] if finished and settings else None)


def test_setting_too_long_before_discovery(platform, lan, device, tmp_path):
    """Refused before any datagram goes out: the device never hears a discovery request."""
    (tmp_path / "image.bin").write_bytes(pattern(1000))
    hosts = lan({"pc": "10.77.0.1/24", D1: D1 + "/24"})
    simulator = device(name=D1, ns=hosts[D1])
    run = platform.run(["image.bin", "-p" + "x" * 90], cwd=tmp_path, ns=hosts["pc"])
    assert (run.status, run.out) == (1, platform.text(b"Setting string too long\n"))
    assert "\ndiscover " not in "\n" + simulator.log_path.read_text()
