# SPDX-License-Identifier: Apache-2.0
"""Whole updates against the simulator over loopback, one row per device behaviour: the utility's
exit status and whole output, the simulator's verdict (--once: 0 when every block was programmed
and verified, 1 otherwise, 4 when the closing "R" never came) and what it stored."""
import re
import subprocess

import pytest

from harness import (BANNER, ERASE, ERASED, ERROR, EVERYWHERE, FOUR_BLOCKS, NATIVE, NG, OK,
                     ONE_BLOCK, PROGRAM, SETTING_89, UPDATED_256, UPDATED_1000, UPDATING, VERIFY,
                     padded, pattern, row, stop)

# Image size, device options, further arguments, output after the banner, device status. Rows on
# NATIVE alone play the dialogue's logic, which has nothing of the platform; the others wait out
# time-outs, read odd replies or drop queued ones, which the platforms do each their own way.
ROWS = [
    row("one block, the finish unanswered", 256, ["--silent-from", "R"], [],
        UPDATING + UPDATED_256 + OK, 0),
    row("partial last block, a later -p", 1000, [], [b"-pfirst", b"-pSITE7 north"],
        UPDATING + UPDATED_1000 + OK, 0),
    row("setting of 89 bytes", 256, [], [b"-P" + SETTING_89], UPDATING + UPDATED_256 + OK, 0,
        on=NATIVE),
    row("silent after the opening echo", 256, ["--silent-from", "S.1"], [], UPDATING + NG, 1,
        on=EVERYWHERE),
    row("nine probes answered", 256, ["--silent-from", "T10"], [], UPDATING + NG, 1, on=NATIVE),
    row("wrong erase echo", 256, ["--wrong-byte", "E", "--fault-cycles", "1"], [],
        UPDATING + ERASE + ERROR + UPDATED_256 + OK, 0, on=NATIVE),
    row("erase done at the 35th read", 256, ["--erase-reads", "35"], [],
        UPDATING + ERASE + b"+" * 35 + b"\b \b" * 35 + b"\b\b\b Ok\n" + PROGRAM + ONE_BLOCK +
        VERIFY + ONE_BLOCK + OK, 0, on=NATIVE),
    row("erase not done in 35 reads", 256, ["--erase-reads", "36", "--fault-cycles", "1"], [],
        UPDATING + ERASE + b"+" * 35 + b"\b \b" * 35 + ERROR + UPDATED_256 + OK, 0),
    row("block done at its fifth try", 1000, ["--refuse", "P1:4"], [],
        UPDATING + UPDATED_1000 + OK, 0, on=NATIVE),
    row("block refused five times", 1000, ["--refuse", "V2:5", "--fault-cycles", "1"], [b"-pA"],
        UPDATING + ERASED + PROGRAM + FOUR_BLOCKS + VERIFY + b"\b\b\b\b\b  0 %\b\b\b\b\b 25 %" +
        ERROR + UPDATED_1000 + OK, 0, on=EVERYWHERE),
    row("two-byte block reply", 256, ["--two-byte", "P0", "--fault-cycles", "1"], [],
        UPDATING + ERASED + PROGRAM + ERROR + UPDATED_256 + OK, 0),
    row("thirty failed cycles", 256, ["--erase-reads", "38"], [],
        UPDATING + (ERASE + b"+" * 35 + b"\b \b" * 35 + ERROR) * 30 + NG, 1, on=NATIVE),
]


@pytest.mark.on(*EVERYWHERE)
@pytest.mark.parametrize("size,options,arguments,expected,device_status", ROWS)
def test_update(platform, device, tmp_path, size, options, arguments, expected, device_status):
    image = pattern(size)
    (tmp_path / "image.bin").write_bytes(image)
    simulator = device("--once", *options)
    run = platform.run(["image.bin", "127.0.0.1", *arguments], cwd=tmp_path)
    assert (run.status, run.out) == (1, platform.text(expected))
    assert simulator.finish() == device_status
    if device_status == 0:
        assert simulator.stored == padded(image)
    settings = [argument[2:] for argument in arguments if argument[:2] in (b"-p", b"-P")]
    assert simulator.setting == (settings[-1] if settings else None)


def test_whole_image(platform, device, tmp_path):
    """The image is cut at 131072 bytes: 512 blocks, the last figure 99 %."""
    image = pattern(131072 + 300)
    (tmp_path / "image.bin").write_bytes(image)
    simulator = device("--once")
    run = platform.run(["image.bin", "127.0.0.1"], cwd=tmp_path)
    assert run.status == 1 and run.out.count(platform.text(b" 99 %\b\b\b\b\b100 %\n")) == 2
    assert run.out.endswith(platform.text(OK))
    assert (simulator.finish(), simulator.stored) == (0, image[:131072])


def test_stale_replies(platform, device, tmp_path):
    """Every first program try refused while some replies come twice: a stale reply must never
    pass for an answer, so the device holds the whole image when the utility says OK."""
    image = pattern(8 * 256 - 100)
    (tmp_path / "image.bin").write_bytes(image)
    simulator = device("--once", "--refuse", "P:1", "--duplicate", "0.05", "--seed", "12")
    run = platform.run(["image.bin", "127.0.0.1"], cwd=tmp_path, seconds=60)
    assert run.status == 1 and run.out.endswith(platform.text(OK))
    assert (simulator.finish(), simulator.stored) == (0, padded(image))


@pytest.mark.on(*NATIVE)
def test_closed_output_pipe(platform, device, bounds, tmp_path):
    """The log reader goes away after 10 bytes: the update goes on to its end all the same."""
    (tmp_path / "image.bin").write_bytes(pattern(131072))
    simulator = device("--once")
    utility = subprocess.Popen([platform.utility, "image.bin", "127.0.0.1"], cwd=tmp_path,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    try:
        utility.stdout.read(10)
        utility.stdout.close()
        assert (utility.wait(bounds.seconds(60)), simulator.finish()) == (1, 0)
    finally:
        stop(utility)


@pytest.mark.on(*NATIVE)
def test_output_file_of_a_killed_run(platform, device, bounds, tmp_path):
    """Killed while the device erases, a run has written its lines so far to the file."""
    (tmp_path / "image.bin").write_bytes(pattern(256))
    simulator = device("--once", "--erase-ms", "3000")
    with open(tmp_path / "out", "wb") as out:
        utility = subprocess.Popen([platform.utility, "image.bin", "127.0.0.1"], cwd=tmp_path,
                                   stdin=subprocess.DEVNULL, stdout=out)
    try:
        assert bounds.until(lambda: re.search("^erase ", simulator.log_path.read_text(), re.M), 10)
    finally:
        stop(utility)
    assert re.fullmatch(BANNER + b"\n\n" + UPDATING, (tmp_path / "out").read_bytes())
