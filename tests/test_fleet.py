# SPDX-License-Identifier: Apache-2.0
"""torvane-devices update on a fleet: devices side by side, stops from outside, the canary, the
failure limit, the device time-out and the journal for re-runs. Its host is 10.77.0.1/24; device
host N is 10.77.0.1N, each with a simulator of its own; every outcome is read from the progress
lines, the document and the simulators' logs and stores."""
import hashlib
import json
import os
import pty
import re
import select
import signal
import subprocess

import pytest

from harness import EVERYWHERE, NATIVE, document, events, padded, pattern, row, stop

PC = "10.77.0.1/24"
D1, D2, D3, D4 = (f"10.77.0.1{n}" for n in range(1, 5))
IMAGE = pattern(1000)
SILENT = ["--identify-replies", "0"]
SLOW_ERASE = ["--erase-ms", "1500"]
# The id each device answers with: the simulator's default, but for the last byte.
IDS = {address: f"00:1b:2c:3d:4e:{0x5f + n:02x}" for n, address in enumerate((D1, D2, D3, D4))}


def fleet(lan, device, devices):
    """The LAN with {address: simulator options}; its host names and the simulators."""
    hosts = lan({"pc": PC, **{address: address + "/24" for address in devices}})
    return hosts, {address: device(*options, "--device-id", IDS[address], name=address,
                                   ns=hosts[address]) for address, options in devices.items()}


def outcomes(lines):
    """{address: what its last line says}: "updated", "failed at STEP", "timed out at STEP",
    "interrupted at STEP", "not started: WHY" or "left out, WHY"; every line whole."""
    found = {}
    for line in lines.decode().splitlines():
        device = re.fullmatch(r"(10\.77\.0\.\d+): (.*?)(?: \(\d+ attempts?, \d+\.\d s\))?\r?", line)
        summary = re.fullmatch(r"(Updated \d+ of|Failed:|Interrupted:|Timed out:|Not started:|"
                               r"Stopped by) .*\r?", line)
        assert device or summary, f"a line cut or mixed: {line!r}"
        if device and re.match(r"updated|failed at|timed out|interrupted|not started|left out",
                               device[2]):
            found[device[1]] = device[2]
    return found


def attempts(lines, address):
    return int(re.search(rf"^{re.escape(address)}: .* \((\d+) attempts?, ".encode(), lines,
                         re.M)[1])


def starts(simulator):
    """The start-update requests that the simulator took: one per attempt that got that far."""
    return len(re.findall(r"^start ", simulator.log_path.read_text(), re.M))


NOT_STARTED = {"not started: a canary device was not updated": "canary_failed",
               "not started: the limit of failed devices was reached": "max_failed",
               "not started: the run was asked to stop": "interrupted"}


def checked_document(out, expected, form="--json"):
    """The document (with --events, the summary after each event), valid and whole: each device's
    result, reason and step as its expected line says them, and the totals."""
    if form == "--events":
        lines, found = events(out, "update")
        done = {e["address"]: e["device"] for e in lines if e["event"] == "device_done"}
        assert done == {d["address"]: d for d in found["devices"]}
    else:
        found = document(out, "update")
    said = {}
    for d in found["devices"]:
        step = d["failed_step_text"]
        said[d["address"]] = {"updated": "updated", "failed": f"failed at {step}",
                              "timed_out": f"timed out at {step}",
                              "interrupted": f"interrupted at {step}"}.get(d["result"], d["reason"])
    assert said == {a: NOT_STARTED.get(r, r) for a, r in expected.items()}
    kinds = [r.split(" at ")[0].replace(" ", "_") if " at " in r else r for r in expected.values()]
    assert found["totals"] == {
        "devices": len(kinds), "updated": kinds.count("updated"), "failed": kinds.count("failed"),
        "skipped": len(kinds) - len([k for k in kinds if " " not in k]),
        "interrupted": kinds.count("interrupted"), "timed_out": kinds.count("timed_out")}
    return found


# {address: simulator options}, the arguments after the image, each device's last line, the exit
# status. FIRST_FAILS: the first update of the device fails at its opening, the second goes well.
FIRST_FAILS = ["--wrong-byte", "S", "--fault-updates", "1", *SLOW_ERASE]
RUNS = [
    row("four at a time, one retried", {D1: SLOW_ERASE, D2: FIRST_FAILS, D3: SLOW_ERASE,
                                        D4: SLOW_ERASE},
        ["--parallel", "4", "--retries", "1"], dict.fromkeys((D1, D2, D3, D4), "updated"), 0,
        on=NATIVE),
    row("four at a time, one retried, json", {D1: SLOW_ERASE, D2: FIRST_FAILS, D3: SLOW_ERASE,
                                              D4: SLOW_ERASE},
        ["--parallel", "4", "--retries", "1", "--json"],
        dict.fromkeys((D1, D2, D3, D4), "updated"), 0, on=EVERYWHERE),
    row("a canary not updated, events", {D1: SILENT, D2: [], D3: []},
        ["--canary", "1", "--parallel", "3", "--events"],
        {D1: "failed at identify", D2: "not started: a canary device was not updated",
         D3: "not started: a canary device was not updated"}, 1, on=NATIVE),
    row("the failure limit", {D1: SILENT, D2: SILENT, D3: [], D4: []}, ["--max-failed", "2"],
        {D1: "failed at identify", D2: "failed at identify",
         D3: "not started: the limit of failed devices was reached",
         D4: "not started: the limit of failed devices was reached"}, 1, on=NATIVE),
    # Every attempt fails at once: only the time-out over all of them ends the device.
    row("a device timed out, its retries included", {D1: ["--wrong-byte", "S"], D2: []},
        ["--device-timeout", "2", "--retries", "20", "--parallel", "2", "--json"],
        {D1: "timed out at opening", D2: "updated"}, 1, on=NATIVE),
]


