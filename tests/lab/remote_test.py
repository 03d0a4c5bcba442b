"""labgrid 26's remote mode across two hosts: two network namespaces joined
by a veth pair. The exporter's host runs sshd (a throwaway config and keys),
the coordinator, the exporter with docs/lab.md's exporter config and
pdudaemon 1.1.1; both hosts have a switch AB12CD34 on the fake USB bus, each
with its own state and its own node to wait in line at. labgrid-client runs
on the client's host, as a lab runs it, and only the exporter host's switch
may change.

Environment (ctest sets it): PYTHONPATH with the staged modules,
VELORIN_LAB_DOC, VELORIN_TOOL, VELORIN_VENVS. Needs root (namespaces)."""

import json
import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest
import yaml
from velorin_testing import FakeBus, running_with, snippet, wait_until

FAILED = ("exit status 3: Changing switch with serial number AB12CD34 failed! "
          "Error: Switch not installed or not available!")
VENV = Path(os.environ["VELORIN_VENVS"])
# Each labgrid-client run may take this long on a crowded machine.
CLIENT_BOUND = 120


def ip(*args):
    subprocess.run(["ip", *args], check=True, stdin=subprocess.DEVNULL)


class Host:
    """One host: its namespace and its own switch on the fake USB bus."""

    def __init__(self, work, namespace, address):
        self.work, self.namespace, self.address = work, namespace, address
        work.mkdir()
        self.bus = FakeBus(work, line=True)
        self.env = self.bus.env()

    def start(self, argv, name, env=None):
        with open(self.work / f"{name}.log", "w") as out:
            return subprocess.Popen(["ip", "netns", "exec", self.namespace, *argv], stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT, env=env or self.env,
                                    start_new_session=True, cwd=self.work)

    def log(self, name):
        return (self.work / f"{name}.log").read_text()

    def tools(self):
        """The tool's processes in this host's namespace."""
        pids = subprocess.run(["ip", "netns", "pids", self.namespace], capture_output=True, text=True).stdout
        return running_with("/N=AB12CD34", pids.split())


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    work = tmp_path_factory.mktemp("remote")
    tag = os.getpid()
    # 10.A.B.0/30, unique per process, so that other runs may go on beside.
    net = f"10.{100 + (tag >> 8) % 150}.{tag & 255}"
    client = Host(work / "client", f"velorin-{tag}-client", f"{net}.1")
    exporter = Host(work / "exporter", f"velorin-{tag}-exporter", f"{net}.2")
    processes = []
    ip("netns", "add", client.namespace)
    ip("netns", "add", exporter.namespace)
    try:
        ip("link", "add", f"vl{tag}c", "netns", client.namespace, "type", "veth", "peer", "name", f"vl{tag}e",
           "netns", exporter.namespace)
        for host, link in ((client, f"vl{tag}c"), (exporter, f"vl{tag}e")):
            ip("-n", host.namespace, "addr", "add", f"{host.address}/30", "dev", link)
            ip("-n", host.namespace, "link", "set", link, "up")
            ip("-n", host.namespace, "link", "set", "lo", "up")

        keys = work / "keys"
        keys.mkdir()
        for key in ("client", "host"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(keys / key)], check=True)
        (keys / "authorized_keys").write_text((keys / "client.pub").read_text())
        host_key = (keys / "host.pub").read_text().split()
        (keys / "known_hosts").write_text(f"{exporter.address} {host_key[0]} {host_key[1]}\n")
        # sshd gives the tool the exporter host's switch; the client's ssh
        # uses the test's keys through a config of its own.
        fake = " ".join(f"{key}={value}" for key, value in exporter.bus.variables().items())
        (keys / "sshd_config").write_text(
            f"ListenAddress {exporter.address}:22\nHostKey {keys / 'host'}\n"
            f"AuthorizedKeysFile {keys / 'authorized_keys'}\nPermitRootLogin prohibit-password\n"
            f"StrictModes no\nUsePAM no\nPidFile none\nSetEnv {fake}\n")
        (keys / "ssh_config").write_text(
            f"Host *\n  User root\n  IdentityFile {keys / 'client'}\n  IdentitiesOnly yes\n"
            f"  UserKnownHostsFile {keys / 'known_hosts'}\n  BatchMode yes\n")
        bin_folder = work / "bin"
        bin_folder.mkdir()
        (bin_folder / "ssh").write_text(f"#!/bin/sh\nexec /usr/bin/ssh -F {keys / 'ssh_config'} \"$@\"\n")
        (bin_folder / "ssh").chmod(0o755)
        (bin_folder / "velorin").symlink_to(os.environ["VELORIN_TOOL"])
        Path("/run/sshd").mkdir(mode=0o755, exist_ok=True)
        sshd = exporter.start(["/usr/sbin/sshd", "-D", "-e", "-f", str(keys / "sshd_config")], "sshd")
        processes.append(sshd)
        assert wait_until(lambda: "Server listening" in exporter.log("sshd"), 60, 0.1), exporter.log("sshd")

        coordinator = f"{exporter.address}:20408"
        processes.append(exporter.start([str(VENV / "labgrid/bin/labgrid-coordinator"), "-l", coordinator],
                                        "coordinator"))
        pdudaemon = json.loads(snippet("pdudaemon config"))
        pdudaemon["daemon"]["hostname"] = exporter.address
        pdudaemon["pdus"]["velorin"].update(retries=2, retrydelay=1)
        (exporter.work / "pdudaemon.conf").write_text(json.dumps(pdudaemon))
        exporter_env = dict(exporter.env, PATH=f"{bin_folder}:{os.environ['PATH']}")
        processes.append(exporter.start([str(VENV / "pdudaemon/bin/pdudaemon"), "--conf",
                                         str(exporter.work / "pdudaemon.conf"), "--logfile",
                                         str(exporter.work / "pdudaemon.log")], "pdudaemon-console", exporter_env))
        (exporter.work / "exporter.yaml").write_text(snippet("labgrid exporter") + "\n" +
                                                     snippet("labgrid exporter pdudaemon") + "\n")
        time.sleep(1)
        processes.append(exporter.start([str(VENV / "labgrid/bin/labgrid-exporter"), "-c", coordinator, "-n",
                                         "exporter-host", "--hostname", exporter.address,
                                         str(exporter.work / "exporter.yaml")], "exporter"))

        env = yaml.safe_load(snippet("labgrid remote env"))
        env["tools"]["velorin"] = os.environ["VELORIN_TOOL"]
        (work / "remote.yaml").write_text(yaml.safe_dump(env))
        env["targets"]["main"]["drivers"]["VelorinPowerDriver"]["timeout"] = 3
        (work / "remote-3s.yaml").write_text(yaml.safe_dump(env))
        client.env.update(LG_COORDINATOR=coordinator, PATH=f"{bin_folder}:{os.environ['PATH']}",
                          LG_SSH_CONNECT_TIMEOUT="120")
        lab = Lab(work, client, exporter, sshd)
        assert wait_until(lambda: "NetworkVelorinSwitch" in lab.client("resources").stdout and
                          "PDUDaemonPort" in lab.client("resources").stdout, 60, 0.1), exporter.log("exporter")
        for place, group in (("bench", "velorin"), ("bench-pdu", "velorin-pdu")):
            lab.client("-p", place, "create", check=True)
            lab.client("-p", place, "add-match", f"exporter-host/{group}/*", check=True)
            lab.client("-p", place, "acquire", check=True)
        yield lab
    finally:
        for process in processes:
            os.killpg(process.pid, signal.SIGCONT)
            os.killpg(process.pid, signal.SIGTERM)
        for process in processes:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait(10)
        # Whatever else runs in the namespaces (an ssh master left by a
        # client) was started by these tests.
        for host in (client, exporter):
            pids = subprocess.run(["ip", "netns", "pids", host.namespace], capture_output=True, text=True).stdout
            for pid in pids.split():
                os.kill(int(pid), signal.SIGKILL)
        subprocess.run(["ip", "netns", "del", client.namespace], check=False)
        subprocess.run(["ip", "netns", "del", exporter.namespace], check=False)
        shutil.rmtree(work / "keys", ignore_errors=True)


