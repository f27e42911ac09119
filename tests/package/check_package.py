#!/usr/bin/env python3
"""Builds the Debian package with cpack, unpacks it into a scratch root (dpkg -x) and checks it:
its control fields, the files it installs, and that the installed programs run.

The utility runs without arguments inside a network namespace of its own (unshare --net), so that
no datagram could leave this machine even if it tried. Exit status 77 (skipped) when namespaces
cannot be made.
"""
import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402  (shared with the end-to-end suites)

BANNER = re.compile(
    rb"Torvane Firmware Update Utility\.   [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
    rb"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n\n")


def build_package(cpack, config, out_dir):
    result = subprocess.run([cpack, "-G", "DEB", "--config", config, "-B", out_dir],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=50)
    if result.returncode != 0:
        sys.stdout.write(result.stdout.decode(errors="replace"))
        return None
    debs = [name for name in os.listdir(out_dir) if name.endswith(".deb")]
    return os.path.join(out_dir, debs[0]) if len(debs) == 1 else None


def control_fields(deb):
    text = subprocess.run(["dpkg-deb", "--field", deb], stdout=subprocess.PIPE, check=True,
                          timeout=10).stdout.decode()
    fields = {}
    for line in text.splitlines():
        if line and not line[0].isspace() and ":" in line:
            name, value = line.split(":", 1)
            fields[name] = value.strip()
    return fields


def check_control(fields, version):
    problems = []
    expected = {"Package": "torvane-fwupdate", "Version": version, "Section": "net"}
    for name, value in expected.items():
        if fields.get(name) != value:
            problems.append(f"control field {name} is {fields.get(name)!r}, expected {value!r}")
    if not re.fullmatch(r"[^<>]+ <[^@<>\s]+@[^@<>\s]+>", fields.get("Maintainer", "")):
        problems.append(f"Maintainer {fields.get('Maintainer')!r} is not 'Name <address>'")
    # dpkg-shlibdeps computes these from the binaries; a C++ program needs at least both.
    depends = fields.get("Depends", "")
    for library in ("libc6", "libstdc++6"):
        if library not in depends:
            problems.append(f"Depends {depends!r} does not name {library}")
    if not fields.get("Description"):
        problems.append("no Description")
    if "Homepage" in fields:
        problems.append("a Homepage field is set, but the project has none")
    return problems


def check_files(root, version, with_devsim):
    problems = []
    programs = ["torvane-fwupdate"] + (["torvane-devsim"] if with_devsim else [])
    for program in programs:
        binary = os.path.join(root, "usr/bin", program)
        if not os.access(binary, os.X_OK):
            problems.append(f"/usr/bin/{program} is missing or not executable")
        page = os.path.join(root, "usr/share/man/man1", program + ".1.gz")
        try:
            with gzip.open(page, "rt") as f:
                text = f.read()
        except OSError as error:
            problems.append(f"manual page {program}(1): {error}")
            continue
        if not re.search(r"^\.TH " + re.escape(program.upper()) + r" 1 .*" + re.escape(version),
                         text, re.MULTILINE):
            problems.append(f"manual page {program}(1) lacks a .TH line with version {version}")
    if not with_devsim and os.path.exists(os.path.join(root, "usr/bin/torvane-devsim")):
        problems.append("the package holds torvane-devsim, but the build has no simulator")
    dissector = os.path.join(root, "usr/share/torvane-fwupdate/wireshark/torvane.lua")
    if not os.path.isfile(dissector) or os.path.getsize(dissector) == 0:
        problems.append("the Wireshark dissector is missing")
    return problems


def run_isolated(command):
    return subprocess.run(["unshare", "--net", "--", *command], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=10)


def check_programs(root, version, with_devsim):
    problems = []
    utility = run_isolated([os.path.join(root, "usr/bin/torvane-fwupdate")])
    match = BANNER.match(utility.stdout)
    rest = utility.stdout[match.end():] if match else None
    if rest != b"Missing input file name\n" or utility.returncode != 0:
        problems.append(f"installed torvane-fwupdate printed {utility.stdout!r} and exited with "
                        f"{utility.returncode}")
    if with_devsim:
        devsim = run_isolated([os.path.join(root, "usr/bin/torvane-devsim"), "--version"])
        if devsim.returncode != 0 or version.encode() not in devsim.stdout:
            problems.append(f"installed torvane-devsim --version printed {devsim.stdout!r} and "
                            f"exited with {devsim.returncode}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True, help="CPackConfig.cmake of the build tree")
    parser.add_argument("--version", required=True)
    parser.add_argument("--with-devsim", action="store_true",
                        help="the build has the simulator, so the package must hold it")
    args = parser.parse_args()
    for tool in ("dpkg-deb", "dpkg-shlibdeps", "file"):
        if shutil.which(tool) is None:
            print(f"{tool} is missing: install dpkg-dev and file")
            return 1
    if not harness.unshare_isolates():
        print("skipped: cannot create an isolated network namespace (needs root)")
        return 77
    with tempfile.TemporaryDirectory(prefix="torvane-package-") as work:
        deb = build_package(args.cpack, os.path.abspath(args.config), os.path.join(work, "out"))
        if deb is None:
            print("FAIL cpack did not build exactly one .deb")
            return 1
        print("built " + os.path.basename(deb))
        root = os.path.join(work, "root")
        subprocess.run(["dpkg", "-x", deb, root], check=True, timeout=20)
        problems = check_control(control_fields(deb), args.version)
        problems += check_files(root, args.version, args.with_devsim)
        if not problems:
            problems += check_programs(root, args.version, args.with_devsim)
    for problem in problems:
        print("FAIL " + problem)
    print("ok" if not problems else f"{len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
