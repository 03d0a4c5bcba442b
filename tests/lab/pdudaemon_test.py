"""Debian's pdudaemon 0.0.8 and pdudaemon 1.1.1 (from the package index)
with docs/lab.md's config and the velorin driver, over HTTP on 127.0.0.1:
requests change the switch in order, and a switch that is not there is tried
again, logged with the tool's exit status and text, and answered as each
version answers a failure. The driver itself refuses bad settings at load
and ends a wrapper past its timeout with all it started.

Environment (ctest sets it): PYTHONPATH with the staged modules,
VELORIN_LAB_DOC, VELORIN_TOOL (the tool over the fake USB library),
VELORIN_SLOW_OFF (a wrapper), VELORIN_VENVS (the virtual environments)."""

import json
import os
import subprocess
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest
from velorin_testing import FakeBus, free_port, snippet

# pdudaemon by version, and how it answers a request whose driver failed.
VERSIONS = {
    "0.0.8": ("/usr/sbin/pdudaemon", (200, "OK - accepted request\n")),
    "1.1.1": (f"{os.environ['VELORIN_VENVS']}/pdudaemon/bin/pdudaemon", (500, "Invalid request\n")),
}

MISSING = ("velorin /N=EF56GH78 /S=on: exit status 3: Changing switch with serial number EF56GH78 failed! "
           "Error: Switch not installed or not available!")


@pytest.fixture(params=sorted(VERSIONS))
def version(request):
    return request.param


def config_file(work):
    config = json.loads(snippet("pdudaemon config"))
    config["pdus"]["velorin"]["retries"] = 2
    config["pdus"]["velorin"]["retrydelay"] = 1
    (work / "pdudaemon.conf").write_text(json.dumps(config))
    return config


@pytest.fixture
def daemon(tmp_path, version):
    """pdudaemon on a free port with docs/lab.md's config, its switch
    AB12CD34 (port 1) attached and off, EF56GH78 (port 2) absent. Its log
    is counted in --logfile: Debian's pymodbus configures logging when it is
    imported, which doubles what pdudaemon 1.x prints on its console."""
    config = config_file(tmp_path)
    port = free_port()
    config["daemon"]["port"] = port
    (tmp_path / "pdudaemon.conf").write_text(json.dumps(config))
    bus = FakeBus(tmp_path)
    env = bus.env(tool=os.environ["VELORIN_TOOL"])
    log = tmp_path / "log"
    log.touch()
    with open(tmp_path / "console", "w") as out:
        process = subprocess.Popen([VERSIONS[version][0], "--conf", str(tmp_path / "pdudaemon.conf"), "--logfile",
                                    str(log)], stdout=out, stderr=subprocess.STDOUT, env=env)
    try:
        for _ in range(100):
            if "Listening on" in log.read_text() or process.poll() is not None:
                break
            time.sleep(0.05)
        assert "Listening on" in log.read_text(), (tmp_path / "console").read_text()
        yield bus, port
    finally:
        process.kill()
        process.wait(10)


def get(port, request):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/power/control/{request}", timeout=60) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as answer:
        return answer.code, answer.read().decode()


def test_requests_switch_in_order(daemon):
    bus, port = daemon
    work = bus.folder
    # pdudaemon answers once the job is done; reboot is off, the delay, on.
    for request, states, kept in (("on?hostname=velorin&port=1", [1], "on"),
                                  ("off?alias=board1", [1, 0], "off"),
                                  ("reboot?hostname=velorin&port=1&delay=1", [1, 0, 0, 1], "on")):
        assert get(port, request) == (200, "OK - accepted request\n")
        assert bus.set_states() == states, request
        assert (work / "state" / "1.1").read_text() == kept + "\n"
    assert "Traceback" not in (work / "log").read_text()


def test_missing_switch_is_retried_logged_and_answered(daemon, version):
    bus, port = daemon
    work = bus.folder
    # pdudaemon answers only after both attempts and a pause after each
    # (retrydelay, which 0.0.8 does not read: it waits 5 s).
    assert get(port, "on?hostname=velorin&port=2") == VERSIONS[version][1]
    log = (work / "log").read_text()
    assert log.count(MISSING) == 2, log
    assert log.count("Failed to execute job: 2 on (attempts left 1)") == 1, log
    assert log.count("Failed to execute job: 2 on (attempts left 0)") == 1, log
    assert bus.set_states() == []


def test_drive_takes_retries_from_the_command_line_and_exits_0(tmp_path, version):
    # --drive ignores the config's retries and exits 0 whatever happened.
    config_file(tmp_path)
    bus = FakeBus(tmp_path)
    env = bus.env(tool=os.environ["VELORIN_TOOL"])
    log = tmp_path / "log"
    pause = ["--retry-delay", "1"] if version != "0.0.8" else []
    for port, request, missing in (("2", "on", 1), ("1", "off", 1)):
        done = subprocess.run([VERSIONS[version][0], "--conf", str(tmp_path / "pdudaemon.conf"), "--logfile", str(log),
                               "--drive", "--hostname", "velorin", "--port", port, "--request", request, "--retries",
                               "1", *pause], env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                              check=False)
        assert done.returncode == 0, done
        assert log.read_text().count(MISSING) == missing, log.read_text()
    assert bus.set_states() == [0]


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("settings, message", [
    ({"timeout": 0}, '"timeout"'), ({"timeout": -1}, '"timeout"'), ({"timeout": NAN}, '"timeout"'),
    ({"timeout": INF}, '"timeout"'), ({"timeout": "10s"}, '"timeout"'), ({"timeout": True}, '"timeout"'),
    ({"ports": {"1": "AB12CD34", "01": "EF56GH78"}}, '"ports" names port 1 twice'),
    ({"ports": {}}, '"ports"'), ({"ports": {"one": "AB12CD34"}}, "port 'one'"),
    ({"ports": {"1": "AB12CD34X"}}, "port 1"), ({"ports": {"1": 12345678}}, "port 1"),
    ({"ports": {"1": "\u00e9\u00e9\u00e9\u20ac"}}, "port 1 must be a quoted serial number of 1 to 8 bytes"),
    ({"command": ""}, '"command"'), ({"command": None}, '"command"'), ({"command": ["velorin"]}, '"command"'),
    ({"command": 7}, '"command"'),
])
def test_settings_refused_at_load(settings, message):
    from velorin_pdudaemon import VelorinDriver

    with pytest.raises(ValueError) as failure:
        VelorinDriver("lab", {"driver": "velorin", "ports": {"1": "AB12CD34"}, **settings})
    assert message in str(failure.value)
    assert str(failure.value).startswith("lab: ")


def test_timeout_reaches_the_run(monkeypatch):
    import velorin_tool
    from velorin_pdudaemon import VelorinDriver, VelorinError

    # What a time out does is velorin_tool's (tested there); the driver's
    # part is that its timeout is the one the tool runs with.
    limits = []

    def timed_out(_argv, timeout, _hangup=None):
        limits.append(timeout)
        raise velorin_tool.Timeout(b"")

    monkeypatch.setattr(velorin_tool, "run", timed_out)
    assert VelorinDriver("lab", {"ports": {"1": "AB12CD34"}}).timeout == velorin_tool.DEFAULT_TIMEOUT
    driver = VelorinDriver("lab", {"ports": {"1": "AB12CD34"}, "timeout": 1.5})
    with pytest.raises(VelorinError, match=r"^velorin /N=AB12CD34 /S=off: did not end within 1\.5 s$") as failure:
        driver.port_interaction("off", 1)
    assert failure.value.status is None
    assert len(limits) == 1 and 1.0 < limits[0] <= 1.5
