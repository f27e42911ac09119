# SPDX-License-Identifier: Apache-2.0
"""The key wait after the result, and what a terminal shows at once, through a pseudo-terminal
that is the utility's controlling terminal (its standard input is /dev/null). Without a terminal
the wait ends at once, standard input open or not: every run of the other tables shows that, as
none of them could end otherwise."""
import fcntl
import os
import re
import select
import signal
import struct
import subprocess
import sys
import termios
from pathlib import Path

import pytest

from harness import BANNER, ERASE, NG, OK, UPDATED_256, UPDATING, row

# Signals that end the program, some with a core: whatever their kind, the terminal is put back.
ENDING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1,
          signal.SIGUSR2, signal.SIGALRM, signal.SIGVTALRM, signal.SIGPROF, signal.SIGXCPU,
          signal.SIGSEGV, signal.SIGPWR, signal.SIGRTMIN)
# Key (or a signal sent from outside instead), device options, output after the banner, typed
# before the run, bytes left unread. A key is taken whole (an escape sequence or a multi-byte
# character), the next stays for the shell. A signal ends the program as it would have, the
# terminal put back first; sent during a long erase, once the terminal shows the first mark.
ROWS = [
    row("Ctrl+C is a key like any other", b"\x03", ["--silent-from", "S.1"], UPDATING + NG, False,
        0),
    row("a key typed ahead", b"y", [], UPDATING + UPDATED_256 + OK, True, 0),
    *[row(name, typed, [], UPDATING + UPDATED_256 + OK, False, left) for name, typed, left in [
        ("a letter", b"x", 0), ("lone Esc", b"\x1b", 0), ("cursor up", b"\x1b[Az", 1),
        ("F5", b"\x1b[15~z", 1), ("Ctrl+cursor right", b"\x1b[1;5Cz", 1),
        ("F1 as SS3", b"\x1bOPz", 1), ("F1 on the Linux console", b"\x1b[[Az", 1),
        ("two-byte character", b"\xc3\xa9z", 1), ("a second key", b"ab", 1)]],
    *[row(ending.name, ending, [], UPDATING + UPDATED_256 + OK, False, 0) for ending in ENDING],
    # Stopped with the terminal put back, continued with the wait taken up again.
    row("SIGTSTP, then SIGCONT and a key", signal.SIGTSTP, [], UPDATING + UPDATED_256 + OK, False,
        0),
    row("a mark shows at once", signal.SIGTERM, ["--erase-ms", "10000"], UPDATING + ERASE + b"+",
        False, 0),
]


def read(terminal, shown, done, seconds):
    """Adds what the terminal shows to `shown` until done() or `seconds` pass without it."""
    while not done() and select.select([terminal], [], [], seconds)[0]:
        try:
            shown += os.read(terminal, 4096)
        except OSError:
            break


# The utility run as a shell with job control runs it, so that a stop signal stops it: in a
# process group of its own that has the terminal, its parent (this, the session's leader, whose
# controlling terminal it is) in another. The signals that end or stop it act by default, even
# when the tests run from nohup or a background job (which leave some of them ignored, and an
# ignored signal stays ignored); no core file. Ends as the utility ended.
JOB = """
import fcntl, os, resource, signal, sys, termios
fcntl.ioctl(1, termios.TIOCSCTTY, 0)
utility = os.fork()
if utility == 0:
    os.setpgid(0, 0)
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    os.tcsetpgrp(1, os.getpid())
    for number in map(int, sys.argv[1].split()):
        signal.signal(number, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    os.execv(sys.argv[2], sys.argv[2:])
status = os.waitpid(utility, 0)[1]
if os.WIFSIGNALED(status):
    signal.signal(os.WTERMSIG(status), signal.SIG_DFL)
    os.kill(os.getpid(), os.WTERMSIG(status))
sys.exit(os.waitstatus_to_exitcode(status))
"""


def raw(terminal):
    return not termios.tcgetattr(terminal)[3] & (termios.ECHO | termios.ICANON)


@pytest.mark.on("native")
@pytest.mark.parametrize("key,options,expected,ahead,left", ROWS)
def test_key_wait(platform, device, bounds, tmp_path, key, options, expected, ahead, left):
    (tmp_path / "image.bin").write_bytes(bytes(256))
    device("--once", *options)
    terminal, user_side = os.openpty()
    before, shown = termios.tcgetattr(user_side), bytearray()
    if ahead:
        os.write(terminal, key)
        read(terminal, shown, lambda: len(shown) >= len(key), bounds.seconds(2))  # its echo
        shown.clear()
    defaults = " ".join(str(int(number)) for number in (*ENDING, signal.SIGTSTP, signal.SIGCONT))
    job = subprocess.Popen([sys.executable, "-c", JOB, defaults, platform.utility, "image.bin",
                            "127.0.0.1"], cwd=tmp_path, stdin=subprocess.DEVNULL,
                           stdout=user_side, stderr=user_side, start_new_session=True)
    try:
        if not ahead:
            shows = expected.replace(b"\n", b"\r\n")
            read(terminal, shown, lambda: shown.endswith(shows), bounds.seconds(10))
            # A key for the wait goes in once echo and line input are off.
            if shows.endswith(b"continue"):
                bounds.until(lambda: raw(user_side), 5)
            utility = int(Path(f"/proc/{job.pid}/task/{job.pid}/children").read_text())
            if key == signal.SIGTSTP:
                os.kill(utility, key)
                stopped = bounds.until(lambda: Path(f"/proc/{utility}/stat").read_text()
                                       .rsplit(")", 1)[1].split()[0] == "T", 5)
                assert (stopped, termios.tcgetattr(user_side)) == (True, before)
                os.kill(utility, signal.SIGCONT)
                bounds.until(lambda: raw(user_side), 5)
                key = b"x"
            if isinstance(key, bytes):
                os.write(terminal, key)
            else:
                os.kill(utility, key)
        status = job.wait(bounds.seconds(10))
    finally:
        if job.poll() is None:
            for pid in Path(f"/proc/{job.pid}/task/{job.pid}/children").read_text().split():
                os.kill(int(pid), signal.SIGKILL)
            job.kill()
            job.wait()
    read(terminal, shown, lambda: False, bounds.seconds(0.2))
    after = termios.tcgetattr(user_side)
    # Line input off, so that a key without a line end counts too.
    termios.tcsetattr(user_side, termios.TCSANOW,
                      after[:3] + [after[3] & ~termios.ICANON] + after[4:])
    unread = struct.unpack("i", fcntl.ioctl(user_side, termios.FIONREAD, b"\0" * 4))[0]
    os.close(terminal)
    os.close(user_side)
    assert status == (1 if isinstance(key, bytes) else -key)
    assert re.sub(BANNER + rb"\r\n\r\n", b"", bytes(shown), 1) == expected.replace(b"\n", b"\r\n")
    assert (after, unread) == (before, left)
