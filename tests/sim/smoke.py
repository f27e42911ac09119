#!/usr/bin/env python3
"""Smoke test of torvane-devsim over real sockets: in a network namespace of its own, plays the
utility's side with a small client (management requests, then a whole transfer of a 600-byte
image with one refused try) and checks the replies, the log, the stored image and the exit status;
then checks that a second simulator is refused port 36, and that a network namespace that looks
like the machine's own is refused.

Re-runs itself inside `unshare --net`; exit status 77 (skipped) when namespaces cannot be made.
"""
import argparse
import os
import random
import re
import select
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402  (shared with the end-to-end suites)

HERE = os.path.dirname(os.path.abspath(__file__))
LOOPBACK = "127.0.0.1"


def image_key():
    """The 32 key bytes as the build defines them."""
    with open(os.path.join(HERE, "..", "..", "image", "image_buffer.h")) as header:
        table = re.search(r"ImageKey = \{([^}]*)\}", header.read()).group(1)
    key = bytes(int(value, 16) for value in re.findall(r"0x[0-9A-Fa-f]{2}", table))
    assert len(key) == 32
    return key


def block_record(command, offset, block, key, pad):
    """A record as the utility sends it: its image buffer holds file XOR key, and the record
    XORs the key and the pad over that."""
    buffered = bytes(b ^ key[i % 32] for i, b in enumerate(block))
    record = bytearray(326)
    record[0] = ord(command)
    record[2:6] = offset.to_bytes(4, "big")
    record[6:262] = bytes(b ^ key[i % 32] ^ pad[i % 64] for i, b in enumerate(buffered))
    record[262:326] = pad
    for i in range(4):
        record[2 + i] ^= pad[17 + i]
    return bytes(record)


class Problems(list):
    def expect(self, what, got, wanted):
        if got != wanted:
            self.append(f"{what}: got {got!r}, expected {wanted!r}")


def start_simulator(simulator, arguments, log_path):
    ready_read, ready_write = os.pipe()
    log = open(log_path, "wb")
    process = subprocess.Popen([simulator, "--ready-fd", str(ready_write), *arguments],
                               pass_fds=(ready_write,), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=log)
    os.close(ready_write)
    log.close()
    readable, _, _ = select.select([ready_read], [], [], 10)
    line = os.read(ready_read, 16) if readable else b""
    os.close(ready_read)
    return process, line == b"ready\n"


def exchange(sock, datagram, replies):
    sock.send(datagram)
    received = []
    for _ in range(replies):
        try:
            received.append(sock.recv(2048))
        except socket.timeout:
            received.append(None)
    return received


