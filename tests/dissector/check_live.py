#!/usr/bin/env python3
"""Captures a whole real update on the loopback of a network namespace that this test creates
(the simulator plays the device on 127.0.0.1, the utility updates it, dumpcap records UDP port 36),
then decodes the capture with tshark and the Lua dissector and checks the decoded fields of every
kind of datagram, including the offset and the data of each program and verify record.

Every process it starts is stopped by its pid with bounded waits. Exit status 77 (skipped) when
namespaces cannot be made.
"""
import argparse
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

import dissector_check as dc

# 258 blocks: the last ones lie past 0x10000, where the offset's high half is 1; the file's last
# block is partial, so the utility fills it with zeros.
IMAGE = bytes(((i * 131) ^ (i >> 8)) & 0xFF for i in range(0x10000 + 300))
IMAGE_SIZE = (len(IMAGE) + 255) // 256 * 256
SETTING = "SITE7"


def namespaces_work():
    try:
        probe = subprocess.run(["unshare", "--net", "--", "ip", "-o", "link", "show", "lo"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
    except OSError:
        return False
    return probe.returncode == 0 and loopback_down(probe.stdout)


def loopback_down(ip_output):
    # A new namespace has its loopback down; anything else means isolation failed.
    flags = re.search(rb"<([^>]*)>", ip_output)
    return flags is not None and b"UP" not in flags.group(1).split(b",")


def stop(process, how=signal.SIGTERM, wait=10):
    """Stops one process that this test started, by its pid, waiting at most `wait` seconds."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(how)
    try:
        process.wait(timeout=wait)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=wait)


def wait_for_text(path, text, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with open(path, "rb") as f:
            if text in f.read():
                return True
        time.sleep(0.05)
    return False


def capture_update(args, work):
    """Runs the update while dumpcap records it; returns (capture path, utility result) or raises
    RuntimeError."""
    image = os.path.join(work, "firmware.bin")
    with open(image, "wb") as f:
        f.write(IMAGE)
    capture = os.path.join(work, "update.pcapng")
    dumpcap_log = os.path.join(work, "dumpcap.log")
    dumpcap = simulator = None
    try:
        with open(dumpcap_log, "wb") as log:
            dumpcap = subprocess.Popen([args.dumpcap, "-q", "-i", "lo", "-f", "udp port 36", "-w",
                                        capture], stdout=log, stderr=log)
        if not wait_for_text(dumpcap_log, b"Capturing on", 15):
            raise RuntimeError("dumpcap did not start capturing")
        ready_read, ready_write = os.pipe()
        simulator = subprocess.Popen(
            [args.simulator, "--once", "--quiet", "--timeout", "60", "--ready-fd",
             str(ready_write)], pass_fds=(ready_write,), stdin=subprocess.DEVNULL)
        os.close(ready_write)
        readable, _, _ = select.select([ready_read], [], [], 15)
        ready = os.read(ready_read, 16) if readable else b""
        os.close(ready_read)
        if not ready.startswith(b"ready"):
            raise RuntimeError("the simulator did not report that it was ready")
        # A session of its own: the final key wait finds no terminal and ends at once.
        utility = subprocess.run([args.utility, image, "127.0.0.1", "-p" + SETTING],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 start_new_session=True, timeout=60)
        try:
            simulator.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        # dumpcap writes out what it holds when interrupted.
        time.sleep(0.2)
        stop(dumpcap, signal.SIGINT)
        return capture, utility
    finally:
        stop(simulator)
        stop(dumpcap, signal.SIGINT)


def image_block(offset):
    block = IMAGE[offset:offset + 256]
    return block + bytes(256 - len(block))


def check_management(packets):
    problems = []
    requests = [dc.show(p, "torvane.command") for p in packets
                if dc.show(p, "torvane.kind") == "Management request"]
    if requests != ["0x303e", "0x3074"]:
        problems.append(f"management requests {requests}, expected identify then start update")
    replies = [p for p in packets if dc.show(p, "torvane.kind") == "Management reply"]
    if len(replies) != 1 or dc.show(replies[0], "torvane.device_type") != "1":
        problems.append("expected one management reply with device type 1")
    settings = [p for p in packets if dc.show(p, "torvane.kind") == "Setting record"]
    if len(settings) != 1 or dc.show(settings[0], "torvane.item.setting_text") != SETTING:
        problems.append(f"expected one setting record with the text {SETTING}")
    elif replies and dc.show(settings[0], "torvane.device_id") != dc.show(replies[0],
                                                                        "torvane.device_id"):
        problems.append("the setting record's device id is not the one the device replied")
    if replies and "Identify" not in (dc.showname(replies[0], "torvane.command") or ""):
        problems.append("the identify reply's command is not shown by name")
    return problems


def check_transfer(packets):
    problems = []
    commands = [dc.show(p, "torvane.transfer.command") for p in packets
                if dc.show(p, "torvane.kind") == "Transfer command"]
    expected = ["0x53", "0x45"] + ["0x52"] * 6
    if commands != expected:
        problems.append(f"transfer commands {commands}, expected {expected}")
    probes = [p for p in packets if dc.show(p, "torvane.kind") == "Probe"]
    if len(probes) != 10 or any(dc.value_bytes(p, "torvane.probe.fill") != bytes(512)
                                for p in probes):
        problems.append(f"{len(probes)} probes, expected 10 with zero fill")
    replies = {dc.show(p, "torvane.reply") for p in packets
               if dc.show(p, "torvane.kind") == "Transfer reply"}
    for reply in ("0x53", "0x54", "0x45", "0x50", "0x56", "0x31"):
        if reply not in replies:
            problems.append(f"no transfer reply {reply}")
    return problems


def check_records(packets):
    problems = []
    records = {"0x50": [], "0x56": []}
    for p in packets:
        if dc.show(p, "torvane.kind") == "Block record":
            records.setdefault(dc.show(p, "torvane.block.command"), []).append(p)
    expected_offsets = list(range(0, IMAGE_SIZE, 256))
    for command, name in (("0x50", "program"), ("0x56", "verify")):
        offsets = [int(dc.show(p, "torvane.block.offset"), 16) for p in records[command]]
        if offsets != expected_offsets:
            problems.append(f"{name} record offsets {[hex(o) for o in offsets[:4]]}..., "
                            f"expected 0x0, 0x100, ... 0x{IMAGE_SIZE - 256:x} in order")
            continue
        for p, offset in zip(records[command], offsets):
            if dc.value_bytes(p, "torvane.block.file_data") != image_block(offset):
                problems.append(f"{name} record at 0x{offset:x}: the unmasked data is not the "
                                "image's block")
                break
    return problems


def run_inside(args):
    state = subprocess.run(["ip", "-o", "link", "show", "lo"], stdout=subprocess.PIPE, timeout=10)
    if not loopback_down(state.stdout):
        print("FAIL the loopback was already up: this is not a fresh network namespace")
        return 1
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=10)
    with tempfile.TemporaryDirectory(prefix="torvane-live-") as work:
        try:
            capture, utility = capture_update(args, work)
        except (RuntimeError, subprocess.TimeoutExpired) as error:
            print(f"FAIL {error}")
            return 1
        problems = []
        if utility.returncode != 1 or b"Firmware upgraded" not in utility.stdout:
            problems.append(f"the update did not succeed (exit {utility.returncode}): "
                            f"{utility.stdout[-300:]!r}")
        packets = dc.decode(args.tshark, os.path.abspath(args.dissector), capture)
    unknown = sum(1 for p in packets if dc.show(p, "torvane.kind") in (None, "Unknown"))
    if unknown:
        problems.append(f"{unknown} datagrams on UDP port 36 were not recognised")
    problems += check_management(packets)
    problems += check_transfer(packets)
    problems += check_records(packets)
    for problem in problems:
        print("FAIL " + problem)
    print(f"{len(packets)} datagrams captured and decoded; " +
          ("ok" if not problems else f"{len(problems)} problems"))
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser()
    for name in ("utility", "simulator", "tshark", "dumpcap", "dissector"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.inside:
        return run_inside(args)
    if not namespaces_work():
        print("skipped: cannot create an isolated network namespace (needs root)")
        return 77
    for name in ("utility", "simulator", "dissector"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    inside = subprocess.run(["unshare", "--net", "--", sys.executable, os.path.abspath(__file__),
                             "--inside", "--utility", args.utility, "--simulator", args.simulator,
                             "--tshark", args.tshark, "--dumpcap", args.dumpcap, "--dissector",
                             args.dissector], timeout=140)
    return inside.returncode


if __name__ == "__main__":
    sys.exit(main())
