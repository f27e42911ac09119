# SPDX-License-Identifier: Apache-2.0
"""The fixtures and hooks of every Python test: the options of a run, the platforms a row runs
on, a private network namespace per test, a LAN of named namespaces, the device simulator and the
Wine prefix. What the test files share besides lives in harness.py."""
import ctypes
import fcntl
import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path

import pytest

from harness import PLATFORMS, REPO, USUAL, Bounds, Device, existing, ip, stop, wine_environment

LOGS = pytest.StashKey()
CLONE_NEWNET = 0x40000000
TEST_SECONDS = 60  # each test's own bound (pytest-timeout) unless --timeout is given; scaled


def pytest_addoption(parser):
    add = parser.addoption
    add("--build", default=str(REPO / "build"), help="the Linux build (default: build/)")
    add("--windows-build", help="the Windows build, for the platform wine")
    add("--arm64-build", help="the arm64 build, for the platform qemu")
    add("--platform", action="append", choices=sorted(PLATFORMS),
        help="where the utility runs; repeatable (default: native)")
    add("--wine", default="/usr/lib/wine/wine64", help="the Wine loader")
    add("--qemu", default="qemu-aarch64-static", help="the emulator's command, before a program")
    add("--scale", type=float, default=1.0, help="stretches every time-out")


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    config.addinivalue_line("markers", "on(*platforms): the platforms a case makes sense on")
    # Before pytest-timeout reads it: a test past its bound fails with its name and its output.
    if hasattr(config.option, "timeout"):
        config.option.timeout = (config.option.timeout or TEST_SECONDS) * config.option.scale


def pytest_generate_tests(metafunc):
    if "platform" in metafunc.fixturenames:
        metafunc.parametrize("platform", metafunc.config.getoption("platform") or ["native"],
                             indirect=True)


def pytest_collection_modifyitems(config, items):
    """Keeps each case on the platforms that every `on` mark of it names."""
    kept, dropped = [], []
    for item in items:
        marks = [set(mark.args) for mark in item.iter_markers("on")] or [set(USUAL)]
        platform = item.callspec.params["platform"]
        (kept if platform in set.intersection(*marks) else dropped).append(item)
    config.hook.pytest_deselected(items=dropped)
    items[:] = kept


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if report.failed:
        for path in item.stash.get(LOGS, []):
            report.sections.append((path.name, path.read_text(errors="replace")[-6000:]))


@pytest.fixture(autouse=True)
def private_network():
    """Moves the test into a network namespace of its own, so nothing it sends can leave."""
    if os.geteuid() != 0:
        pytest.skip("network namespaces need root")
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.unshare(CLONE_NEWNET) == 0, os.strerror(ctypes.get_errno())
    links = ip("-o", "link", "show")
    assert re.fullmatch(r"1: lo: <LOOPBACK> [^\n]*state DOWN[^\n]*\n", links), links
    ip("link", "set", "lo", "up")


@pytest.fixture
def datagrams_sent():
    """The destinations of the UDP datagrams that the test's namespace sends from now on: a veth
    link without ARP and a default route let one to any address, the limited broadcast included,
    leave at once, and a packet socket sees it. Call it for those seen so far."""
    ip("link", "add", "anywhere", "type", "veth", "peer", "name", "anywhere-peer")
    ip("link", "set", "anywhere-peer", "up")
    ip("link", "set", "anywhere", "arp", "off", "up")
    ip("route", "add", "default", "dev", "anywhere")
    with socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800)) as packets:
        def seen():
            ipv4 = []
            while select.select([packets], [], [], 0)[0]:
                ipv4.append(packets.recv(65536))
            return [socket.inet_ntoa(p[16:20]) for p in ipv4 if p[9] == socket.IPPROTO_UDP]
        yield seen


@pytest.fixture(scope="session")
def bounds(request):
    """Every wait of a test, stretched by --scale."""
    return Bounds(request.config.getoption("scale"))


@pytest.fixture
def platform(request, tmp_path):
    runner = PLATFORMS[request.param](request, tmp_path)
    yield runner
    runner.close()


@pytest.fixture
def device(request, tmp_path, bounds):
    """Starts simulators: device(*options, name=..., ns=..., binary=...), by default the build's;
    each is stopped by its pid."""
    started = []
    request.node.stash[LOGS] = []

    def start(*options, name="device", ns=None, binary=None):
        binary = binary or existing(request.config.getoption("build"), "torvane-devsim")
        started.append(Device(binary, options, tmp_path, name, ns, bounds))
        request.node.stash[LOGS].append(started[-1].log_path)
        return started[-1]

    yield start
    for simulator_run in started:
        stop(simulator_run.process)


@pytest.fixture
def lan():
    """lan({"pc": "10.77.0.1/24", ...}): one namespace per host, joined by a bridge in one more;
    returns the hosts' namespace names. A host given a tuple of addresses has them all. A host
    named in an earlier call joins this LAN too, by a link of its own (eth1, ...), and keeps its
    default route. Names carry the worker's pid; all removed afterwards."""
    made, links = [], {}  # links: each host's namespace and how many links it has

    def make(hosts):
        tag = f"tv{os.getpid()}-{len(made)}"
        made.append(f"{tag}-br")
        ip("netns", "add", made[-1])
        ip("-n", made[-1], "link", "add", "br0", "type", "bridge")
        ip("-n", made[-1], "link", "set", "br0", "up")
        names = {}
        for index, (host, addresses) in enumerate(hosts.items()):
            new = host not in links
            if new:
                links[host] = [f"{tag}-{host}", 0]
                made.append(links[host][0])
                ip("netns", "add", made[-1])
            names[host], count = links[host]
            link, links[host][1] = f"eth{count}", count + 1
            ip("-n", names[host], "link", "add", link, "type", "veth", "peer", "name",
               f"v{index}", "netns", f"{tag}-br")
            ip("-n", f"{tag}-br", "link", "set", f"v{index}", "master", "br0", "up")
            for address in [addresses] if isinstance(addresses, str) else addresses:
                ip("-n", names[host], "addr", "add", address, "dev", link)
            ip("-n", names[host], "link", "set", link, "up")
            if new:
                ip("-n", names[host], "link", "set", "lo", "up")
                # The limited broadcast leaves by the default route: keep it on the first LAN.
                ip("-n", names[host], "route", "add", "default", "dev", link)
        return names

    yield make
    for name in reversed(made):
        subprocess.run(["ip", "netns", "delete", name], capture_output=True, timeout=10)


@pytest.fixture(scope="session")
def wine_prefix(request, bounds):
    """The Wine prefix, initialised once (wineboot) by the first worker, in a namespace of its
    own; the others wait on its lock."""
    loader = Path(request.config.getoption("wine"))
    prefix = Path(request.config.getoption("windows_build"), "wineprefix").resolve()
    with open(f"{prefix}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (prefix / ".torvane-ready").exists():
            session = tempfile.mkdtemp(prefix="torvane-wine-")
            env = wine_environment(prefix, loader, loader.parent / "wineserver", session)
            booted = bounds.run(["unshare", "--net", "--", "sh", "-c",
                                 '"$WINELOADER" wineboot --init && "$WINESERVER" -w'],
                                120, env=env)
            shutil.rmtree(session, ignore_errors=True)
            assert booted.status == 0, f"wineboot --init failed in {prefix}: {booted.err!r}"
            (prefix / ".torvane-ready").touch()
    return prefix
