"""The key wait after the result, through a pseudo-terminal that is the utility's controlling
terminal (its standard input is /dev/null). Without a terminal the wait ends at once: every run
of the other tables shows that, as none of them could end otherwise."""
import fcntl
import os
import re
import select
import subprocess
import termios

import pytest

import conftest
from conftest import BANNER, NG, OK, UPDATED_256, UPDATING, row, until

ROWS = [  # key, device options, output after the banner, typed before the run
    row("a letter", b"x", [], UPDATING + UPDATED_256 + OK, False),
    row("Ctrl+C is a key like any other", b"\x03", ["--silent-from", "S.1"], UPDATING + NG, False),
    row("a key typed ahead", b"y", [], UPDATING + UPDATED_256 + OK, True),
]


def read(terminal, shown, done, seconds):
    """Adds what the terminal shows to `shown` until done() or `seconds` pass without it."""
    while not done() and select.select([terminal], [], [], seconds * conftest.SCALE)[0]:
        try:
            shown += os.read(terminal, 4096)
        except OSError:
            break


@pytest.mark.on("native")
@pytest.mark.parametrize("key,options,expected,ahead", ROWS)
def test_key_wait(platform, device, tmp_path, key, options, expected, ahead):
    (tmp_path / "image.bin").write_bytes(bytes(256))
    device("--once", *options)
    terminal, user_side = os.openpty()
    before, shown = termios.tcgetattr(user_side), bytearray()
    if ahead:
        os.write(terminal, key)
        read(terminal, shown, lambda: len(shown) >= len(key), 2)  # its echo, before the run
        shown.clear()
    utility = subprocess.Popen(
        [platform.utility, "image.bin", "127.0.0.1"], cwd=tmp_path, stdin=subprocess.DEVNULL,
        stdout=user_side, stderr=user_side, start_new_session=True,
        preexec_fn=lambda: fcntl.ioctl(1, termios.TIOCSCTTY, 0))
    try:
        if not ahead:
            read(terminal, shown, lambda: shown.endswith(b"press any key to continue"), 10)
            # The key goes in once echo and line input are off, or the terminal would echo it.
            until(lambda: not termios.tcgetattr(user_side)[3] & (termios.ECHO | termios.ICANON), 5)
            os.write(terminal, key)
        status = utility.wait(10 * conftest.SCALE)
    finally:
        if utility.poll() is None:
            utility.kill()
            utility.wait()
    read(terminal, shown, lambda: False, 0.2)
    after = termios.tcgetattr(user_side)
    os.close(terminal)
    os.close(user_side)
    assert status == 1
    assert re.sub(BANNER + rb"\r\n\r\n", b"", bytes(shown), 1) == expected.replace(b"\n", b"\r\n")
    assert after == before
