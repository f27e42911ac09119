#!/usr/bin/env python3
"""Runs torvane-fwupdate with fixed argument lists and compares its whole standard output and its
exit status with what each case expects.

Every run happens in a network namespace of its own (unshare --net), so that no datagram can leave
this machine whatever a case does. Exit status 77 (skipped) when namespaces cannot be made.

    run_cases.py --utility PROGRAM [--windows] [-- RUNNER...]

--windows: the utility is a Windows build, whose line ends are carriage return and line feed; the
cases in NOT_ON_WINDOWS are skipped. RUNNER (for Windows, tests/wine/wine_run.py) is the command
that starts the utility; it must give each run a network namespace of its own.
"""
import argparse
import concurrent.futures
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402  (shared with the end-to-end suites)

BANNER = (rb"Torvane Firmware Update Utility\.   [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
          rb"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n\n")

LONG_ADDRESS = "10.0.0.1" + " " * 24 + "x"

# name, arguments, expected output after the banner line, exit status.
# Files in the arguments: "fw.bin" (300 bytes), "empty.bin" (0 bytes), "dir" (a directory).
CASES = [
    ("no arguments", [], b"Missing input file name\n", 0),
    ("encode without output name", ["fw.bin", "-e"], b"Missing output file name\n", 0),
    ("encode, output first", ["-e", "out.bin", "fw.bin"], b"File out.bin generated: 512 bytes\n", 0),
    ("encode, input first", ["fw.bin", "-e", "out.bin"], b"File out.bin generated: 512 bytes\n", 0),
    ("encode names an option-like file", ["-e", "-pX", "fw.bin"],
     b"File -pX generated: 512 bytes\n", 0),
    ("encode ignores the address", ["-e", "o.bin", "fw.bin", "junk"],
     b"File o.bin generated: 512 bytes\n", 0),
    ("encode empty input", ["-e", "o.bin", "empty.bin"], b"File o.bin generated: 0 bytes\n", 0),
    ("encode missing input", ["-e", "o.bin", "missing.bin"], b"File not found\n", 0),
    ("encode without input name", ["-e", "o.bin"], b"File not found\n", 0),
    ("encode into a missing folder", ["-e", "no/such/o.bin", "fw.bin"],
     b"Unable to create file\n", 0),
    ("encode onto a full device", ["-e", "/dev/full", "fw.bin"], b"Unable to write file\n", 0),
    ("encode a directory", ["-e", "o.bin", "dir"], b"File read error\n", 0),
    ("image missing", ["missing.bin", "10.0.0.1"], b"File not found\n", 0),
    ("image missing, address invalid", ["missing.bin", "1.2.3"], b"File not found\n", 0),
    ("image is a directory", ["dir", "10.0.0.1"], b"File read error\n", 0),
    ("image empty", ["empty.bin", "10.0.0.1"], b"Image file is empty\n", 0),
    ("address invalid", ["fw.bin", "1.2.3"], b"Invalid IP address\n", 0),
    ("address all zero", ["fw.bin", "000.000.000.000"], b"Invalid IP address\n", 0),
    ("lone -p is an address", ["fw.bin", "-p"], b"Invalid IP address\n", 0),
    ("address too long", ["fw.bin", LONG_ADDRESS], b"Invalid IP address\n", 0),
    # The namespace has no network up: the broadcast and the identify request reach nobody.
    ("discovery hears nothing", ["fw.bin"], b"No device detected\n", 0),
    ("preparation hears nothing", ["fw.bin", "10.0.0.1"], b"Device not found\n", 1),
    ("setting string too long", ["fw.bin", "10.0.0.1", "-p" + "x" * 90],
     b"Setting string too long\n", 1),
]

# Cases that cannot hold on Windows, with the reason.
NOT_ON_WINDOWS = {
    "encode onto a full device": "Windows has no full device",
    "encode a directory": "Windows cannot open a directory as a file (File not found there)",
    "image is a directory": "Windows cannot open a directory as a file (File not found there)",
}


class Platform:
    """How the utility is started and which line end its output uses."""

    def __init__(self, utility, runner, windows):
        self.utility = utility
        self.runner = runner
        self.windows = windows
        self.line_end = b"\r\n" if windows else b"\n"
        self.banner = re.compile(BANNER.replace(rb"\n", rb"\r\n") if windows else BANNER)

    def text(self, expected):
        return expected.replace(b"\n", self.line_end)

    def command(self, arguments):
        if self.runner:
            return [*self.runner, self.utility, *arguments]
        return ["unshare", "--net", "--", self.utility, *arguments]


def run_isolated(platform, arguments, cwd):
    return subprocess.run(platform.command(arguments), cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, timeout=20)


def check(platform, name, arguments, expected, status):
    """Runs one case; returns its report lines, the first starting with "ok" or "FAIL"."""
    expected = platform.text(expected)
    with tempfile.TemporaryDirectory(prefix="torvane-blackbox-") as work:
        with open(os.path.join(work, "fw.bin"), "wb") as f:
            f.write(bytes((i * 7 + 3) & 0xFF for i in range(300)))
        open(os.path.join(work, "empty.bin"), "wb").close()
        os.mkdir(os.path.join(work, "dir"))
        result = run_isolated(platform, arguments, work)
        problems = []
        match = platform.banner.match(result.stdout)
        if not match:
            problems.append("no start-up banner line")
        output = result.stdout[match.end():] if match else result.stdout
        if output != expected:
            problems.append(f"output {output!r}, expected {expected!r}")
        if result.returncode != status:
            problems.append(f"exit status {result.returncode}, expected {status}")
        if not problems and "-e" in arguments and b" generated: " in output:
            problems += check_encoded(platform, work, arguments)
    return [("ok   " if not problems else "FAIL ") + name] + ["     " + p for p in problems]


def check_encoded(platform, work, arguments):
    """Encoding the encoded file again must give back the input and zero fill."""
    out = arguments[arguments.index("-e") + 1]
    source = [a for a in arguments if a not in ("-e", out)][0]
    # "./" keeps a name such as -pX from being read as an option.
    again = run_isolated(platform, ["-e", "again.bin", "./" + out], work)
    if again.returncode != 0:
        return ["second encoding failed"]
    with open(os.path.join(work, source), "rb") as f:
        original = f.read()
    with open(os.path.join(work, "again.bin"), "rb") as f:
        decoded = f.read()
    padded = original + bytes(-len(original) % 256)
    return [] if decoded == padded else ["encoding the encoded file did not give back the input"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--utility", required=True)
    parser.add_argument("--windows", action="store_true", help="the utility is a Windows build")
    parser.add_argument("runner", nargs=argparse.REMAINDER, help="-- and the runner command")
    options = parser.parse_args()
    runner = options.runner[1:] if options.runner[:1] == ["--"] else options.runner
    platform = Platform(os.path.abspath(options.utility), runner, options.windows)
    if not harness.unshare_isolates():
        print("skipped: cannot create an isolated network namespace (needs root)")
        return 77
    cases = []
    for name, *case in CASES:
        if platform.windows and name in NOT_ON_WINDOWS:
            print(f"skip {name}: {NOT_ON_WINDOWS[name]}")
        else:
            cases.append((name, *case))
    # The cases are independent (a folder and a namespace each) and mostly wait, the more so under
    # Wine, where every run starts a Wine session of its own.
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        reports = list(pool.map(lambda case: check(platform, *case), cases))
    for report in reports:
        print("\n".join(report))
    failed = sum(report[0].startswith("FAIL") for report in reports)
    print(f"{len(reports) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
