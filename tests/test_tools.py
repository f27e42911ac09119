"""What comes with the programs: the demo, the manual pages, the Wireshark dissector, the Debian
package, and for the Windows build its imports and its unit tests under Wine."""
import glob
import os
import re
import shlex
import socket
import struct
import subprocess

import pytest

from conftest import (BANNER, KEY, REPO, existing, installed, padded, pattern, run_bounded, stop,
                      until)

LINUX, WINDOWS = pytest.mark.on("native"), pytest.mark.on("wine")
PAD = bytes((i * 37 + 11) & 0xFF for i in range(64))  # bytes 17..20, the offset's mask, not zero
FILE_BLOCK = bytes((i * 7 + 3) & 0xFF for i in range(256))
REPLY = bytes.fromhex("4321303e 0a0000c8 00000000 001b2c3d4e5f 0001")


def block_record(command, offset):
    """A block record masked with PAD: the image file's bytes XOR the pad travel."""
    masked = bytes(byte ^ PAD[17 + i] for i, byte in enumerate(offset.to_bytes(4, "big")))
    return command + b"\0" + masked + bytes(b ^ PAD[i % 64] for i, b in enumerate(FILE_BLOCK)) + PAD


SYNTHETIC = [  # datagram, sent to the device, fields the dissector shows
    (bytes.fromhex("43213039") + bytes(16), True,
     {"kind": "Management request", "command": "0x3039"}),
    (REPLY[:2] + b"\x30\x39" + REPLY[4:], False,
     {"kind": "Management reply", "device_address": "10.0.0.200", "device_type": "1"}),
    (REPLY[:18] + b"\x01\x00", False, {"device_id": "001b2c3d4e5f", "device_type": "256"}),
    (bytes.fromhex("4321303f 0306 001b2c3d4e5f 0505") + b"SITE7" + bytes(85), True,
     {"kind": "Setting record", "device_id": "001b2c3d4e5f", "item.setting_text": "SITE7"}),
    (bytes.fromhex("43213074") + bytes(16), True, {"command": "0x3074"}),
    (b"S", True, {"kind": "Transfer command", "transfer.command": "0x53"}),
    (b"1", False, {"kind": "Transfer reply", "reply": "0x31"}),
    (b"T" + bytes(512), True, {"kind": "Probe"}),
    (block_record(b"P", 0x100), True,
     {"kind": "Block record", "block.command": "0x50", "block.offset": "0x00000100",
      "block.file_data": FILE_BLOCK.hex(),
      "block.data": bytes(b ^ KEY[i % 32] for i, b in enumerate(FILE_BLOCK)).hex()}),
    (block_record(b"V", 0x10000), True, {"block.command": "0x56", "block.offset": "0x00010000"}),
    (bytes(range(1, 6)), True, {"kind": "Unknown"}),
]


def decode(capture, fields, *options):
    """Each datagram on port 36 of the capture, as the dissector shows `fields`."""
    shown = subprocess.run(
        [installed("tshark"), "-n", "-X", f"lua_script:{REPO}/tools/wireshark/torvane.lua", "-r",
         capture, *options, "-T", "fields", "-E", "occurrence=f",
         *[argument for field in fields for argument in ("-e", "torvane." + field)]],
        capture_output=True, text=True, timeout=60, check=True).stdout
    return [dict(zip(fields, line.replace(":", "").split("\t"))) for line in shown.splitlines()]


@LINUX
def test_dissector_on_hand_built_datagrams(platform, tmp_path):
    utility, device = bytes([10, 0, 0, 1]), bytes([10, 0, 0, 200])
    with open(tmp_path / "synthetic.pcap", "wb") as capture:
        capture.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))  # raw IPv4
        for datagram, to_device, _ in SYNTHETIC:
            ends = [utility, device] if to_device else [device, utility]
            ports = [50000, 36] if to_device else [36, 50000]
            packet = struct.pack("!BBHHHBBH4s4sHHHH", 0x45, 0, 28 + len(datagram), 1, 0, 64, 17,
                                 0, *ends, *ports, 8 + len(datagram), 0) + datagram
            capture.write(struct.pack("<IIII", 1700000000, 0, len(packet), len(packet)) + packet)
    fields = sorted({field for _, _, shown in SYNTHETIC for field in shown})
    decoded = decode(tmp_path / "synthetic.pcap", fields)
    assert [{f: d[f] for f in shown} for d, (_, _, shown) in zip(decoded, SYNTHETIC)] == \
        [shown for _, _, shown in SYNTHETIC]


