#!/usr/bin/env python3
"""Captures two whole real updates on the loopback of a network namespace that this test creates
(the simulator plays the device on 127.0.0.1, dumpcap records UDP port 36): one by address with a
setting string, one by discovery. It then decodes the capture with tshark and the Lua dissector and
checks the decoded fields of every kind of datagram, including the offset and the data of each
program and verify record.

Every process it starts is stopped by its pid with bounded waits. Exit status 77 (skipped) when
namespaces cannot be made.
"""
import argparse
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time

import dissector_check as dc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402  (shared with the end-to-end suites)

# 258 blocks: the last ones lie past 0x10000, where the offset's high half is 1; the file's last
# block is partial, so the utility fills it with zeros.
LARGE_IMAGE = bytes(((i * 131) ^ (i >> 8)) & 0xFF for i in range(0x10000 + 300))
SMALL_IMAGE = bytes((i * 7 + 3) & 0xFF for i in range(300))
SETTING = "SITE7"
# name, image, arguments after the image file, setting string, found by discovery.
RUNS = [
    ("by address", LARGE_IMAGE, ["127.0.0.1", "-p" + SETTING], SETTING, False),
    ("by discovery", SMALL_IMAGE, [], None, True),
]
# The source port of the datagrams that show the capture has begun (discard).
MARKER_PORT = 9


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


def wait_for_marker(capture, marker, seconds):
    """Sends marker datagrams to port 36 until one shows in the capture file: dumpcap says that it
    captures a little before it does, and writes what it captured a little later. The markers leave
    from MARKER_PORT, so the decoding can leave them out."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.bind(("127.0.0.1", MARKER_PORT))
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            sender.sendto(marker, ("127.0.0.1", 36))
            time.sleep(0.05)
            if os.path.exists(capture):
                with open(capture, "rb") as f:
                    if marker in f.read():
                        return True
    return False


def capture_updates(args, work):
    """Runs the updates of RUNS while dumpcap records them; returns the capture's path and the
    utility's result of each run, or raises RuntimeError."""
    capture = os.path.join(work, "updates.pcapng")
    dumpcap_log = os.path.join(work, "dumpcap.log")
    dumpcap = simulator = None
    try:
        with open(dumpcap_log, "wb") as log:
            dumpcap = subprocess.Popen([args.dumpcap, "-q", "-i", "lo", "-f", "udp port 36", "-w",
                                        capture], stdout=log, stderr=log)
        if not wait_for_marker(capture, b"torvane capture start", 15):
            with open(dumpcap_log, "rb") as log:
                raise RuntimeError("dumpcap did not start capturing: " + repr(log.read()))
        ready_read, ready_write = os.pipe()
        simulator = subprocess.Popen(
            [args.simulator, "--quiet", "--timeout", "60", "--ready-fd", str(ready_write)],
            pass_fds=(ready_write,), stdin=subprocess.DEVNULL)
        os.close(ready_write)
        readable, _, _ = select.select([ready_read], [], [], 15)
        ready = os.read(ready_read, 16) if readable else b""
        os.close(ready_read)
        if not ready.startswith(b"ready"):
            raise RuntimeError("the simulator did not report that it was ready")
        results = []
        for name, image, arguments, _, _ in RUNS:
            image_file = os.path.join(work, name.replace(" ", "_") + ".bin")
            with open(image_file, "wb") as f:
                f.write(image)
            # A session of its own: the final key wait finds no terminal and ends at once.
            results.append(subprocess.run([args.utility, image_file, *arguments],
                                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                          start_new_session=True, timeout=60))
        stop(simulator)
        # Everything before the end marker is in the file once the marker is.
        if not wait_for_marker(capture, b"torvane capture end", 15):
            raise RuntimeError("dumpcap stopped writing the capture")
        stop(dumpcap, signal.SIGINT)
        return capture, results
    finally:
        stop(simulator)
        stop(dumpcap, signal.SIGINT)


def image_block(image, offset):
    block = image[offset:offset + 256]
    return block + bytes(256 - len(block))


