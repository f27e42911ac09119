# SPDX-License-Identifier: Apache-2.0
"""The paths that end before the device's transfer, and the encode mode: whole standard output and
exit status, in a namespace with nothing but a loopback."""
import os
import re
from pathlib import Path

import pytest

from harness import BANNER, EVERYWHERE, KEY, NATIVE, pattern, row

FIRMWARE = bytes((i * 7 + 3) & 0xFF for i in range(300))
INPUTS = {"fw.bin": FIRMWARE, "empty.bin": b"", "big.bin": pattern(131072 + 300)}

INVALID = b"Invalid IP address\n"

# Files beside each run: INPUTS, and dir/, a folder. Rows on NATIVE alone take paths whose code
# has nothing of the platform, or a folder, which Windows does not open.
ROWS = [
    row("no arguments", [], b"Missing input file name\n", 0),
    row("encode, no output name", ["fw.bin", "-e"], b"Missing output file name\n", 0),
    row("encode, output first", ["-e", "out.bin", "fw.bin"],
        b"File out.bin generated: 512 bytes\n", 0),
    row("encode, input first, a later -e", ["fw.bin", "-e", "first.bin", "-e", "out.bin"],
        b"File out.bin generated: 512 bytes\n", 0, on=NATIVE),
    row("encode into an option-like name", ["-e", "-pX", "fw.bin"],
        b"File -pX generated: 512 bytes\n", 0, on=NATIVE),
    row("encode ignores a second name", ["-e", "out.bin", "fw.bin", "10.0.0.1"],
        b"File out.bin generated: 512 bytes\n", 0, on=NATIVE),
    row("encode over its input", ["-e", "fw.bin", "fw.bin"],
        b"File fw.bin generated: 512 bytes\n", 0),
    row("encode an empty file", ["-e", "out.bin", "empty.bin"],
        b"File out.bin generated: 0 bytes\n", 0),
    row("encode a longer file", ["-e", "out.bin", "big.bin"],
        b"File out.bin generated: 131072 bytes\n", 0),
    row("encode a missing file", ["-e", "out.bin", "missing.bin"], b"File not found\n", 0),
    row("encode, no input name", ["-e", "out.bin"], b"File not found\n", 0, on=NATIVE),
    row("encode into a missing folder", ["-e", "no/such/out.bin", "fw.bin"],
        b"Unable to create file\n", 0),
    row("encode a folder", ["-e", "out.bin", "dir"], b"File read error\n", 0, on=NATIVE),
    row("image missing, address invalid", ["missing.bin", "1.2.3"], b"File not found\n", 0),
    row("image is a folder", ["dir", "10.0.0.1"], b"File read error\n", 0, on=NATIVE),
    row("image empty", ["empty.bin", "10.0.0.1"], b"Image file is empty\n", 0),
    row("address invalid, a third argument", ["fw.bin", "1.2.3", "10.0.0.1"], INVALID, 0),
    row("empty arguments leave their place", ["", "fw.bin", "", "1.2.3"], INVALID, 0, on=NATIVE),
    # What the image's name is followed by: none of it a dotted quad.
    *[row(name, ["fw.bin", *after], INVALID, 0, on=NATIVE) for name, after in [
        ("address all zero", ["000.000.000.000"]), ("address part of 256", ["10.0.0.256"]),
        ("address part of four digits", ["0001.1.1.1"]), ("address after a space", [" 10.0.0.1"]),
        ("address before a tab", ["10.0.0.1\t"]), ("a lone -p is the address", ["-p"]),
        ("-E and -eNAME are positional", ["-E", "-eout.bin"]),
        ("address longer than 31", ["10.0.0.1" + " " * 24 + "x"])]],
    row("discovery hears nothing", ["fw.bin"], b"No device detected\n", 0),
    row("device absent", ["fw.bin", "10.0.0.1"], b"Device not found\n", 1, on=EVERYWHERE),
    row("setting of 90 characters", ["fw.bin", "10.0.0.1", "-p" + "x" * 90],
        b"Setting string too long\n", 1),
]


def encoded(data):
    data += bytes(-len(data) % 256)
    return bytes(byte ^ KEY[i % 32] for i, byte in enumerate(data))


@pytest.mark.on(*EVERYWHERE)
@pytest.mark.parametrize("arguments,expected,status", ROWS)
def test_command_line(platform, tmp_path, arguments, expected, status):
    for name, content in INPUTS.items():
        (tmp_path / name).write_bytes(content)
    (tmp_path / "dir").mkdir()
    run = platform.run(arguments, cwd=tmp_path)
    assert (run.status, run.out) == (status, platform.text(expected))
    written = re.match(rb"File (.+) generated: ", expected)
    if written:  # the first 131072 bytes of its input, encoded
        source = next(INPUTS[argument] for argument in arguments if argument in INPUTS)
        assert (tmp_path / written[1].decode()).read_bytes() == encoded(source[:131072])


# Around the utility, in a mount namespace of the run's own, with old.enc, the output to replace,
# in the folder disk/ (unless its size is 0): a limit that an encoded copy of 131072 bytes runs into.
LIMITS = [
    row("full disk", 'mount -t tmpfs -o size=64k tmpfs disk && cp old.enc disk && "$@"', 40000,
        on=NATIVE),
    row("full disk, no output yet", 'mount -t tmpfs -o size=64k tmpfs disk && "$@"', 0,
        on=NATIVE),
    row("file-size limit", 'cp old.enc disk && prlimit --fsize=1000 "$@"', 5000, on=NATIVE),
]


