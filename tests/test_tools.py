# SPDX-License-Identifier: Apache-2.0
"""What comes with the programs: the demo, the manual pages, the Wireshark dissector, the Debian
packages, the simulator's start (where it refuses to run, as whom it runs) and its log under a
flood, the unit tests that need a network or a console, and for the Windows build its zip, whose
utility runs with no DLL beside it."""
import json
import os
import re
import select
import shlex
import socket
import struct
import subprocess
import zipfile
from pathlib import Path

import pytest

from harness import (BANNER, ERROR, KEY, OK, REPO, UPDATED_1000, UPDATING, existing,
                     installed, padded, pattern, row, stop)

LINUX, WINDOWS = pytest.mark.on("native"), pytest.mark.on("wine")
PAD = bytes((i * 37 + 11) & 0xFF for i in range(64))  # bytes 17..20, the offset's mask, not zero
FILE_BLOCK = bytes((i * 7 + 3) & 0xFF for i in range(256))
REPLY = bytes.fromhex("4321303e 0a0000c8 00000000 001b2c3d4e5f 0001")
# The programs of the utility's package and of the Windows zip (the simulator has its own package).
UTILITIES = ["torvane-fwupdate", "torvane-devices"]
# Where Ansible looks for collections by default, and the files of torvane.devices there.
COLLECTION = "usr/share/ansible/collections/ansible_collections/torvane/devices/"
COLLECTION_FILES = ["galaxy.yml", "meta/runtime.yml", "playbooks/update_sites.yml",
                    "examples/ansible.cfg", "examples/inventory.yml", "plugins/action/update.py",
                    "plugins/doc_fragments/torvane_devices.py",
                    "plugins/module_utils/torvane_devices.py", "plugins/modules/devices_facts.py",
                    "plugins/modules/update.py"]


def block_record(command, offset):
    """A block record masked with PAD: the image file's bytes XOR the pad travel."""
    masked = bytes(byte ^ PAD[17 + i] for i, byte in enumerate(offset.to_bytes(4, "big")))
    return command + b"\0" + masked + bytes(b ^ PAD[i % 64] for i, b in enumerate(FILE_BLOCK)) + PAD


SYNTHETIC = [  # datagram, sent to the device, fields the dissector shows
    (bytes.fromhex("43213039") + bytes(16), True,
     {"kind": "Management request", "command": "0x3039"}),
    (REPLY[:2] + b"\x30\x39" + REPLY[4:], False,
     {"kind": "Management reply", "device_address": "10.0.0.200", "device_type": "1"}),
    (REPLY[:18] + b"\x01\x00", False, {"device_id": "001b2c3d4e5f", "device_type": "256"}),
    (bytes.fromhex("4321303f 0306 001b2c3d4e5f 0505") + b"SITE7" + bytes(85), True,
     {"kind": "Setting record", "device_id": "001b2c3d4e5f", "item.setting_text": "SITE7"}),
    (b"S", True, {"kind": "Transfer command", "transfer.command": "0x53"}),
    (b"1", False, {"kind": "Transfer reply", "reply": "0x31"}),
    (b"T" + bytes(512), True, {"kind": "Probe"}),
    (block_record(b"P", 0x100), True,
     {"kind": "Block record", "block.command": "0x50", "block.offset": "0x00000100",
      "block.file_data": FILE_BLOCK.hex(),
      "block.data": bytes(b ^ KEY[i % 32] for i, b in enumerate(FILE_BLOCK)).hex()}),
    (bytes(range(1, 6)), True, {"kind": "Unknown"}),
]


def decode(capture, fields, *options, tshark=()):
    """Each datagram on port 36 of the capture, as the dissector shows `fields`; by default the
    dissector of the sources, else as `tshark` (a command) finds it."""
    tshark = tshark or [installed("tshark"), "-X", f"lua_script:{REPO}/tools/wireshark/torvane.lua"]
    shown = subprocess.run(
        [*tshark, "-n", "-r", capture, *options, "-T", "fields", "-E", "occurrence=f",
         *[argument for field in fields for argument in ("-e", "torvane." + field)]],
        capture_output=True, text=True, timeout=60, check=True).stdout
    return [dict(zip(fields, line.replace(":", "").split("\t"))) for line in shown.splitlines()]


