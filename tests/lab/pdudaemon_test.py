"""Debian's pdudaemon with docs/lab.md's config and the velorin driver, over
HTTP on 127.0.0.1: requests change the switch in order, and a switch that is
not there is tried again and logged with the tool's exit status and text.

Environment (ctest sets it): PYTHONPATH with the staged modules,
VELORIN_LAB_DOC, VELORIN_TOOL (the tool over the fake USB library)."""

import json
import os
import socket
import subprocess
import time
import urllib.request
from pathlib import Path

import pytest

MISSING = ("velorin /N=EF56GH78 /S=on: exit status 3: Changing switch with serial number EF56GH78 failed! "
           "Error: Switch not installed or not available!")


def snippet(marker):
    text = Path(os.environ["VELORIN_LAB_DOC"]).read_text()
    block = text.split(f"<!-- lab: {marker} -->\n", 1)[1]
    return block.split("\n", 1)[1].split("\n```\n", 1)[0]


@pytest.fixture
def daemon(tmp_path):
    """pdudaemon on a free port with docs/lab.md's config, its switch
    AB12CD34 (port 1) attached and off, EF56GH78 (port 2) absent."""
    config = json.loads(snippet("pdudaemon config"))
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config["daemon"]["port"] = port
    config["pdus"]["velorin"]["retries"] = 2
    (tmp_path / "pdudaemon.conf").write_text(json.dumps(config))
    (tmp_path / "scenario").write_text("serial=AB12CD34\n")
    (tmp_path / "state").mkdir()
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "velorin").symlink_to(os.environ["VELORIN_TOOL"])
    env = dict(os.environ, PATH=f"{tmp_path / 'bin'}:{os.environ['PATH']}", FAKEUSB_SCENARIO=str(tmp_path / "scenario"),
               FAKEUSB_STATE=str(tmp_path / "state"), FAKEUSB_LOG=str(tmp_path / "calls"))
    log = tmp_path / "log"
    with open(log, "w") as out:
        process = subprocess.Popen(["/usr/sbin/pdudaemon", "--conf", str(tmp_path / "pdudaemon.conf")], stdout=out,
                                   stderr=subprocess.STDOUT, env=env)
    try:
        for _ in range(100):
            if "Listening on" in log.read_text() or process.poll() is not None:
                break
            time.sleep(0.05)
        assert "Listening on" in log.read_text(), log.read_text()
        yield tmp_path, port
    finally:
        process.kill()
        process.wait(10)


def set_states(work):
    """The states the switch was set to, in order (1 on, 0 off)."""
    calls = (work / "calls").read_text().splitlines() if (work / "calls").exists() else []
    return [int(call.split()[4]) for call in calls if call.startswith("control 1.1 c0 1 ")]


def get(port, request):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/power/control/{request}", timeout=60) as answer:
        return answer.status, answer.read().decode()


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


def test_missing_switch_is_retried_and_logged(daemon):
    work, port = daemon
    # pdudaemon answers only after both attempts and a pause after each, so
    # the request is left open while the log shows both attempts.
    with socket.create_connection(("127.0.0.1", port)) as client:
        client.sendall(b"GET /power/control/on?hostname=velorin&port=2 HTTP/1.0\r\n\r\n")
        for _ in range(300):
            if "attempts left 0" in (work / "log").read_text():
                break
            time.sleep(0.05)
    log = (work / "log").read_text()
    assert log.count(MISSING) == 2, log
    assert "Failed to execute job: 2 on (attempts left 1)" in log
    assert "Failed to execute job: 2 on (attempts left 0)" in log
    assert set_states(work) == []