def check_management(packets, setting, discovered):
    problems = []
    requests = [dc.show(p, "torvane.command") for p in packets
                if dc.show(p, "torvane.kind") == "Management request"]
    expected = (["0x3039"] if discovered else []) + ["0x303e", "0x3074"]
    if requests != expected:
        problems.append(f"management requests {requests}, expected {expected}")
    replies = [p for p in packets if dc.show(p, "torvane.kind") == "Management reply"]
    if discovered:
        if not replies or dc.show(replies[0], "torvane.command") != "0x3039" or dc.show(
                replies[0], "torvane.device_address") != "127.0.0.1":
            problems.append("expected a discovery reply that announces 127.0.0.1")
        replies = replies[1:]
    if len(replies) != 1 or dc.show(replies[0], "torvane.device_type") != "1":
        problems.append("expected one identify reply with device type 1")
    elif "Identify" not in (dc.showname(replies[0], "torvane.command") or ""):
        problems.append("the identify reply's command is not shown by name")
    settings = [p for p in packets if dc.show(p, "torvane.kind") == "Setting record"]
    texts = [dc.show(p, "torvane.item.setting_text") for p in settings]
    if texts != ([setting] if setting else []):
        problems.append(f"setting records with the texts {texts}, expected {setting}")
    elif settings and replies and dc.show(settings[0], "torvane.device_id") != dc.show(
            replies[0], "torvane.device_id"):
        problems.append("the setting record's device id is not the one the device replied")
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


def check_records(packets, key, image):
    problems = []
    records = {"0x50": [], "0x56": []}
    for p in packets:
        if dc.show(p, "torvane.kind") == "Block record":
            records.setdefault(dc.show(p, "torvane.block.command"), []).append(p)
    size = (len(image) + 255) // 256 * 256
    expected_offsets = list(range(0, size, 256))
    for command, name in (("0x50", "program"), ("0x56", "verify")):
        offsets = [int(dc.show(p, "torvane.block.offset"), 16) for p in records[command]]
        if offsets != expected_offsets:
            problems.append(f"{name} record offsets {[hex(o) for o in offsets[:4]]}..., "
                            f"expected 0x0, 0x100, ... 0x{size - 256:x} in order")
            continue
        for p, offset in zip(records[command], offsets):
            block = image_block(image, offset)
            # In the utility's image buffer, and in the device, the block carries the key.
            keyed = bytes(b ^ key[i % 32] for i, b in enumerate(block))
            if (dc.value_bytes(p, "torvane.block.file_data") != block or
                    dc.value_bytes(p, "torvane.block.data") != keyed):
                problems.append(f"{name} record at 0x{offset:x}: the unmasked data is not the "
                                "image's block")
                break
    return problems


def run_inside(args):
    if not harness.loopback_is_down():
        print("FAIL the loopback was already up: this is not a fresh network namespace")
        return 1
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=10)
    # Discovery's limited broadcast has no route in a namespace that only has a loopback: send it
    # over lo, from 127.0.0.1, where the simulator hears it.
    subprocess.run(["ip", "route", "add", "255.255.255.255/32", "dev", "lo", "src", "127.0.0.1"],
                   check=True, timeout=10)
    with tempfile.TemporaryDirectory(prefix="torvane-live-") as work:
        try:
            capture, results = capture_updates(args, work)
        except (RuntimeError, subprocess.TimeoutExpired) as error:
            print(f"FAIL {error}")
            return 1
        packets = dc.decode(args.tshark, os.path.abspath(args.dissector), capture,
                            ["-Y", f"not udp.srcport == {MARKER_PORT}"])
    problems = []
    unknown = sum(1 for p in packets if dc.show(p, "torvane.kind") in (None, "Unknown"))
    if unknown:
        problems.append(f"{unknown} datagrams on UDP port 36 were not recognised")
    # The second run begins with its discovery request.
    second = next((i for i, p in enumerate(packets) if dc.show(p, "torvane.command") == "0x3039"),
                  len(packets))
    key = dc.header_image_key(args.source_dir)
    for (name, image, _, setting, discovered), result, run in zip(
            RUNS, results, (packets[:second], packets[second:])):
        found = []
        if result.returncode != 1 or b"Firmware upgraded" not in result.stdout:
            found.append(f"the update did not succeed (exit {result.returncode}): "
                         f"{result.stdout[-300:]!r}")
        found += check_management(run, setting, discovered)
        found += check_transfer(run)
        found += check_records(run, key, image)
        problems += [f"update {name}: {problem}" for problem in found]
    for problem in problems:
        print("FAIL " + problem)
    print(f"{len(packets)} datagrams captured and decoded; " +
          ("ok" if not problems else f"{len(problems)} problems"))
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser()
    for name in ("utility", "simulator", "tshark", "dumpcap", "dissector", "source-dir"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.inside:
        return run_inside(args)
    if not harness.unshare_isolates():
        print("skipped: cannot create an isolated network namespace (needs root)")
        return 77
    for name in ("utility", "simulator", "dissector", "source_dir"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    inside = subprocess.run(["unshare", "--net", "--", sys.executable, os.path.abspath(__file__),
                             "--inside", "--utility", args.utility, "--simulator", args.simulator,
                             "--tshark", args.tshark, "--dumpcap", args.dumpcap, "--dissector",
                             args.dissector, "--source-dir", args.source_dir], timeout=140)
    return inside.returncode


if __name__ == "__main__":
    sys.exit(main())