def decode_synthetic(tmp_path, tshark=()):
    """SYNTHETIC's datagrams in a capture, decoded: the fields of each that SYNTHETIC names."""
    utility, device = bytes([10, 0, 0, 1]), bytes([10, 0, 0, 200])
    with open(tmp_path / "synthetic.pcap", "wb") as capture:
        capture.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))  # raw IPv4
        for datagram, to_device, _ in SYNTHETIC:
            ends = [utility, device] if to_device else [device, utility]
            ports = [50000, 36] if to_device else [36, 50000]
            packet = struct.pack("!BBHHHBBH4s4sHHHH", 0x45, 0, 28 + len(datagram), 1, 0, 64, 17,
                                 0, *ends, *ports, 8 + len(datagram), 0) + datagram
            capture.write(struct.pack("<IIII", 1700000000, 0, len(packet), len(packet)) + packet)
    fields = sorted({field for _, _, shown in SYNTHETIC for field in shown})
    decoded = decode(tmp_path / "synthetic.pcap", fields, tshark=tshark)
    return [{f: d[f] for f in shown} for d, (_, _, shown) in zip(decoded, SYNTHETIC)]


@LINUX
def test_dissector_on_hand_built_datagrams(platform, tmp_path):
    assert decode_synthetic(tmp_path) == [shown for _, _, shown in SYNTHETIC]


@LINUX
def test_dissector_on_a_live_capture(platform, device, bounds, tmp_path):
    """A whole update by address, with a setting, captured on the loopback: 258 blocks, so that
    offsets reach past 0x10000."""
    image = pattern(0x10000 + 300)
    (tmp_path / "image.bin").write_bytes(image)
    capture = tmp_path / "update.pcapng"
    dumpcap = subprocess.Popen([installed("dumpcap"), "-q", "-i", "lo", "-f", "udp port 36", "-w",
                                capture], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as marker:
        marker.bind(("127.0.0.1", 9))  # marks from port 9 show when the capture has them

        def marked(text):
            return bounds.until(lambda: marker.sendto(text, ("127.0.0.1", 36)) and
                                capture.exists() and text in capture.read_bytes(), 15)
        try:
            assert marked(b"capture started")
            device("--once")
            assert platform.run(["image.bin", "127.0.0.1", "-pSITE7"], cwd=tmp_path).status == 1
            assert marked(b"capture complete")
        finally:
            stop(dumpcap)
    packets = decode(capture, ["kind", "command", "block.command", "block.offset",
                               "block.file_data"], "-Y", "not udp.srcport == 9")
    assert not [p for p in packets if p["kind"] in ("", "Unknown")]
    assert [p["command"] for p in packets if p["kind"] in ("Management request", "Setting record")
            ] == ["0x303e", "0x303f", "0x3074"]
    blocks = [(offset, padded(image)[offset:offset + 256].hex())
              for offset in range(0, len(padded(image)), 256)]
    assert [(p["block.command"], int(p["block.offset"], 16), p["block.file_data"])
            for p in packets if p["kind"] == "Block record"] == \
        [(command, *block) for command in ("0x50", "0x56") for block in blocks]


@LINUX
@pytest.mark.parametrize("options,failed_cycles", [([], 0), (["--fault"], 1)],
                         ids=["plain", "fault"])
def test_demo(platform, request, bounds, options, failed_cycles):
    """README's first command, on this build's programs, without a terminal and unpaced."""
    simulator = existing(request.config.getoption("build"), "torvane-devsim")
    run = bounds.run([REPO / "demo" / "run-demo.sh", *options], 90, env=dict(
        os.environ, TORVANE_DEMO_NO_BUILD="1", TORVANE_DEMO_NO_PACING="1",
        TORVANE_DEMO_UTILITY=str(platform.utility), TORVANE_DEMO_SIMULATOR=str(simulator)))
    assert run.status == 0 and run.out.count(ERROR) == failed_cycles, run.out + run.err
    assert re.search(re.escape(ERROR * failed_cycles) + rb".*" + re.escape(OK) +
                     rb".*\nDemo passed: [^\n]*\n\Z", run.out, re.S), run.out


@LINUX
@pytest.mark.parametrize("page", ["torvane-fwupdate", "torvane-devsim", "torvane-devices"])
def test_manual_page(platform, request, bounds, page):
    """Dated; groff warns of nothing, mandoc of nothing above style notes."""
    page = existing(request.config.getoption("build"), f"man/{page}.1")
    rendered = bounds.run([installed("groff"), "-man", "-Tutf8", "-ww", "-z", page], 30)
    lint = bounds.run([installed("mandoc"), "-Tlint", "-W", "warning", page], 30)
    assert (rendered.status, rendered.err, lint.status, lint.out + lint.err) == (0, b"", 0, b"")
    assert re.search(rb'^\.TH \S+ 1 "20\d\d-[01]\d-[0-3]\d" ', page.read_bytes(), re.M)


def project_version(build):
    return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", Path(build, "CMakeCache.txt")
                     .read_text(), re.M)[1]


