"""velorin_tool, which both drivers run the tool with: past the time limit
nothing the command started acts later, here (a wrapper's child) or on a far
host, which is played by a session of its own that, as ssh, passes the
standard input on but no signal. The drivers' tests show only that their
timeouts reach it.

Environment (ctest sets it): PYTHONPATH with the staged modules,
VELORIN_TOOL (the tool over the fake USB library), VELORIN_SLOW_OFF (a
wrapper whose "off" starts after 2 s)."""

import fcntl
import os
import time
from pathlib import Path

import pytest

import velorin_tool

SERIAL = "TL000001"
# A far host: ssh's part there runs in a session of its own.
FAR = ["setsid", "-w", "sh", "-c"]


class Switch:
    """Switch SERIAL on the fake USB bus, with the node its commands wait in
    line at."""

    def __init__(self, folder, monkeypatch):
        (folder / "scenario").write_text(f"serial={SERIAL}\n")
        (folder / "state").mkdir()
        self.node = folder / "usb" / "001" / "001"
        self.node.parent.mkdir(parents=True)
        self.node.touch(mode=0o600)
        self.calls = folder / "calls"
        for key, value in (("FAKEUSB_SCENARIO", folder / "scenario"), ("FAKEUSB_STATE", folder / "state"),
                           ("FAKEUSB_LOG", self.calls), ("USB_DEVFS_PATH", folder / "usb")):
            monkeypatch.setenv(key, str(value))

    def set_states(self):
        calls = self.calls.read_text().splitlines() if self.calls.exists() else []
        return [int(call.split()[4]) for call in calls if call.startswith("control 1.1 c0 1 ")]


@pytest.fixture
def switch(tmp_path, monkeypatch):
    return Switch(tmp_path, monkeypatch)


def running():
    """The processes run with /N=SERIAL as an argument of their own."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            if f"/N={SERIAL}".encode() in (entry / "cmdline").read_bytes().split(b"\0"):
                found.append(entry.name)
        except OSError:
            pass
    return found


def wait_until_gone(bound=60):
    until = time.monotonic() + bound
    while running() and time.monotonic() < until:
        time.sleep(0.1)
    return running()


def tool(request, wrapper="VELORIN_TOOL"):
    return [os.environ[wrapper], f"/N={SERIAL}", f"/S={request}"]


@pytest.mark.parametrize("where", ["here", "far"])
def test_timeout_ends_the_wrapper_and_its_child(switch, where):
    # The wrapper's "off" runs past the limit; the "on" after it must be the
    # last word, so the off still to come has to go with the wrapper.
    prefix = FAR if where == "far" else None
    with pytest.raises(velorin_tool.VelorinError, match=r"^slow off: did not end within 1 s$") as failure:
        velorin_tool.run_reported(tool("off", "VELORIN_SLOW_OFF"), "slow off", 1, prefix=prefix)
    assert failure.value.status is None
    velorin_tool.run_reported(tool("on"), "on", 20, prefix=prefix)
    # A leftover "off" would come now, and is given the time to.
    assert wait_until_gone() == []
    assert switch.set_states() == [1]


@pytest.mark.parametrize("where", ["here", "far"])
def test_timeout_ends_a_tool_waiting_in_line(switch, where):
    prefix = FAR if where == "far" else None
    with open(switch.node, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        with pytest.raises(velorin_tool.VelorinError, match="did not end within 1 s"):
            velorin_tool.run_reported(tool("off"), "off", 1, prefix=prefix)
    # The line moves: a leftover would switch now, and is given the time to.
    assert wait_until_gone() == []
    assert switch.set_states() == []


def test_far_host_ends_the_command_by_itself_when_the_connection_hangs(switch):
    # The driver never hangs up (its limit is far off), as when the
    # connection hangs; the far host ends the tool in line after its own 1 s.
    with open(switch.node, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        status, _ = velorin_tool.run(FAR + [velorin_tool.far_command(tool("off"), 1)], 50, hangup=1)
    assert status != 0
    assert wait_until_gone() == []
    assert switch.set_states() == []


@pytest.mark.parametrize("argv, status, output", [
    (["sh", "-c", "echo 'a b'; exit 3"], 3, b"a b\n"),
    (["sh", "-c", "echo out; echo err >&2"], 0, b"out\nerr\n"),
    (["printf", "[%s]", "two words", "it's", "$(id)", "a;b", "\\", "é"], 0,
     "[two words][it's][$(id)][a;b][\\][é]".encode()),
])
def test_far_command_keeps_the_status_output_and_words(argv, status, output):
    assert velorin_tool.run(FAR + [velorin_tool.far_command(argv, 30)], 20, hangup=1) == (status, output)


@pytest.mark.parametrize("value, taken", [
    ("AB12CD34", True), ("A", True), ("\u00e9\u00e9\u20ac", True), ("", False), ("AB12CD34X", False),
    ("\u00e9\u00e9\u00e9\u20ac", False), (12345678, False), (None, False), (b"AB12CD34", False),
])
def test_serial_numbers_of_1_to_8_bytes(value, taken):
    # The tool reads 8 bytes after /N=, not 8 characters (an e with an
    # accent is two, a euro sign three).
    if taken:
        assert velorin_tool.check_serial("serial", value) == value
    else:
        with pytest.raises(ValueError, match=r"^lab: port 1 must be a quoted serial number of 1 to 8 bytes, not "):
            velorin_tool.check_serial("lab: port 1", value)