@pytest.mark.parametrize("devices,arguments,expected,status", RUNS)
def test_run(platform, lan, device, tmp_path, devices, arguments, expected, status):
    (tmp_path / "image.bin").write_bytes(IMAGE)
    hosts, simulators = fleet(lan, device, devices)
    run = platform.devices(["update", "image.bin", *devices, *arguments], cwd=tmp_path,
                           ns=hosts["pc"], seconds=90)
    form = next((f for f in ("--json", "--events") if f in arguments), None)
    lines = run.err if form == "--json" else run.out
    assert run.status == status, run.out + run.err
    if form:
        checked_document(run.out, expected, form)
    if form != "--events":
        assert outcomes(lines) == expected, run.out + run.err
    for address, simulator in simulators.items():
        assert (simulator.stored == padded(IMAGE)) == (expected[address] == "updated")
        assert starts(simulator) == 0 or not expected[address].startswith("not started")
    if "--parallel" in arguments and "--canary" not in arguments:
        # Side by side: every device is under way before the first is done.
        shown = lines.decode()
        first_done = shown.index(": updated (")
        assert all(shown.index(f"{address}: type") < first_done for address in devices)
    if D2 in devices and devices[D2] is FIRST_FAILS:
        assert attempts(lines, D2) == 2
    if "--device-timeout" in arguments:
        assert 2 <= attempts(lines, D1) < 21


def started(platform, arguments, ns, cwd, stdout=subprocess.PIPE):
    """torvane-devices started in the background, in its own session."""
    command, env = platform.command(arguments, ns, platform.utility.parent / "torvane-devices")
    return subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=subprocess.PIPE, start_new_session=True)


# The signal, how often, the output's form, and each device's last line. Two devices run at a time,
# each with a slow erase; the signals come once both have begun to erase, the second 0.2 s later.
STOPS = [
    row("SIGINT: the running devices finish", signal.SIGINT, 1, "--events",
        {D1: "updated", D2: "updated", D3: "not started: the run was asked to stop",
         D4: "not started: the run was asked to stop"}, 130, on=NATIVE),
    row("SIGTERM twice: the running devices are abandoned", signal.SIGTERM, 2, "--json",
        {D1: "interrupted at program block 0", D2: "interrupted at program block 0",
         D3: "not started: the run was asked to stop",
         D4: "not started: the run was asked to stop"}, 143, on=NATIVE),
]


@pytest.mark.parametrize("number,count,form,expected,status", STOPS)
def test_stop(platform, lan, device, bounds, tmp_path, number, count, form, expected, status):
    (tmp_path / "image.bin").write_bytes(IMAGE)
    hosts, simulators = fleet(lan, device, dict.fromkeys((D1, D2, D3, D4), SLOW_ERASE))
    process = started(platform, ["update", "image.bin", D1, D2, D3, D4, "--parallel", "2", form],
                      hosts["pc"], tmp_path)
    try:
        erasing = lambda: all("erase 1" in simulators[a].log_path.read_text() for a in (D1, D2))
        assert bounds.until(erasing, 10)
        for _ in range(count):
            process.send_signal(number)
            bounds.until(lambda: False, 0.2)
        out, err = process.communicate(timeout=bounds.seconds(30))
    finally:
        stop(process)
    assert process.returncode == status, err
    if form == "--json":
        assert outcomes(err) == expected, err
    found = checked_document(out, expected, form)
    assert found["stopped_by"] == signal.Signals(number).name
    assert [starts(simulators[a]) for a in (D1, D2, D3, D4)] == [1, 1, 0, 0]


