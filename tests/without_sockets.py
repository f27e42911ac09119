# SPDX-License-Identifier: Apache-2.0
"""without_sockets.py PROGRAM ARGUMENT...: runs PROGRAM where socket() fails with EMFILE, as on a
machine out of descriptors, by a seccomp filter on that one system call (x86-64 and arm64)."""
import ctypes
import errno
import os
import platform
import struct
import sys

# The audit architecture and the number of socket() of each machine.
SOCKET_CALL = {"x86_64": (0xC000003E, 41), "aarch64": (0xC00000B7, 198)}
LOAD_WORD, JUMP_IF_EQUAL, RETURN = 0x20, 0x15, 0x06
ALLOW, FAIL_WITH = 0x7FFF0000, 0x00050000


class Program(ctypes.Structure):
    _fields_ = [("length", ctypes.c_ushort), ("filter", ctypes.c_char_p)]


def main():
    architecture, call = SOCKET_CALL[platform.machine()]
    instructions = [(LOAD_WORD, 0, 0, 4), (JUMP_IF_EQUAL, 0, 3, architecture),
                    (LOAD_WORD, 0, 0, 0), (JUMP_IF_EQUAL, 0, 1, call),
                    (RETURN, 0, 0, FAIL_WITH | errno.EMFILE), (RETURN, 0, 0, ALLOW)]
    code = b"".join(struct.pack("HBBI", *instruction) for instruction in instructions)
    libc = ctypes.CDLL(None, use_errno=True)
    program = Program(len(instructions), code)
    # No new privileges, then the filter (PR_SET_SECCOMP, SECCOMP_MODE_FILTER).
    if libc.prctl(38, 1, 0, 0, 0) != 0 or libc.prctl(22, 2, ctypes.byref(program), 0, 0) != 0:
        sys.exit(f"seccomp: {os.strerror(ctypes.get_errno())}")
    os.execv(sys.argv[1], sys.argv[1:])


if __name__ == "__main__":
    main()
