#!/usr/bin/env python3
"""Writes a capture of hand-built datagrams of every kind on UDP port 36 (management requests and
replies, the setting record, transfer commands, a probe, one-byte replies, and program and verify
records scrambled with a known pad), decodes it with tshark and the Lua dissector, and checks every
decoded field. Nothing is sent: the datagrams only exist in the capture file.
"""
import argparse
import os
import struct
import sys
import tempfile

import dissector_check as dc

UTILITY = bytes([10, 0, 0, 1])
DEVICE = bytes([10, 0, 0, 200])
BROADCAST = bytes([255, 255, 255, 255])
MANAGEMENT_PORT = 50000
TRANSFER_PORT = 50001
DEVICE_ID = bytes([0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F])
# A pad whose bytes 17 to 20 are not zero, so that an offset left masked shows.
PAD = bytes((i * 37 + 11) & 0xFF for i in range(64))
BLOCK = bytes((i * 7 + 3) & 0xFF for i in range(256))


def checksum(header):
    total = sum(struct.unpack("!%dH" % (len(header) // 2), header))
    total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ip_udp(source, source_port, destination, destination_port, payload):
    udp = struct.pack("!HHHH", source_port, destination_port, 8 + len(payload), 0) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 1, 0x4000, 64, 17, 0, source,
                         destination)
    return header[:10] + struct.pack("!H", checksum(header)) + header[12:] + udp


def write_pcap(path, packets):
    with open(path, "wb") as f:
        # Classic pcap, link type 101: each packet is a bare IPv4 datagram.
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        for number, packet in enumerate(packets):
            f.write(struct.pack("<IIII", 1700000000, number * 1000, len(packet), len(packet)))
            f.write(packet)


def request(code):
    return struct.pack("!HH", 0x4321, code) + bytes(16)


def reply(code, device_type, trailing=b""):
    return (struct.pack("!HH", 0x4321, code) + DEVICE + bytes(4) + DEVICE_ID +
            struct.pack("!H", device_type) + trailing)


def setting_record(text):
    record = struct.pack("!HH", 0x4321, 0x303F) + bytes([3, 6]) + DEVICE_ID
    record += bytes([5, len(text)]) + text + b"\0"
    return record + bytes(104 - len(record))


def block_record(command, offset, block, key):
    """A record built and scrambled as the utility does, with the fixed pad."""
    record = bytearray(326)
    record[0] = ord(command)
    record[2:6] = offset.to_bytes(4, "big")
    record[6:262] = block
    record[262:326] = PAD
    for i in range(4):
        record[2 + i] ^= PAD[17 + i]
    for i in range(256):
        record[6 + i] ^= key[i % 32] ^ PAD[i % 64]
    return bytes(record)


def to_device(payload, port=TRANSFER_PORT, destination=DEVICE):
    return ip_udp(UTILITY, port, destination, 36, payload)


def from_device(payload, port=TRANSFER_PORT):
    return ip_udp(DEVICE, 36, UTILITY, port, payload)


def cases(key):
    """(packet, {field: expected show text}, [(field, text expected in its showname)])."""
    m, t = MANAGEMENT_PORT, TRANSFER_PORT
    record_p = block_record("P", 0x100, BLOCK, key)
    record_v = block_record("V", 0x10000, BLOCK, key)
    block_fields = {"torvane.kind": "Block record", "torvane.block.reserved": "0x00",
                    "torvane.block.data": BLOCK.hex(),
                    "torvane.block.file_data": bytes(b ^ key[i % 32]
                                                     for i, b in enumerate(BLOCK)).hex(),
                    "torvane.block.pad": PAD.hex()}
    return [
        (to_device(request(0x3039), m, BROADCAST),
         {"torvane.kind": "Management request", "torvane.magic": "0x4321",
          "torvane.command": "0x3039", "torvane.zero_fill": "00" * 16},
         [("torvane.command", "Discover")]),
        (from_device(reply(0x3039, 1), m),
         {"torvane.kind": "Management reply", "torvane.command": "0x3039",
          "torvane.device_address": "10.0.0.200", "torvane.device_id": "00:1b:2c:3d:4e:5f",
          "torvane.device_type": "1"},
         [("torvane.command", "Discover")]),
        (to_device(request(0x303E), m),
         {"torvane.kind": "Management request", "torvane.command": "0x303e"},
         [("torvane.command", "Identify")]),
        (from_device(reply(0x303E, 1, b"\xAA" * 10), m),
         {"torvane.kind": "Management reply", "torvane.device_type": "1",
          "torvane.device_id": "00:1b:2c:3d:4e:5f", "torvane.ignored": "aa" * 10},
         [("torvane.command", "Identify")]),
        (from_device(reply(0x303E, 0x0100), m),
         {"torvane.kind": "Management reply", "torvane.device_type": "256"}, []),
        (to_device(setting_record(b"SITE7"), m),
         {"torvane.kind": "Setting record", "torvane.command": "0x303f",
          "torvane.item.type": "3", "torvane.item.length": "6",
          "torvane.device_id": "00:1b:2c:3d:4e:5f", "torvane.item.setting_text": "SITE7",
          "torvane.zero_fill": "00" * (104 - 19)},
         [("torvane.command", "Write setting"), ("torvane.item.type", "Device id")]),
        (to_device(request(0x3074), m),
         {"torvane.kind": "Management request", "torvane.command": "0x3074"},
         [("torvane.command", "Start update")]),
        (to_device(b"S"), {"torvane.kind": "Transfer command", "torvane.transfer.command": "0x53"},
         [("torvane.transfer.command", "Start (S)")]),
        (from_device(b"S"), {"torvane.kind": "Transfer reply", "torvane.reply": "0x53"},
         [("torvane.reply", "Echo of S")]),
        (from_device(b"1"), {"torvane.reply": "0x31"}, [("torvane.reply", "Done (1)")]),
        (to_device(b"T" + bytes(512)),
         {"torvane.kind": "Probe", "torvane.transfer.command": "0x54",
          "torvane.probe.fill": "00" * 512}, []),
        (to_device(b"E"), {"torvane.transfer.command": "0x45"},
         [("torvane.transfer.command", "Erase (E)")]),
        (to_device(record_p),
         dict(block_fields, **{"torvane.block.command": "0x50", "torvane.block.offset": "0x00000100",
                               "torvane.block.offset_masked": "0x%08x" % int.from_bytes(
                                   record_p[2:6], "big")}),
         [("torvane.block.command", "Program (P)")]),
        (from_device(b"P"), {"torvane.reply": "0x50"}, [("torvane.reply", "Echo of P")]),
        (from_device(b"0"), {"torvane.reply": "0x30"}, [("torvane.reply", "Refused (0)")]),
        (to_device(record_v),
         dict(block_fields, **{"torvane.block.command": "0x56",
                               "torvane.block.offset": "0x00010000"}),
         [("torvane.block.command", "Verify (V)")]),
        (to_device(b"R"), {"torvane.transfer.command": "0x52"},
         [("torvane.transfer.command", "Finish (R)")]),
        (to_device(b"\x01\x02\x03\x04\x05"), {"torvane.kind": "Unknown"}, []),
    ]


def check_packet(number, fields, expected, in_showname):
    problems = []
    for name, value in expected.items():
        got = dc.show(fields, name)
        # Bytes fields show with or without colons, depending on their display.
        if got != value and (got or "").replace(":", "") != value.replace(":", ""):
            problems.append(f"packet {number}: {name} is {got!r}, expected {value!r}")
    for name, text in in_showname:
        got = dc.showname(fields, name) or ""
        if text not in got:
            problems.append(f"packet {number}: {name} shows {got!r}, expected it to name {text!r}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tshark", required=True)
    parser.add_argument("--dissector", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    key = dc.header_image_key(args.source_dir)
    problems = []
    if dc.dissector_image_key(args.dissector) != key:
        problems.append("the dissector's DEFAULT_IMAGE_KEY differs from ImageKey in "
                        "image/image_buffer.h")
    table = cases(key)
    with tempfile.TemporaryDirectory(prefix="torvane-dissector-") as work:
        capture = os.path.join(work, "synthetic.pcap")
        write_pcap(capture, [packet for packet, _, _ in table])
        packets = dc.decode(args.tshark, os.path.abspath(args.dissector), capture)
        # With a wrong key in the preference, the data no longer unmasks to the block.
        wrong_key = dc.decode(args.tshark, os.path.abspath(args.dissector), capture,
                              ["-o", "torvane.image_key:" + "00" * 32])
    if len(packets) != len(table):
        problems.append(f"tshark read {len(packets)} packets, expected {len(table)}")
    for number, (fields, (_, expected, in_showname)) in enumerate(zip(packets, table), 1):
        problems += check_packet(number, fields, expected, in_showname)
    record_p = wrong_key[12] if len(wrong_key) > 12 else {}
    if dc.show(record_p, "torvane.block.data") in (None, BLOCK.hex()):
        problems.append("the image_key preference does not change the unmasked data")
    if dc.show(record_p, "torvane.block.offset") != "0x00000100":
        problems.append("the offset depends on the image_key preference")
    for problem in problems:
        print("FAIL " + problem)
    print(f"{len(table)} datagrams decoded; " + ("ok" if not problems else
                                                 f"{len(problems)} problems"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