# The machine of each Debian architecture as file(1) names it.
MACHINES = {"amd64": "x86-64", "arm64": "ARM aarch64"}


@LINUX
def test_debian_packages(platform, request, device, bounds, tmp_path):
    """The three packages as cpack makes them: what lintian says, what each holds once unpacked
    into a root of its own, the programs updating a device from there, tshark loading the
    dissector from the folder that it reports as Wireshark's global Lua plugin folder, and Ansible,
    told nothing, finding the collection where its package puts it. A build for another
    architecture (arm64) has its programs checked for it, not run. With TORVANE_REFERENCE_PACKAGES
    naming a folder of the packages of another build of the same commit (CI: one from the source
    tarball, without a preset, and the arm64 build), every package of the same file name there
    must be the same, byte for byte: all three, or the architecture-independent one."""
    installed("dpkg-shlibdeps")
    build = request.config.getoption("build")
    if "TORVANE_HARDENING:BOOL=ON" not in Path(build, "CMakeCache.txt").read_text():
        pytest.skip("the packages are made from the hardened release build")
    made = bounds.run(["cpack", "-G", "DEB", "--config", existing(build, "CPackConfig.cmake"),
                       "-B", tmp_path], 120)
    assert made.status == 0, made.out
    debs = {deb.name.split("_")[0]: deb for deb in tmp_path.glob("*.deb")}
    # Not one tag shows, the informational and pedantic ones included.
    lint = bounds.run([installed("lintian"), "--pedantic", "-I", "-E", "--fail-on",
                       "error,warning", *debs.values()], 120)
    assert (lint.status, lint.out) == (0, b""), lint.out + lint.err
    architecture = bounds.run(["dpkg-deb", "--field", debs["torvane-fwupdate"], "Architecture"],
                              30).out.decode().strip()
    native = architecture == bounds.run(["dpkg", "--print-architecture"], 30).out.decode().strip()
    # Wireshark's folder on this machine, in the multiarch folder of the packages' architecture.
    folders = bounds.run([installed("tshark"), "-G", "folders"], 30).out.decode()
    plugins = re.search(r"^Global Lua Plugins:\s+/(\S+)$", folders, re.M)[1].replace(
        *[bounds.run(["dpkg-architecture", *query], 30).out.decode().strip() for query in
          (["-qDEB_BUILD_MULTIARCH"], ["-a", architecture, "-qDEB_HOST_MULTIARCH"])])
    libraries, version = rb"[^\n]*libc6 [^\n]*libstdc\+\+6 [^\n]*", project_version(build)
    packages = {  # its programs, its other files, its Architecture, Depends and Suggests fields
        "torvane-fwupdate": (UTILITIES, [f"{plugins}/torvane.lua",
                                         "usr/share/doc/torvane-fwupdate/README.md",
                                         "usr/share/torvane-devices/torvane-devices.schema.json",
                                         f"usr/share/bash-completion/completions/{UTILITIES[1]}"],
                             architecture, libraries, b"Suggests: tshark | wireshark\n"),
        "torvane-devsim": (["torvane-devsim"], [], architecture, libraries, b""),
        "ansible-torvane-devices": ([], [COLLECTION + name for name in COLLECTION_FILES] + [
            "usr/share/doc/ansible-torvane-devices/README.md",
            "usr/share/lintian/overrides/ansible-torvane-devices"], "all",
            re.escape(f"ansible-core, torvane-fwupdate (>= {version})".encode()), b"")}
    assert sorted(debs) == sorted(packages)
    for package, (programs, others, arch, depends, suggests) in packages.items():
        root, doc = tmp_path / package, f"usr/share/doc/{package}/"
        subprocess.run(["dpkg", "-x", debs[package], root], check=True, timeout=30)
        files = [doc + "changelog.gz", doc + "copyright", *[f"usr/bin/{name}" for name in programs],
                 *[f"usr/share/man/man1/{name}.1.gz" for name in programs],
                 *others]
        assert sorted(str(path.relative_to(root)) for path in root.rglob("*")
                      if not path.is_dir()) == sorted(files)
        assert (root / doc / "copyright").read_text().startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
        fields = bounds.run(["dpkg-deb", "--field", debs[package], "Architecture", "Version",
                             "Depends", "Suggests"], 30).out
        assert re.fullmatch(rb"Architecture: " + arch.encode() + rb"\nVersion: " +
                            version.encode() + rb"\nDepends: " + depends + rb"\n" +
                            re.escape(suggests), fields), (package, fields)
        for name in programs:
            kind = bounds.run([installed("file"), "-b", root / "usr/bin" / name], 30).out
            assert f"ELF 64-bit LSB pie executable, {MACHINES[architecture]},".encode() in kind
    # bash completes torvane-devices' options with what the package installs.
    completion = tmp_path / "torvane-fwupdate/usr/share/bash-completion/completions" / UTILITIES[1]
    completed = bounds.run(["bash", "-c", 'source "$1" && complete -p torvane-devices && COMP_WORDS='
                            '(torvane-devices update --dr) && COMP_CWORD=2 && _torvane_devices && '
                            'echo "${COMPREPLY[@]}"', "bash", completion], 10)
    assert completed.out == b"complete -F _torvane_devices torvane-devices\n--dry-run\n"
    # The utility's manual page names where its package put the dissector.
    page = subprocess.run(["zcat", tmp_path / "torvane-fwupdate/usr/share/man/man1/"
                           "torvane-fwupdate.1.gz"], capture_output=True, timeout=30).stdout
    assert f"\n.B /{plugins}/torvane.lua\n".replace("-", "\\-").encode() in page
    # Ansible, with its defaults and no collection path given, finds the collection in the
    # unpacked /usr/share laid over the machine's (in a mount namespace of the test's own).
    (tmp_path / "defaults.cfg").write_text("")
    env = {k: v for k, v in os.environ.items() if not k.startswith("ANSIBLE_")}
    shown = bounds.run([
        "unshare", "--mount", "sh", "-c",
        'mount -t overlay -o "lowerdir=$1:/usr/share" torvane /usr/share && shift && exec "$@"',
        "sh", tmp_path / "ansible-torvane-devices/usr/share", installed("ansible-doc"), "--json",
        "torvane.devices.update"], 60, cwd=tmp_path,
        env=dict(env, HOME=str(tmp_path), ANSIBLE_CONFIG=str(tmp_path / "defaults.cfg")))
    assert json.loads(shown.out or "{}").get("torvane.devices.update", {}).get("doc", {}).get(
        "filename") == f"/{COLLECTION}plugins/modules/update.py", shown.err
    reference = os.environ.get("TORVANE_REFERENCE_PACKAGES")
    if reference:
        shared = [deb for deb in debs.values() if Path(reference, deb.name).exists()]
        assert debs["ansible-torvane-devices"] in shared
        assert [deb.name for deb in shared
                if deb.read_bytes() != Path(reference, deb.name).read_bytes()] == []
    if not native:
        return  # the platform qemu runs the build's programs
    (tmp_path / "image.bin").write_bytes(pattern(1000))
    simulator = device("--once", binary=tmp_path / "torvane-devsim/usr/bin/torvane-devsim")
    run = bounds.run([tmp_path / "torvane-fwupdate/usr/bin/torvane-fwupdate", "image.bin",
                      "127.0.0.1"], 30, cwd=tmp_path)
    assert (run.status, simulator.finish()) == (1, 0)
    assert re.fullmatch(BANNER + re.escape(b"\n\n" + UPDATING + UPDATED_1000 + OK), run.out)
    # tshark with the unpacked plugin folder mounted over the global one, in a mount namespace.
    mounted = ["unshare", "--mount", "sh", "-c", 'mount --bind "$1" "$2" && shift 2 && exec "$@"',
               "sh", tmp_path / "torvane-fwupdate" / plugins, f"/{plugins}", installed("tshark")]
    assert decode_synthetic(tmp_path, mounted) == [shown for _, _, shown in SYNTHETIC]


