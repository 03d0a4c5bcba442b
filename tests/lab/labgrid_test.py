"""labgrid's pytest plugin with docs/lab.md's env files: VelorinPowerDriver
and ExternalPowerDriver on, off, cycle (and get) follow the switch, and an
unplugged switch raises with the tool's exit status 3.

Run as a script (ctest does): it writes each env file from docs/lab.md, with
/usr/bin/velorin replaced by VELORIN_TOOL (the tool over the fake USB
library), and runs `python3 -m pytest --lg-env ENV` on this file's tests for
that env. PYTHONPATH holds the staged modules."""

import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from velorin_testing import FakeBus, snippet

FAILED = ["Changing switch with serial number AB12CD34 failed!", "Error: Switch not installed or not available!"]


class Switch(FakeBus):
    """docs/lab.md's switch AB12CD34 on the fake USB bus, off at first. Its
    name is what the tool reports, and has an "on" in it."""

    def __init__(self, folder, monkeypatch):
        super().__init__(folder, "serial=AB12CD34 kind=2 name=Bench\\x20monitor\n")
        for key, value in self.variables().items():
            monkeypatch.setenv(key, value)


@pytest.fixture
def switch(tmp_path, monkeypatch):
    return Switch(tmp_path, monkeypatch)


def test_driver_follows_the_switch(target, switch):
    power = target.get_driver("PowerProtocol")
    assert type(power).__name__ == "VelorinPowerDriver"
    assert power.get() is False
    for action, on, states in (("on", True, [1]), ("off", False, [1, 0]), ("cycle", True, [1, 0, 0, 1])):
        getattr(power, action)()
        assert switch.set_states() == states, action
        assert switch.on() is on
        assert power.get() is on


def test_driver_raises_for_an_unplugged_switch(target, switch):
    from velorin_labgrid import VelorinError

    power = target.get_driver("PowerProtocol")
    switch.unplug()
    for action in (power.on, power.off, power.cycle, power.get):
        with pytest.raises(VelorinError) as failure:
            action()
        assert failure.value.status == 3
        assert str(failure.value).endswith("exit status 3: " + " ".join(FAILED))
        assert failure.value.stdout == FAILED
    assert switch.set_states() == []


@pytest.mark.parametrize("key, value", [
    ("timeout", 0), ("timeout", -1), ("timeout", float("nan")), ("timeout", float("inf")), ("timeout", "soon"),
    ("delay", float("inf")), ("delay", float("nan")), ("delay", -1), ("delay", None),
])
def test_settings_refused_at_load(key, value):
    from labgrid import Target
    from velorin_labgrid import VelorinPowerDriver, VelorinSwitch

    target = Target("load")
    VelorinSwitch(target, None, serial="AB12CD34")
    with pytest.raises((ValueError, TypeError), match=f"'?{key}'?"):
        VelorinPowerDriver(target, None, **{key: value})


@pytest.mark.parametrize("host, serial, key", [
    ("-oProxyCommand=touch /tmp/x", "AB12CD34", "host"), ("lab host", "AB12CD34", "host"),
    ("a;b", "AB12CD34", "host"), ("", "AB12CD34", "host"), (7, "AB12CD34", "host"),
    ("lab1", "AB12CD34X", "serial"), ("lab1", 12345678, "serial"), ("lab1", "", "serial"),
    ("lab1", "\u00e9\u00e9\u00e9\u20ac", "serial"),
])
def test_network_switch_refuses_what_is_not_a_host_and_serial(host, serial, key):
    from labgrid import Target
    from velorin_labgrid import NetworkVelorinSwitch

    with pytest.raises(ValueError, match=f"^{key} must be"):
        NetworkVelorinSwitch(Target("load"), None, host=host, serial=serial)
    for host in ("root@lab-1.example", "10.0.0.2", "::1", "fe80::1%eth0"):
        assert NetworkVelorinSwitch(Target("load"), None, host=host, serial="AB12CD34").host == host


def test_timeout_reaches_the_run(target, monkeypatch):
    import velorin_tool
    from velorin_labgrid import VelorinError

    # What a time out does is velorin_tool's (tested there); the driver's
    # part is that its timeout is the one the tool runs with.
    limits = []

    def timed_out(_argv, timeout, _hangup=None):
        limits.append(timeout)
        raise velorin_tool.Timeout(b"half a line")

    monkeypatch.setattr(velorin_tool, "run", timed_out)
    power = target.get_driver("PowerProtocol")
    assert power.timeout == velorin_tool.DEFAULT_TIMEOUT
    power.timeout = 1.5
    with pytest.raises(VelorinError, match=r"/S=off: did not end within 1\.5 s$") as failure:
        power.off()
    assert failure.value.status is None
    assert failure.value.stdout == ["half a line"]
    assert len(limits) == 1 and 1.0 < limits[0] <= 1.5


def test_external_driver_switches(target, switch):
    power = target.get_driver("PowerProtocol")
    assert type(power).__name__ == "ExternalPowerDriver"
    for action, on, states in (("on", True, [1]), ("off", False, [1, 0]), ("cycle", True, [1, 0, 0, 1])):
        getattr(power, action)()
        assert switch.set_states() == states, action
        assert switch.on() is on
    switch.unplug()
    with pytest.raises(subprocess.CalledProcessError) as failure:
        power.off()
    assert failure.value.returncode == 3
    assert FAILED[0].encode() in failure.value.output


if __name__ == "__main__":
    status = 0
    with tempfile.TemporaryDirectory() as work:
        for marker, tests in (("labgrid env", "not external"), ("labgrid external", "external")):
            env = Path(work) / (marker.replace(" ", "-") + ".yaml")
            env.write_text(snippet(marker).replace("/usr/bin/velorin", os.environ["VELORIN_TOOL"]))
            print(f"+ pytest --lg-env {env.name} -k '{tests}'", flush=True)
            status |= subprocess.call([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--lg-env",
                                       str(env), "-k", tests, __file__])
    sys.exit(status)