@pytest.mark.parametrize("limit,old_size", LIMITS)
def test_encode_into_a_limit_keeps_the_old_output(platform, tmp_path, limit, old_size):
    (tmp_path / "big.bin").write_bytes(pattern(131072))
    (tmp_path / "old.enc").write_bytes(pattern(old_size)[::-1])
    (tmp_path / "disk").mkdir()
    wrap = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
            limit + '; status=$?; ls -A disk > left; cp disk/old.enc kept.enc 2>/dev/null; exit $status', "sh"]
    run = platform.run(["-e", "disk/old.enc", "big.bin"], cwd=tmp_path, wrap=wrap)
    assert (run.status, run.out) == (0, b"Unable to write file\n")
    assert (tmp_path / "left").read_text() == ("old.enc\n" if old_size else "")
    if old_size:
        assert (tmp_path / "kept.enc").read_bytes() == (tmp_path / "old.enc").read_bytes()


@pytest.mark.on(*NATIVE)
def test_encode_through_a_link_keeps_the_link_and_the_mode(platform, tmp_path):
    """The target is replaced by a new file, which shares nothing with a hard link to the old."""
    (tmp_path / "fw.bin").write_bytes(FIRMWARE)
    (tmp_path / "real").mkdir()
    (tmp_path / "real" / "target.enc").write_bytes(b"old")
    (tmp_path / "real" / "target.enc").chmod(0o640)
    (tmp_path / "link.enc").symlink_to("real/target.enc")
    os.link(tmp_path / "real" / "target.enc", tmp_path / "hard.enc")
    run = platform.run(["-e", "link.enc", "fw.bin"], cwd=tmp_path)
    assert (run.status, run.out) == (0, b"File link.enc generated: 512 bytes\n")
    assert os.readlink(tmp_path / "link.enc") == "real/target.enc"
    assert (tmp_path / "real" / "target.enc").read_bytes() == encoded(FIRMWARE)
    assert (tmp_path / "real" / "target.enc").stat().st_mode & 0o7777 == 0o640
    assert (tmp_path / "hard.enc").read_bytes() == b"old"


ENCODED = encoded(FIRMWARE)
# A planted link: the link of another user (nobody) in a folder that everyone may write to, sticky
# and root's as /tmp is, to root's file out. The kernel refuses root to follow it where
# fs.protected_symlinks is on; wherever the output is opened, the kernel resolves it (the name as
# given opened for writing), never the program (no readlink, no lstat). LeakSanitizer cannot run
# under ptrace.
PROTECTED = Path("/proc/sys/fs/protected_symlinks").read_text().strip() != "0"
PLANTED = ('mkdir -m 1777 shared && echo old > out && ln -s ../out shared/planted && '
           'chown -h nobody shared/planted && ASAN_OPTIONS=detect_leaks=0 '
           'strace -qq -f -e trace=file -o trace "$@" && '
           """grep -q 'openat(AT_FDCWD, "shared/planted", O_WRONLY' trace && """
           "! grep planted trace | grep -qE 'readlink|lstat|NOFOLLOW' && cat out")
# Outputs made by a shell line: the line that makes `out` and runs the utility ("$@"), the name
# given to -e, what it shows after the banner, `out`'s kind last. A device, a FIFO and a file bound
# over another (which nothing can be moved over) are written in place, the last once the new copy
# was complete; the program's own standard output, a file, is refused: its banner is in it and its
# closing line would follow the copy.
OUTPUTS = [
    row("a character device", 'mknod out c 1 3 && "$@"', "out",
        b"File out generated: 512 bytes\ncharacter special file\n"),
    row("a FIFO with a reader", 'mkfifo out && { cat out > got & } && "$@" && wait && cat got',
        "out", b"File out generated: 512 bytes\n" + ENCODED + b"fifo\n"),
    row("its own standard output", '"$@" > out && cat out', "out",
        b"Unable to create file\nregular file\n"),
    row("its own standard output, appended to", '"$@" >> out && cat out', "/dev/stdout",
        b"Unable to create file\nregular file\n"),
    row("a bind-mounted file", "echo old > inner && echo old > out && unshare --mount --propagation "
        """private sh -c 'mount --bind inner out && "$@"' sh "$@" && cat inner && ls -A""", "out",
        b"File out generated: 512 bytes\n" + ENCODED + b"fw.bin\ninner\nout\nregular file\n"),
    row("a link planted in a shared folder", PLANTED, "shared/planted",
        (b"Unable to create file\nold\n" if PROTECTED else
         b"File shared/planted generated: 512 bytes\n" + ENCODED) + b"regular file\n"),
]


@pytest.mark.on(*NATIVE)
@pytest.mark.parametrize("line,name,expected", OUTPUTS)
def test_encode_in_place(platform, bounds, tmp_path, line, name, expected):
    (tmp_path / "fw.bin").write_bytes(FIRMWARE)
    command, _ = platform.command(["-e", name, "fw.bin"])
    run = bounds.run(["sh", "-c", line + " && stat -c %F out", "sh", *command], 30, cwd=tmp_path)
    assert (run.status, re.sub(BANNER + rb"\n\n", b"", run.out, 1)) == (0, expected), run.err
