# SPDX-License-Identifier: Apache-2.0
"""A hostile host on the test's LAN, run in its own namespace until it is stopped.
    hostile_responder.py spray PC FIRST LAST TYPE: sends identify answers of device type TYPE,
        every 20 ms, to ports FIRST to LAST of PC, as a host guessing torvane-devices' ports would.
    hostile_responder.py silent ADDRESS...: answers each discovery request from every ADDRESS
        (each its own host), port 36, and never an identify request."""
import select
import socket
import sys
import time

ID = bytes.fromhex("001b2c3d4e5f")


def answer(code, address, device_type):
    return (bytes.fromhex("4321") + code.to_bytes(2, "big") + socket.inet_aton(address) +
            bytes(4) + ID + device_type.to_bytes(2, "big"))


def spray(pc, first, last, device_type):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.bind(("0.0.0.0", 36))
        datagram = answer(0x303E, "0.0.0.0", int(device_type))
        while True:
            for port in range(int(first), int(last) + 1):
                sender.sendto(datagram, (pc, port))
            time.sleep(0.02)


def silent(addresses):
    hosts = []
    for address in addresses:
        hosts.append(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        hosts[-1].setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        hosts[-1].bind((address, 36))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as listener:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("255.255.255.255", 36))
        print("ready", flush=True)
        while select.select([listener], [], [])[0]:
            request, pc = listener.recvfrom(64)
            if request[2:4] == bytes.fromhex("3039"):
                for host, address in zip(hosts, addresses):
                    host.sendto(answer(0x3039, address, 1), pc)


if __name__ == "__main__":
    {"spray": lambda: spray(*sys.argv[2:]), "silent": lambda: silent(sys.argv[2:])}[sys.argv[1]]()
