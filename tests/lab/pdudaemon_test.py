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
import socket
import subprocess
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

# pdudaemon by version, and how it answers a request whose driver failed.
VERSIONS = {
    "0.0.8": ("/usr/sbin/pdudaemon", (200, "OK - accepted request\n")),
    "1.1.1": (f"{os.environ['VELORIN_VENVS']}/pdudaemon/bin/pdudaemon", (500, "Invalid request\n")),
}

MISSING = ("velorin /N=EF56GH78 /S=on: exit status 3: Changing switch with serial number EF56GH78 failed! "
           "Error: Switch not installed or not available!")


def snippet(marker):
    text = Path(os.environ["VELORIN_LAB_DOC"]).read_text()
    block = text.split(f"<!-- lab: {marker} -->\n", 1)[1]
    return block.split("\n", 1)[1].split("\n```\n", 1)[0]


@pytest.fixture(params=sorted(VERSIONS))
def version(request):
    return request.param


def fake_bus(work):
    """The environment of a host with switch AB12CD34, off, and `velorin`
    on PATH."""
    (work / "scenario").write_text("serial=AB12CD34\n")
    (work / "state").mkdir()
    (work / "bin").mkdir()
    (work / "bin" / "velorin").symlink_to(os.environ["VELORIN_TOOL"])
    return dict(os.environ, PATH=f"{work / 'bin'}:{os.environ['PATH']}", FAKEUSB_SCENARIO=str(work / "scenario"),
                FAKEUSB_STATE=str(work / "state"), FAKEUSB_LOG=str(work / "calls"))


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
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config["daemon"]["port"] = port
    (tmp_path / "pdudaemon.conf").write_text(json.dumps(config))
    env = fake_bus(tmp_path)
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
        yield tmp_path, port
    finally:
        process.kill()
        process.wait(10)


def set_states(work):
    """The states the switch was set to, in order (1 on, 0 off)."""
    calls = (work / "calls").read_text().splitlines() if (work / "calls").exists() else []
    return [int(call.split()[4]) for call in calls if call.startswith("control 1.1 c0 1 ")]


def get(port, request):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/power/control/{request}", timeout=60) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as answer:
        return answer.code, answer.read().decode()


def test_requests_switch_in_order(daemon):
    work, port = daemon
    # pdudaemon answers once the job is done; reboot is off, the delay, on.
    for request, states, kept in (("on?hostname=velorin&port=1", [1], "on"),
                                  ("off?alias=board1", [1, 0], "off"),
                                  ("reboot?hostname=velorin&port=1&delay=1", [1, 0, 0, 1], "on")):
        assert get(port, request) == (200, "OK - accepted request\n")
        assert set_states(work) == states, request
        assert (work / "state" / "1.1").read_text() == kept + "\n"
    assert "Traceback" not in (work / "log").read_text()


def test_missing_switch_is_retried_logged_and_answered(daemon, version):
    work, port = daemon
    # pdudaemon answers only after both attempts and a pause after each
    # (retrydelay, which 0.0.8 does not read: it waits 5 s).
    assert get(port, "on?hostname=velorin&port=2") == VERSIONS[version][1]
    log = (work / "log").read_text()
    assert log.count(MISSING) == 2, log
    assert log.count("Failed to execute job: 2 on (attempts left 1)") == 1, log
    assert log.count("Failed to execute job: 2 on (attempts left 0)") == 1, log
    assert set_states(work) == []


def test_drive_takes_retries_from_the_command_line_and_exits_0(tmp_path, version):
    # --drive ignores the config's retries and exits 0 whatever happened.
    config_file(tmp_path)
    env = fake_bus(tmp_path)
    log = tmp_path / "log"
    pause = ["--retry-delay", "1"] if version != "0.0.8" else []
    for port, request, missing in (("2", "on", 1), ("1", "off", 1)):
        done = subprocess.run([VERSIONS[version][0], "--conf", str(tmp_path / "pdudaemon.conf"), "--logfile", str(log),
                               "--drive", "--hostname", "velorin", "--port", port, "--request", request, "--retries",
                               "1", *pause], env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                              check=False)
        assert done.returncode == 0, done
        assert log.read_text().count(MISSING) == missing, log.read_text()
    assert set_states(tmp_path) == [0]


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("settings, message", [
    ({"timeout": 0}, '"timeout"'), ({"timeout": -1}, '"timeout"'), ({"timeout": NAN}, '"timeout"'),
    ({"timeout": INF}, '"timeout"'), ({"timeout": "10s"}, '"timeout"'), ({"timeout": True}, '"timeout"'),
    ({"ports": {"1": "AB12CD34", "01": "EF56GH78"}}, '"ports" names port 1 twice'),
    ({"ports": {}}, '"ports"'), ({"ports": {"one": "AB12CD34"}}, "port 'one'"),
    ({"ports": {"1": "AB12CD34X"}}, "port 1"), ({"ports": {"1": 12345678}}, "port 1"),
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
