# SPDX-License-Identifier: Apache-2.0
"""The collection torvane.devices for real: Ansible, in a controller namespace, runs over SSH on
three site hosts, each a namespace with its own sshd and a device LAN of two simulators (the same
addresses at every site). The namespaces are the lan fixture's; sshd and Ansible die with the
test's process, the simulators at their own time-out."""
import ctypes
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

import pytest

from harness import REPO, existing, installed, padded, pattern, stop

SITES = {"site_a": "10.88.0.11", "site_b": "10.88.0.12", "site_c": "10.88.0.13"}
DEVICES = ("10.77.0.11", "10.77.0.12")
ANSIBLE_CFG = """[defaults]
collections_path = {repo}/ansible
[ssh_connection]
pipelining = true
control_path_dir = {control}
ssh_args = -F none -o UserKnownHostsFile={tmp}/known_hosts -o StrictHostKeyChecking=yes
  -o IdentitiesOnly=yes -o ControlMaster=auto -o ControlPersist=30s
"""
SSHD_CONFIG = """HostKey {tmp}/host_key
AuthorizedKeysFile {tmp}/client_key.pub
UsePAM no
StrictModes no
PidFile none
Subsystem sftp internal-sftp
SetEnv HOME={tmp}/home
"""


def die_with_the_test():
    """In the child before exec: SIGKILL when the test's process dies, however it dies."""
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Fleet:
    """The keys, sshd's and simulators of one test, on the lan fixture's namespaces; close() ends
    the connections and sshd's, also half made (the fixtures stop the simulators)."""

    def __init__(self, build, tmp, lan, device, bounds):
        self.build, self.tmp, self.sshd, self.devices = Path(build), tmp, [], {}
        self.lan, self.device, self.bounds = lan, device, bounds
        # The connections' sockets: a short path, as a socket's name has at most 107 bytes.
        self.control = Path(tempfile.mkdtemp(prefix="tvcp"))

    def start(self, faults):
        for key in ("host_key", "client_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.tmp / key],
                           check=True, timeout=10)
        host_key = " ".join((self.tmp / "host_key.pub").read_text().split()[:2])
        (self.tmp / "known_hosts").write_text("".join(f"{a} {host_key}\n" for a in SITES.values()))
        (self.tmp / "sshd_config").write_text(SSHD_CONFIG.format(tmp=self.tmp))
        (self.tmp / "ansible.cfg").write_text(ANSIBLE_CFG.format(repo=REPO, tmp=self.tmp,
                                                                 control=self.control))
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd's privilege separation
        # Each site host's first LAN is its devices' (the limited broadcast goes there); the
        # management LAN joins the controller to the site hosts.
        for index, site in enumerate(SITES):
            hosts = self.lan({site: "10.77.0.1/24",
                              **{f"{site}-d{n}": a + "/24" for n, a in enumerate(DEVICES)}})
            for n in range(len(DEVICES)):
                self.devices[site, n] = self.device(
                    # Waves wait their turn: longer than the usual 30 s of silence.
                    "--timeout", "120", "--device-id", f"02:00:00:00:0{index}:0{n}",
                    *faults.get((site, n), []), name=f"{site}-d{n}", ns=hosts[f"{site}-d{n}"])
        hosts = self.lan({"ctl": "10.88.0.1/24", **{s: a + "/24" for s, a in SITES.items()}})
        self.ctl = hosts["ctl"]
        for site, address in SITES.items():
            self.start_sshd(hosts[site], site, address)

    def start_sshd(self, ns, site, address):
        log = self.tmp / f"sshd-{site}.log"
        with open(log, "wb") as output:
            self.sshd.append(subprocess.Popen(
                ["ip", "netns", "exec", ns, installed("sshd"), "-D", "-e", "-f",
                 self.tmp / "sshd_config", "-o", f"ListenAddress={address}"],
                stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                preexec_fn=die_with_the_test))
        assert self.bounds.until(lambda: b"Server listening" in log.read_bytes() or
                                 self.sshd[-1].poll(), 10), log.read_text()
    def playbook(self, options, extra):
        self.inventory(extra)
        return self.ansible("ansible-playbook", "torvane.devices.update_sites", "-e",
                            f"torvane_results={self.tmp}/results", *options)

    def inventory(self, extra):
        inventory = {"torvane_sites": {
            "children": {"torvane_canary": {"hosts": {"site_a": {"ansible_host": SITES["site_a"]}}},
                         "others": {"hosts": {s: {"ansible_host": SITES[s]}
                                              for s in ("site_b", "site_c")}}},
            "vars": {"ansible_user": "root", "ansible_python_interpreter": "/usr/bin/python3",
                     "ansible_ssh_private_key_file": str(self.tmp / "client_key"),
                     "ansible_remote_tmp": str(self.tmp / "remote"),
                     "torvane_image": str(self.tmp / "image.bin"),
                     "torvane_binary": str(existing(self.build, "torvane-devices")),
                     "torvane_journal": str(self.tmp / "{{ inventory_hostname }}/journal.ndjson"),
                     **extra}}}
        (self.tmp / "inventory.json").write_text(json.dumps(inventory))

    def ansible(self, program, *arguments):
        """`program` (ansible or ansible-playbook) on the controller, with the inventory."""
        env = dict(os.environ, ANSIBLE_CONFIG=str(self.tmp / "ansible.cfg"),
                   ANSIBLE_HOME=str(self.tmp / "ansible-home"), ANSIBLE_NOCOLOR="1")
        return self.bounds.run(["ip", "netns", "exec", self.ctl, installed(program), "-i",
                                self.tmp / "inventory.json", *arguments],
                               120, cwd=self.tmp, env=env, preexec_fn=die_with_the_test)

    def close(self):
        try:
            for socket in self.control.iterdir():
                # The connection that ssh keeps open, by the pid that it tells.
                check = subprocess.run(["ssh", "-F", "none", "-o", f"ControlPath={socket}", "-O",
                                        "check", "site"], capture_output=True, text=True,
                                       timeout=10)
                pid = re.search(r"pid=(\d+)", check.stderr)
                if pid:
                    # Killed outright: a master busy with its last channels may take its time.
                    os.kill(int(pid[1]), signal.SIGKILL)
                    # Gone, or a zombie (an empty command line) for its new parent to reap.
                    assert self.bounds.until(lambda: not Path(f"/proc/{pid[1]}").exists() or
                                             not Path(f"/proc/{pid[1]}/cmdline").read_bytes(),
                                             10), pid[1]
            for process in self.sshd:
                stop(process)
        finally:
            shutil.rmtree(self.control)


