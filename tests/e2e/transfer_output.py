"""What the utility prints during and after a transfer, built from the image size alone, so that
end-to-end suites compare the whole standard output byte for byte. Written from the documented
formats, apart from the program's own code, so that each checks the other.
"""

OK_ROWS = [
    b"\n           OOOOOO       K    K",
    b"\n           O    O       K   K",
    b"\n           O    O       K  K",
    b"\n           O    O       KKK",
    b"\n           O    O       K  K",
    b"\n           O    O       K   K",
    b"\n           OOOOOO       K    K",
]
NG_ROWS = [
    b"\n           N    N       GGGGGGG",
    b"\n           NN   N       G     G",
    b"\n           N N  N       G      ",
    b"\n           N  N N       G  GGGG",
    b"\n           N   NN       G     G",
    b"\n           N   NN       G     G",
    b"\n           N    N       GGGGGGG",
]
SUCCESS_LINE = b"\nFirmware upgraded, press any key to continue"
FAILURE_LINE = b"\nError encountered, press any key to continue"
CYCLE_ERROR = b"\b\b\b\b\b\b Error\n"
BLOCK = 256


def updating(target):
    return b"Updating " + target.encode() + b"\n"


def erase(reads, done=True):
    """The erase line: `reads` marks put up and taken down again, then " Ok" or " Error"."""
    line = b"Erase".ljust(20) + b"+" * reads + b"\b \b" * reads
    return line + (b"\b\b\b Ok\n" if done else CYCLE_ERROR)


def blocks(label, size, done=None):
    """A program or verify line for an image of `size` bytes (a multiple of 256). With `done`,
    only that many blocks pass and the cycle fails at the next one."""
    count = size // BLOCK
    line = label.ljust(20).encode()
    for block in range(count if done is None else done):
        line += b"\b\b\b\b\b%3d %%" % (block * BLOCK * 100 // size)
    return line + (b"\b\b\b\b\b100 %\n" if done is None else CYCLE_ERROR)


def cycle(size, erase_reads=1):
    """One update cycle that succeeds."""
    return erase(erase_reads) + blocks("Program", size) + blocks("Verify", size)


def result(succeeded):
    """The banner and the result line; nothing follows the line."""
    rows = OK_ROWS if succeeded else NG_ROWS
    return b"\n" + b"".join(rows) + b"\n" + (SUCCESS_LINE if succeeded else FAILURE_LINE)