class Lab:
    def __init__(self, work, client_host, exporter_host, sshd):
        self.work, self.client_host, self.exporter_host, self.sshd = work, client_host, exporter_host, sshd

    def client(self, *args, check=False):
        done = subprocess.run(["ip", "netns", "exec", self.client_host.namespace,
                               str(VENV / "labgrid/bin/labgrid-client"), *args], env=self.client_host.env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=CLIENT_BOUND,
                              check=False)
        assert not check or done.returncode == 0, done
        return done

    def power(self, action, env="remote.yaml", place="bench"):
        options = ["-c", str(self.work / env)] if env else []
        return self.client(*options, "-p", place, "power", action)


def test_remote_place_changes_only_the_exporters_switch(lab):
    for action, states, shown in (("on", [1], None), ("get", [1], "on"), ("off", [1, 0], None), ("get", [1, 0], "off"),
                                  ("cycle", [1, 0, 0, 1], None), ("get", [1, 0, 0, 1], "on")):
        done = lab.power(action)
        assert done.returncode == 0, done
        assert lab.exporter_host.bus.set_states() == states, action
        if shown:
            assert done.stdout.splitlines()[-1] == f"power for place bench is {shown}"
    assert lab.exporter_host.bus.states() == [("1.1", "on\n")]
    assert lab.client_host.bus.set_states() == []
    assert lab.client_host.bus.states() == []