def run_dialogue(simulator, work, problems):
    key = image_key()
    content = random.Random(7)
    image = bytes(content.randrange(256) for _ in range(600))
    process, ready = start_simulator(
        simulator,
        ["--once", "--timeout", "20", "--refuse", "P1:1", "--store", f"{work}/stored.bin",
         "--store-setting", f"{work}/setting.bin"], f"{work}/log.txt")
    if not ready:
        problems.append("the simulator never said it was ready")
        process.kill()
        process.wait()
        return
    try:
        management = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        management.settimeout(2)
        management.connect((LOOPBACK, 36))
        discover = bytes([0x43, 0x21, 0x30, 0x39]) + bytes(16)
        identify = bytes([0x43, 0x21, 0x30, 0x3E]) + bytes(16)
        device = bytes([0x43, 0x21, 0, 0, 127, 0, 0, 1, 0, 0, 0, 0,
                        0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x00, 0x01])
        problems.expect("discovery reply", exchange(management, discover, 1),
                        [discover[:4] + device[4:]])
        problems.expect("identify reply", exchange(management, identify, 1),
                        [identify[:4] + device[4:]])
        setting = bytes([0x43, 0x21, 0x30, 0x3F, 3, 6]) + device[12:18] + bytes([5, 5]) + b"SITE7"
        management.send(setting + bytes(104 - len(setting)))
        management.send(bytes([0x43, 0x21, 0x30, 0x74]) + bytes(16))

        transfer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        transfer.settimeout(2)
        transfer.connect((LOOPBACK, 36))
        problems.expect("opening", exchange(transfer, b"S", 2), [b"S", b"1"])
        for probe in range(10):
            problems.expect(f"probe {probe + 1}", exchange(transfer, b"T" + bytes(512), 2),
                            [b"T", b"1"])
        problems.expect("erase", exchange(transfer, b"E", 2), [b"E", b"1"])
        padded = image + bytes(-len(image) % 256)
        pads = random.Random(11)
        for command in "PV":
            for offset in range(0, len(padded), 256):
                pad = bytes(pads.randrange(256) for _ in range(64))
                record = block_record(command, offset, padded[offset:offset + 256], key, pad)
                if command == "P" and offset == 256:
                    problems.expect("refused try", exchange(transfer, record, 3),
                                    [b"P", b"0", b"0"])
                problems.expect(f"{command} at {offset}", exchange(transfer, record, 2),
                                [command.encode(), b"1"])
        problems.expect("finish", exchange(transfer, b"R", 2), [b"R", b"1"])
        for _ in range(5):
            transfer.send(b"R")
        problems.expect("exit status", process.wait(timeout=10), 0)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()

    with open(f"{work}/stored.bin", "rb") as stored:
        problems.expect("stored image", stored.read(), padded)
    with open(f"{work}/setting.bin", "rb") as received:
        problems.expect("setting string", received.read(), b"SITE7")
    with open(f"{work}/log.txt") as log:
        text = log.read()
    for line in ['setting - - taken from 127.0.0.1:[0-9]+: "SITE7" \\(5 characters\\)',
                 "program 1 1 refused try 1, by --refuse -> P 0 0",
                 "program 1 1 ok try 2 -> P 1",
                 "finish 1 - ok 3 blocks programmed and verified -> R 1",
                 "close 4 - ok",
                 "end - - complete 3 blocks programmed and verified"]:
        if not re.search("^" + line + "$", text, re.M):
            problems.append(f"log lacks the line {line!r}")
    if problems:
        problems.append("log:\n" + text)


def run_port_taken(simulator, work, problems):
    first, ready = start_simulator(simulator, ["--quiet", "--timeout", "20"], f"{work}/first.txt")
    try:
        second = subprocess.run([simulator], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=10)
        problems.expect("first simulator ready", ready, True)
        problems.expect("second simulator's exit status", second.returncode, 3)
        if b"cannot bind UDP port 36: Address already in use" not in second.stderr:
            problems.append(f"second simulator said {second.stderr!r}")
    finally:
        first.terminate()
        problems.expect("first simulator's status after SIGTERM", first.wait(timeout=10), 0)


def run_own_network(simulator, work, problems):
    """In a PID namespace of its own, process 1 shares the simulator's network namespace, which
    thus looks like the machine's own: refused without --host-network (isolated all the same)."""
    for extra, status in [([], 5), (["--host-network"], 4)]:
        run = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", simulator, "--timeout",
                              "1", *extra], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, timeout=20)
        problems.expect(f"exit status with {extra}", run.returncode, status)
        if status == 5 and b"(unshare --net), or give --host-network" not in run.stderr:
            problems.append(f"the refusal said {run.stderr!r}")


def inside(simulator):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=10)
    failed = 0
    for name, case in [("whole dialogue", run_dialogue), ("port 36 taken", run_port_taken),
                       ("own network refused", run_own_network)]:
        problems = Problems()
        with tempfile.TemporaryDirectory(prefix="torvane-devsim-") as work:
            case(simulator, work, problems)
        print(("ok   " if not problems else "FAIL ") + name)
        for problem in problems:
            print("     " + problem)
        failed += bool(problems)
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--inside", action="store_true")
    arguments = parser.parse_args()
    simulator = os.path.abspath(arguments.simulator)
    if arguments.inside:
        return inside(simulator)
    if not harness.unshare_isolates():
        print("skipped: cannot create an isolated network namespace (needs root)")
        return 77
    return subprocess.run(["unshare", "--net", "--", sys.executable, os.path.abspath(__file__),
                           "--simulator", simulator, "--inside"], timeout=50).returncode


if __name__ == "__main__":
    sys.exit(main())
