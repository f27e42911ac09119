#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Soak: whole updates of the simulator while it drops, doubles or delays its transfer replies at
fixed seeds, to measure how updates fare on a faulty network (docs/reliability.md). Run by hand,
as root, after building; CTest does not run it.

    bench/soak.py [--build build] [--runs 10] [--blocks 4] [--jobs 2] [--scenario NAME]...

Each run must end by itself with exit status 1 and the OK or the NG text; after an OK the device
must hold the whole image and say so (--once status 0); without faults every run must be OK.
Exit status 1 when a run breaks one of these rules. Runs go `--jobs` at a time, each worker in a
network namespace of its own with only its loopback up.
"""
import argparse
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from support import NG, OK, REPO, Simulator, in_namespace, padded, pattern, run_bounded

SCENARIOS = {
    "clean": [],
    "drop-1": ["--drop", "0.01"],
    "drop-5": ["--drop", "0.05"],
    "duplicate-5": ["--duplicate", "0.05"],
    "delay-900": ["--delay", "0.05:900"],
    "delay-1500": ["--delay", "0.05:1500"],
    "mixed": ["--drop", "0.02", "--duplicate", "0.02", "--delay", "0.02:1500"],
    # Refused tries among doubled or late replies: a stale reply must not pass a refused block.
    "stale-duplicate": ["--refuse", "P:1", "--duplicate", "0.05"],
    "stale-delay": ["--refuse", "P:1", "--delay", "0.05:1500", "--drop", "0.01"],
}


def one_run(build, namespace, scenario, seed, blocks):
    with tempfile.TemporaryDirectory(prefix="torvane-soak-") as work:
        image = pattern(blocks * 256 - seed % 256)
        Path(work, "image.bin").write_bytes(image)
        # The utility may be silent for a whole erase wait: 38 s.
        with Simulator(build / "torvane-devsim", ["--once", "--timeout", "60", "--seed",
                                                  str(seed), *SCENARIOS[scenario]],
                       work, namespace) as device:
            started = time.monotonic()
            run = run_bounded(in_namespace(namespace, [build / "torvane-fwupdate", "image.bin",
                                                       "127.0.0.1"]), 24 * 3600, cwd=work)
            seconds = time.monotonic() - started
            status, stored = device.wait(5), device.stored
    outcome = "OK" if run.out.endswith(OK) else "NG" if run.out.endswith(NG) else "neither"
    problems = [f"exit status {run.status}, output ending {run.out[-50:]!r}"] \
        if run.status != 1 or outcome == "neither" else []
    if outcome == "OK" and (stored != padded(image) or status != 0):
        problems.append(f"OK, but the device ended with status {status} and "
                        f"{'the whole' if stored == padded(image) else 'not the'} image")
    if scenario == "clean" and outcome != "OK":
        problems.append("a device without faults did not give OK")
    return scenario, seed, blocks, outcome, seconds, problems


def worker(index, build, tasks, results, lock):
    namespace = f"tvsoak{index}"
    subprocess.run(["ip", "netns", "add", namespace], check=True)
    try:
        subprocess.run(["ip", "-n", namespace, "link", "set", "lo", "up"], check=True)
        while True:
            with lock:
                if not tasks:
                    return
                task = tasks.pop(0)
            result = one_run(build, namespace, *task)
            with lock:
                results.append(result)
                print(f"{result[0]:<16} seed {result[1]:<5} {result[2]:>3} blocks "
                      f"{result[4]:7.1f} s  {result[3]}  {'; '.join(result[5])}", flush=True)
    finally:
        subprocess.run(["ip", "netns", "delete", namespace])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=REPO / "build")
    parser.add_argument("--runs", type=int, default=10, help="seeds per scenario")
    parser.add_argument("--blocks", type=int, default=4, help="image size in blocks (1 to 512)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--scenario", action="append", choices=SCENARIOS)
    options = parser.parse_args()
    scenarios = options.scenario or list(SCENARIOS)
    tasks = [(scenario, seed, options.blocks) for seed in range(1, options.runs + 1)
             for scenario in scenarios]
    results, lock = [], threading.Lock()
    threads = [threading.Thread(target=worker, args=(i, options.build.resolve(), tasks, results,
                                                     lock)) for i in range(options.jobs)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("\n| Faults | Runs | OK | NG | Rules broken | Median time | Worst time |\n"
          "|---|---:|---:|---:|---:|---:|---:|")
    for scenario in scenarios:
        mine = [r for r in results if r[0] == scenario]
        seconds = [r[4] for r in mine] or [0]
        print(f"| `{scenario}` {' '.join(SCENARIOS[scenario])} | {len(mine)} "
              f"| {sum(r[3] == 'OK' for r in mine)} | {sum(r[3] == 'NG' for r in mine)} "
              f"| {sum(bool(r[5]) for r in mine)} | {statistics.median(seconds):.1f} s "
              f"| {max(seconds):.1f} s |")
    return 1 if any(r[5] for r in results) or len(results) < len(scenarios) * options.runs else 0


if __name__ == "__main__":
    sys.exit(main())