@LINUX
def test_dissector_on_a_live_capture(platform, device, tmp_path):
    """A whole update by address, with a setting, captured on the loopback: 258 blocks, so that
    offsets reach past 0x10000."""
    image = pattern(0x10000 + 300)
    (tmp_path / "image.bin").write_bytes(image)
    capture = tmp_path / "update.pcapng"
    dumpcap = subprocess.Popen([installed("dumpcap"), "-q", "-i", "lo", "-f", "udp port 36", "-w",
                                capture], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as marker:
        marker.bind(("127.0.0.1", 9))  # marks from port 9 show when the capture has them

        def marked(text):
            return until(lambda: marker.sendto(text, ("127.0.0.1", 36)) and capture.exists() and
                         text in capture.read_bytes(), 15)
        try:
            assert marked(b"capture started")
            device("--once")
            assert platform.run(["image.bin", "127.0.0.1", "-pSITE7"], cwd=tmp_path).status == 1
            assert marked(b"capture complete")
        finally:
            stop(dumpcap)
    packets = decode(capture, ["kind", "command", "block.command", "block.offset",
                               "block.file_data"], "-Y", "not udp.srcport == 9")
    assert not [p for p in packets if p["kind"] in ("", "Unknown")]
    assert [p["command"] for p in packets if p["kind"] in ("Management request", "Setting record")
            ] == ["0x303e", "0x303f", "0x3074"]
    blocks = [(offset, padded(image)[offset:offset + 256].hex())
              for offset in range(0, len(padded(image)), 256)]
    assert [(p["block.command"], int(p["block.offset"], 16), p["block.file_data"])
            for p in packets if p["kind"] == "Block record"] == \
        [(command, *block) for command in ("0x50", "0x56") for block in blocks]


@LINUX
def test_demo(platform, request):
    """README's first command, on this build's programs, without a terminal."""
    simulator = existing(request.config.getoption("build"), "torvane-devsim")
    run = run_bounded([REPO / "demo" / "run-demo.sh"], 90, env=dict(
        os.environ, TORVANE_DEMO_NO_BUILD="1", TORVANE_DEMO_UTILITY=str(platform.utility),
        TORVANE_DEMO_SIMULATOR=str(simulator)))
    assert run.status == 0 and b"\n           OOOOOO       K    K\n" in run.out, run.out + run.err
    assert re.search(rb"\nDemo passed: [^\n]*\n\Z", run.out), run.out
    assert not glob.glob(f"/run/netns/tvdemo{run.pid}-*")


@LINUX
@pytest.mark.parametrize("page", ["torvane-fwupdate", "torvane-devsim", "torvane-devices"])
def test_manual_page_renders_without_warnings(platform, request, page):
    page = existing(request.config.getoption("build"), f"man/{page}.1")
    rendered = run_bounded([installed("groff"), "-man", "-Tutf8", "-ww", "-z", page], 30)
    assert (rendered.status, rendered.err) == (0, b"")


@LINUX
def test_debian_package(platform, request, tmp_path):
    installed("dpkg-shlibdeps")
    config = existing(request.config.getoption("build"), "CPackConfig.cmake")
    made = run_bounded(["cpack", "-G", "DEB", "--config", config, "-B", tmp_path], 120)
    assert made.status == 0, made.out
    deb, = tmp_path.glob("*.deb")
    subprocess.run(["dpkg", "-x", deb, tmp_path / "root"], check=True, timeout=30)
    usr = tmp_path / "root" / "usr"
    version = run_bounded([usr / "bin" / "torvane-devsim", "--version"], 10).out.split()[-1]
    fields = subprocess.run(["dpkg-deb", "--field", deb, "Package", "Version", "Depends"],
                            capture_output=True, timeout=30).stdout
    assert re.match(rb"Package: torvane-fwupdate\nVersion: " + version + b"\nDepends: .*libc6",
                    fields), fields
    for name in ("man/man1/torvane-fwupdate.1.gz", "man/man1/torvane-devsim.1.gz",
                 "torvane-fwupdate/wireshark/torvane.lua"):
        assert (usr / "share" / name).stat().st_size > 0
    run = run_bounded([usr / "bin" / "torvane-fwupdate"], 10)
    assert re.fullmatch(BANNER + rb"\n\nMissing input file name\n", run.out) and run.status == 0


@WINDOWS
def test_exe_imports_only_system_dlls(platform, request):
    headers = subprocess.run([installed(request.config.getoption("objdump")), "-p",
                              platform.utility], capture_output=True, text=True, timeout=30).stdout
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
    assert dlls and dlls <= {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "user32.dll",
                             "advapi32.dll"}


@WINDOWS
@pytest.mark.parametrize("tests,console", [("-*OnTheConsole*", False), ("*OnTheConsole*", True)])
def test_windows_unit_tests(platform, tmp_path, tests, console):
    """The unit tests' .exe in the test's namespace, its loopback up; the console's tests with a
    terminal (script), which Wine turns into a console. script passes the end of its input on as a
    key, so its input stays open, and empty, until the end."""
    command, env = platform.command([f"--gtest_filter={tests}"],
                                    program=existing(platform.unit_tests))
    env["TORVANE_PRIVATE_LOOPBACK"] = "1"  # seeing more than a loopback is then a failure
    if console:
        command = ["script", "-qec", f"{shlex.join(map(str, command))} > {tmp_path}/out",
                   "/dev/null"]
    empty, keep_open = os.pipe()
    run = run_bounded(command, 60, env=env, stdin=empty)
    os.close(empty)
    os.close(keep_open)
    output = (tmp_path / "out").read_bytes() if console else run.out
    assert run.status == 0 and re.search(rb"\[  PASSED  \] [1-9]", output), output + run.err