@pytest.fixture
def fleet(request, tmp_path, lan, device, bounds):
    installed("ansible-playbook")
    made = Fleet(request.config.getoption("build"), tmp_path, lan, device, bounds)
    yield made
    made.close()


def recap(out):
    """{site: (changed, failed)} from the play's recap."""
    return {site: (int(changed), int(failed)) for site, changed, failed in re.findall(
        r"^(site_\w) +: ok=\d+ +changed=(\d+) +unreachable=\d+ +failed=(\d+)", out.decode(), re.M)}


ALL_CHANGED = {site: (1, 0) for site in SITES}
UNCHANGED = {site: (0, 0) for site in SITES}
# Device faults {(site, n): options}, playbook variables, the runs (ansible-playbook's options, its
# status, the recap), each site's devices at the end (U updated, F started and failed, - nothing
# past identification) and the results on the controller after the last run.
RUNS = [
    pytest.param({}, {"torvane_parallel": 2}, [([], 0, ALL_CHANGED), ([], 0, UNCHANGED)],
                 {site: "UU" for site in SITES}, {site: ["skipped"] * 2 for site in SITES},
                 id="all updated, then nothing left to do"),
    pytest.param({("site_b", 1): ["--wrong-byte", "S"]}, {},
                 [([], 2, {"site_a": (1, 0), "site_b": (0, 1)})],
                 {"site_a": "UU", "site_b": "UF", "site_c": "--"},
                 {"site_a": ["updated"] * 2, "site_b": ["updated", "failed"]},
                 id="the second site fails and the waves stop"),
    pytest.param({}, {}, [(["--check"], 0, ALL_CHANGED)], {site: "--" for site in SITES}, {},
                 id="check mode writes nothing"),
    pytest.param({("site_a", n): ["--device-type", "2"] for n in range(2)}, {},
                 [(["--limit", "site_a"], 2, {"site_a": (0, 1)})], {s: "--" for s in SITES},
                 {"site_a": ["skipped"] * 2}, id="one site named, no device of its type there"),
]