def test_missing_switch_raises_with_the_tools_status_and_text(lab):
    before = lab.exporter_host.bus.set_states()
    scenario = lab.exporter_host.work / "scenario"
    scenario.write_text("")
    try:
        for action in ("on", "off", "get"):
            done = lab.power(action)
            assert done.returncode != 0, done
            shown = f"VelorinError: {lab.exporter_host.address}: {os.environ['VELORIN_TOOL']} /N=AB12CD34 "
            assert shown in done.stderr, done.stderr
            assert FAILED in done.stderr, done.stderr
    finally:
        scenario.write_text("serial=AB12CD34\n")
    assert lab.exporter_host.bus.set_states() == before
    assert lab.client_host.bus.states() == []


def test_pdudaemon_port_needs_no_module(lab):
    before = lab.exporter_host.bus.set_states()
    for action, states in (("on", [1]), ("off", [1, 0]), ("cycle", [1, 0, 0, 1])):
        done = lab.client("-p", "bench-pdu", "power", action, *(["-t", "1"] if action == "cycle" else []))
        assert done.returncode == 0, done
        assert lab.exporter_host.bus.set_states() == before + states, action
    done = lab.client("-p", "bench-pdu", "power", "get")
    assert done.returncode != 0 and "does not support retrieving" in done.stderr, done
    # pdudaemon 1.1 answers a failure as one, so the client sees it.
    scenario = lab.exporter_host.work / "scenario"
    scenario.write_text("")
    try:
        done = lab.client("-p", "bench-pdu", "power", "on")
    finally:
        scenario.write_text("serial=AB12CD34\n")
    assert done.returncode != 0 and "500" in done.stderr, done
    assert lab.client_host.bus.states() == []


def test_unreachable_exporter_fails_within_the_timeout(lab):
    before = lab.exporter_host.bus.set_states()
    # A stopped sshd takes the connection and never answers: labgrid would
    # wait LG_SSH_CONNECT_TIMEOUT (120 s here) for it.
    os.kill(lab.sshd.pid, signal.SIGSTOP)
    try:
        started = time.monotonic()
        done = lab.power("on", env="remote-3s.yaml")
        took = time.monotonic() - started
    finally:
        os.kill(lab.sshd.pid, signal.SIGCONT)
    print(f"unreachable host: labgrid-client failed after {took:.1f} s (driver timeout 3 s)")
    assert done.returncode != 0, done
    assert f"{lab.exporter_host.address} could not be reached within 3 s" in done.stderr, done.stderr
    assert took < 60
    assert lab.exporter_host.bus.set_states() == before
    assert lab.client_host.bus.states() == []


def test_timed_out_command_ends_on_the_far_host(lab):
    before = lab.exporter_host.bus.set_states()
    # Another velorin command holds the far host's line: the tool there waits
    # its turn (up to 60 s) while the driver gives up after 3 s. Nothing of
    # the command may be left there to switch once the line moves.
    with lab.exporter_host.bus.line_held():
        started = time.monotonic()
        done = lab.power("off", env="remote-3s.yaml")
        took = time.monotonic() - started
        left = lab.exporter_host.tools()
    print(f"line held on the far host: labgrid-client failed after {took:.1f} s (driver timeout 3 s)")
    assert done.returncode != 0, done
    assert f"{lab.exporter_host.address}: {os.environ['VELORIN_TOOL']} /N=AB12CD34 /S=off: did not end within 3 s" \
        in done.stderr, done.stderr
    # A leftover has its turn now; it is given the time to take it.
    wait_until(lambda: not lab.exporter_host.tools(), 60, 0.1)
    assert lab.exporter_host.bus.set_states() == before, "the far tool switched after the driver gave up"
    assert left == [], "the tool was left running on the exporter's host"
    assert lab.client_host.bus.states() == []