def credentials(pid):
    """The ids that the last process under `pid` runs with: "UID / GID / GROUPS", each the one
    value that the real, effective, saved and file-system ids share."""
    while children := Path(f"/proc/{pid}/task/{pid}/children").read_text().split():
        pid = children[0]
    ids = dict(re.findall(r"^(Uid|Gid|Groups):\t(.*)$", Path(f"/proc/{pid}/status").read_text(),
                          re.M))
    return " / ".join(" ".join(sorted(set(ids[name].split()))) for name in ("Uid", "Gid", "Groups"))


PID_1 = ["unshare", "--net", "--pid", "--fork", "--mount-proc"]
# nobody in a namespace of the test's own, where port 36 needs no root: /proc/1/ns/net unreadable.
NOT_ROOT = ["unshare", "--net", "sh", "-c", "sysctl -qw net.ipv4.ip_unprivileged_port_start=0 && "
            'exec setpriv --reuid nobody --regid nogroup --clear-groups "$@"', "sh"]
USERS_OWN = ["setpriv", "--reuid", "nobody", "--regid", "nogroup", "--clear-groups", "unshare",
             "--user", "--map-root-user", "--net"]
REFUSED = "refusing to run in this machine's own network namespace"
GAVE_UP = r"torvane-devsim: nothing received for 1 second, giving up\n\Z"
LISTENED = r"\Anote - - listening on UDP port 36\n"
# The commands before the simulator, its options, the discovery requests sent to it once ready
# (from one socket, each answer awaited), its exit status, "ready" or nothing, the ids it runs with
# once ready, what its standard error says. In a PID namespace of its own it is process 1, in the
# same network namespace: it refuses to run there (no port bound, so no "ready"), as wherever it
# cannot show its namespace to be another, unless told to. Started as root, it runs as nobody (or
# --user) once port 36 is bound. A flood of one request is counted, a line a second at most (a slow
# build's flood may take some seconds).
SIMULATOR_STARTS = [
    row("pid 1 of namespaces of its own", PID_1, [], 0, 5, b"", None, REFUSED),
    row("there, told to run", PID_1, ["--host-network", "--user", "daemon"], 0, 4, b"ready\n",
        "1 / 1 / ", LISTENED + GAVE_UP),
    row("not root, /proc/1/ns/net unreadable", NOT_ROOT, [], 0, 5, b"", None,
        r"cannot tell [^\n]*: cannot read /proc/1/ns/net \(Permission denied\) nor "
        r"/proc/2/ns/net \(Permission denied\)\. "),
    row("a user's namespaces of its own", USERS_OWN, [], 0, 4, b"ready\n", "65534 / 65534 / ",
        LISTENED + GAVE_UP),
    row("a flood of one request", [], [], 3000, 4, b"ready\n", "65534 / 65534 / ",
        LISTENED + r"discover - - answered [^\n]*\n(note - - repeated \d+ more times\n){1,30}" +
        GAVE_UP),
]