@pytest.mark.on("native")
@pytest.mark.parametrize("faults,extra,runs,devices,results", RUNS)
def test_playbook(platform, fleet, faults, extra, runs, devices, results):
    image = pattern(1000)
    (fleet.tmp / "image.bin").write_bytes(image)
    fleet.start(faults)
    for options, status, changes in runs:
        run = fleet.playbook(options, extra)
        assert (run.status, recap(run.out)) == (status, changes), run.out.decode()[-3000:]
    for (site, n), device in fleet.devices.items():
        starts = device.log_path.read_bytes().count(b"\nstart ")
        assert (device.stored, starts) == {"U": (padded(image), 1), "F": (None, 1),
                                           "-": (None, 0)}[devices[site][n]], (site, n)
    shown = {path.stem: [d["result"] for d in json.loads(path.read_text())["devices"]]
             for path in (fleet.tmp / "results").glob("*.json")}
    assert shown == results
    journaled = {s for s, d in devices.items() if d != "--" and "torvane_journal" not in extra}
    assert {path.parent.name for path in fleet.tmp.glob("*/journal.ndjson")
            if path.read_bytes()} == journaled


@pytest.mark.on("native")
@pytest.mark.parametrize("module", ["update", "devices_facts"])
def test_documented_options_are_the_accepted_ones(platform, tmp_path, bounds, module):
    """ansible-doc reads each module's documentation, and it names the options that the module,
    run as Ansible runs it on a site host, takes."""
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=str(REPO / "ansible"),
               ANSIBLE_HOME=str(tmp_path), PYTHONPATH=str(REPO / "ansible"))
    shown = bounds.run([installed("ansible-doc"), "--json", f"torvane.devices.{module}"], 60,
                       env=env)
    documented = json.loads(shown.out)[f"torvane.devices.{module}"]["doc"]["options"]
    arguments = {"ANSIBLE_MODULE_ARGS": {"unknown": 1, "image": "x"}}
    (tmp_path / "arguments.json").write_text(json.dumps(arguments))
    refused = bounds.run(["/usr/bin/python3", "-m",
                          f"ansible_collections.torvane.devices.plugins.modules.{module}",
                          tmp_path / "arguments.json"], 30, env=env, cwd=tmp_path)
    accepted = re.search(rb"Supported parameters include: ([a-z_, ]+)", refused.out)
    assert accepted and sorted(documented) == accepted[1].decode().split(", "), refused.out


@pytest.mark.on("native")
@pytest.mark.parametrize("arguments,status,found", [
    pytest.param("", "SUCCESS", {s: [(d, f"02:00:00:00:0{i}:0{n}", 1, True)
                                     for n, d in enumerate(DEVICES)] for i, s in enumerate(SITES)},
                 id="every device of each site"),
    pytest.param("ids=02:00:00:00:00:01,02:00:00:00:01:07", "FAILED",
                 {"site_a": [(DEVICES[1], "02:00:00:00:00:01", 1, True),
                             (None, "02:00:00:00:01:07", None, False)]},
                 id="by id, one missing"),
])
def test_devices_facts(platform, fleet, arguments, status, found):
    fleet.start({})
    fleet.inventory({})
    run = fleet.ansible("ansible", "site_a" if "ids" in arguments else "torvane_sites", "-o", "-m",
                        "torvane.devices.devices_facts", "-a",
                        f"binary={existing(fleet.build, 'torvane-devices')} {arguments}")
    shown = {site: json.loads(result) for site, outcome, result in re.findall(
        r"^(site_\w) \| (\w+)!? => (.*)$", run.out.decode(), re.M) if outcome == status}
    assert {site: [(d["address"], d["id"], d["type"], d["supported"])
                   for d in result["ansible_facts"]["torvane_devices"]]
            for site, result in shown.items()} == found, run.out.decode()