def journal_lines(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


@pytest.mark.on(*NATIVE)
def test_journal_finishes_a_stopped_run(platform, lan, device, bounds, tmp_path):
    """A run stopped after its first device, then the same command with --skip-updated: the
    devices in the journal are left out before anything but identification reaches them, the
    others are updated, each device once in all."""
    (tmp_path / "image.bin").write_bytes(IMAGE)
    hosts, simulators = fleet(lan, device, dict.fromkeys((D1, D2, D3), []))
    journal = tmp_path / "journal.ndjson"
    command = ["update", "image.bin", D1, D2, D3, "--journal", journal.name]
    process = started(platform, command, hosts["pc"], tmp_path)
    try:
        assert bounds.until(lambda: journal.exists() and journal.read_text(), 10)
        process.send_signal(signal.SIGINT)
        first = process.communicate(timeout=bounds.seconds(30))[0]
    finally:
        stop(process)
    done = [a for a, result in outcomes(first).items() if result == "updated"]
    assert (process.returncode, done) == (130, [D1, D2][:len(done)]) and done, first
    # The journal from the environment this time.
    second = platform.devices([*command[:-2], "--skip-updated"], cwd=tmp_path, ns=hosts["pc"],
                              environment={"TORVANE_JOURNAL": journal.name})
    assert (second.status, outcomes(second.out)) == (0, {
        a: "updated" if a not in done else
        f"left out, the journal has it updated with this image, type 1 (supported), id {IDS[a]}"
        for a in (D1, D2, D3)}), second.out
    assert [starts(simulators[a]) for a in (D1, D2, D3)] == [1, 1, 1]
    assert all(s.stored == padded(IMAGE) for s in simulators.values())
    digest = hashlib.sha256(IMAGE).hexdigest()
    moment = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"
    for line in journal_lines(journal):
        assert re.fullmatch(moment, line.pop("started")) and re.fullmatch(moment, line.pop("ended"))
        assert line == {"format": 1, "id": IDS[line["address"]], "address": line["address"],
                        "image_size": 1000, "image_sha256": digest, "result": "updated",
                        "failed_step": None, "tool_version": line["tool_version"]}
    assert [line["address"] for line in journal_lines(journal)] == [D1, D2, D3]


@pytest.mark.on(*NATIVE)
def test_journal_passes_over_a_torn_line(platform, lan, device, tmp_path):
    """A line cut short by a power cut is no record, nor one of another image: its device is
    updated, and the line written after it starts on a line of its own."""
    (tmp_path / "image.bin").write_bytes(IMAGE)
    hosts, simulators = fleet(lan, device, dict.fromkeys((D1, D2), []))
    digest = hashlib.sha256(IMAGE).hexdigest()
    whole = json.dumps({"format": 1, "id": IDS[D1], "address": D1, "image_size": 1000,
                        "image_sha256": digest, "result": "updated"})
    torn = whole.replace(IDS[D1], IDS[D2]).replace(D1, D2)[:-20]
    other_image = whole.replace(IDS[D1], IDS[D2]).replace(digest, "0" * 64)
    journal = tmp_path / "journal.ndjson"
    journal.write_text(other_image + "\n" + whole + "\n" + torn)
    run = platform.devices(["update", "image.bin", D1, D2, "--journal", journal.name,
                            "--skip-updated"], cwd=tmp_path, ns=hosts["pc"])
    assert (run.status, list(outcomes(run.out).values())) == (0, [
        f"left out, the journal has it updated with this image, type 1 (supported), id {IDS[D1]}",
        "updated"]), run.out
    assert (simulators[D1].stored, simulators[D2].stored) == (None, padded(IMAGE))
    lines = journal.read_text().split("\n")
    assert lines[:3] == [other_image, whole, torn] and json.loads(lines[3])["address"] == D2


@pytest.mark.on(*NATIVE)
def test_status_line_on_a_terminal(platform, lan, device, bounds, tmp_path):
    """On a terminal a status line stands below the finished lines, each of which is written
    whole over it, and is gone before the summary."""
    (tmp_path / "image.bin").write_bytes(IMAGE)
    hosts, _ = fleet(lan, device, dict.fromkeys((D1, D2), SLOW_ERASE))
    terminal, slave = pty.openpty()
    process = started(platform, ["update", "image.bin", D1, D2, "--parallel", "2"], hosts["pc"],
                      tmp_path, stdout=slave)
    os.close(slave)
    shown = b""
    try:
        while select.select([terminal], [], [], bounds.seconds(10))[0]:
            shown += os.read(terminal, 65536)
    except OSError:  # the terminal's other end closed with the program
        pass
    finally:
        os.close(terminal)
        stop(process)
    statuses = re.findall(rb"\r(\d) done, 0 failed, (\d) running: 10\.77\.0\.1[12] "
                          rb"(?:identify|opening|erase|program|verify)", shown)
    assert {(b"0", b"2"), (b"1", b"1")} <= set(statuses), shown
    # What each line end leaves on the terminal: each carriage return writes from the line's start.
    lines = []
    for line in shown.split(b"\r\n"):
        lines.append(b"")
        for part in line.split(b"\r"):
            lines[-1] = part + lines[-1][len(part):]
    assert outcomes(b"\n".join(line.rstrip(b" ") for line in lines)) == \
        {D1: "updated", D2: "updated"}, shown
    assert shown.endswith(b"\r\n\rUpdated 2 of 2 devices.\r\n"), shown