@LINUX
@pytest.mark.parametrize("wrap,options,requests,status,ready,ids,said", SIMULATOR_STARTS)
def test_simulator_start(platform, bounds, tmp_path, wrap, options, requests, status, ready, ids,
                         said):
    simulator = existing(platform.utility.parent, "torvane-devsim")
    process = subprocess.Popen([*wrap, simulator, "--timeout", "1", "--ready-fd", "1", *options],
                               cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        shown = process.stdout.readline() if select.select(
            [process.stdout], [], [], bounds.seconds(10))[0] else None
        running = credentials(process.pid) if shown else None
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as requester:
            requester.settimeout(bounds.seconds(1))
            for _ in range(requests):
                requester.sendto(SYNTHETIC[0][0], ("127.0.0.1", 36))
                requester.recv(64)
        err = process.communicate(timeout=bounds.seconds(10))[1].decode()
    finally:
        stop(process)
    assert (process.returncode, shown, running) == (status, ready, ids), err
    assert re.search(said, err), err
    assert sum(map(int, re.findall(r"repeated (\d+) more", err))) == max(requests - 1, 0)


@pytest.mark.parametrize("tests,console", [
    row("sockets", "*Endpoint.*", False, on=("native",)),
    # qemu-user does not pass on the control message in which Linux counts the dropped datagrams.
    row("sockets, no drop count", "*Endpoint.*-*CountsWhatWasDropped", False, on=("qemu",)),
    row("all but the console", "-*OnTheConsole*", False, on=("wine",)),
    row("the console", "*OnTheConsole*", True, on=("wine",))])
def test_unit_tests(platform, bounds, tmp_path, tests, console):
    """The unit tests' executable in the test's namespace, its loopback up, where the sockets'
    tests run; the console's tests with a terminal (script), which Wine turns into a console.
    script passes the end of its input on as a key: a bounded run's input stays open, and empty."""
    command, env = platform.command([f"--gtest_filter={tests}"],
                                    program=existing(platform.unit_tests))
    env = dict(env or os.environ, TORVANE_PRIVATE_LOOPBACK="1")
    if console:
        command = ["script", "-qec", f"{shlex.join(map(str, command))} > {tmp_path}/out",
                   "/dev/null"]
    run = bounds.run(command, 60, env=env)
    output = (tmp_path / "out").read_bytes() if console else run.out
    assert run.status == 0 and re.search(rb"\[  PASSED  \] [1-9]", output), output + run.err


@WINDOWS
def test_windows_zip(platform, request, bounds, tmp_path):
    """The zip that the preset windows packs: flat, its texts with CR LF, each program with its
    version resource, its manifest, its manual page as HTML and its firewall rule in README.txt,
    and the utility running from the unpacked folder."""
    pefile = pytest.importorskip("pefile")
    build = request.config.getoption("windows_build")
    version = project_version(build)
    made = bounds.run(["cpack", "--config", existing(build, "CPackConfig.cmake"), "-B",
                       tmp_path], 120)
    assert made.status == 0, made.out
    folder = tmp_path / "unpacked"
    with zipfile.ZipFile(tmp_path / f"torvane-fwupdate-{version}-win64.zip") as archive:
        assert sorted(archive.namelist()) == sorted(
            [f"{name}.{kind}" for name in UTILITIES for kind in ("exe", "html")] +
            ["LICENSE.txt", "README.txt", "torvane.lua", "torvane-devices.schema.json"])
        archive.extractall(folder)
    for text in ("README.txt", "LICENSE.txt"):
        text = (folder / text).read_bytes()
        assert text.count(b"\r\n") == text.count(b"\n") == text.count(b"\r") > 20
    readme = (folder / "README.txt").read_bytes().decode()
    major, minor, patch = map(int, version.split("."))
    for name in UTILITIES:
        page = (folder / f"{name}.html").read_text()
        assert page.startswith("<!DOCTYPE html>") and f"<title>{name.upper()}(1)</title>" in page
        assert f"{name} {version}" in page and "/usr/" not in page
        assert (f'add rule name="{name}" dir=in\r\n    action=allow program='
                f'"C:\\path\\to\\this\\folder\\{name}.exe"\r\n    protocol=UDP remoteport=36'
                in readme)
        exe = pefile.PE(folder / f"{name}.exe")
        strings = {key.decode(): value.decode() for info in getattr(exe, "FileInfo", [[]])[0]
                   for table in getattr(info, "StringTable", [])
                   for key, value in table.entries.items()}
        expected = dict(ProductName="Torvane Firmware Update Utility", ProductVersion=version,
                        FileVersion=version, OriginalFilename=f"{name}.exe")
        assert {key: strings.get(key) for key in expected} == expected
        assert re.fullmatch(r"Copyright 20\d\d .+\. Apache License 2\.0\.",
                            strings["LegalCopyright"])
        fixed = exe.VS_FIXEDFILEINFO[0]
        assert (fixed.FileVersionMS, fixed.FileVersionLS) == (major << 16 | minor, patch << 16)
        manifest = [entry.directory.entries[0].directory.entries[0].data.struct
                    for entry in exe.DIRECTORY_ENTRY_RESOURCE.entries if entry.id == 24][0]
        assert b'<requestedExecutionLevel level="asInvoker"' in exe.get_data(
            manifest.OffsetToData, manifest.Size)
    (folder / "image.bin").write_bytes(pattern(300))
    command, env = platform.command(["-e", "image.enc", "image.bin"],
                                    program=folder / "torvane-fwupdate.exe")
    run = bounds.run(command, 60, env=env, cwd=folder)
    assert run.status == 0 and re.fullmatch(
        BANNER + rb"\r\n\r\nFile image.enc generated: 512 bytes\r\n", run.out), run.out + run.err
