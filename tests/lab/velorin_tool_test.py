"""velorin_tool, which both drivers run the tool with: past the time limit
nothing the command started acts later, here (a wrapper's child) or on a far
host, which is played by a session of its own that, as ssh, passes the
standard input on but no signal. The drivers' tests show only that their
timeouts reach it.

Environment (ctest sets it): PYTHONPATH with the staged modules,
VELORIN_TOOL (the tool over the fake USB library), VELORIN_SLOW_OFF (a
wrapper whose "off" starts after 2 s)."""

import os

import pytest
import velorin_tool
from velorin_testing import FakeBus, running_with, wait_until

SERIAL = "TL000001"
# A far host: ssh's part there runs in a session of its own.
FAR = ["setsid", "-w", "sh", "-c"]


@pytest.fixture
def switch(tmp_path, monkeypatch):
    """Switch SERIAL on the fake USB bus, the tool's environment."""
    bus = FakeBus(tmp_path, f"serial={SERIAL}\n", line=True)
    for key, value in bus.variables().items():
        monkeypatch.setenv(key, value)
    return bus


def none_left():
    """Waits for the processes run with /N=SERIAL to end: a leftover there
    is given the time to switch. True when none is left."""
    return wait_until(lambda: not running_with(f"/N={SERIAL}"), 60, 0.1)


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
    assert none_left()
    assert switch.set_states() == [1]


@pytest.mark.parametrize("where", ["here", "far"])
def test_timeout_ends_a_tool_waiting_in_line(switch, where):
    prefix = FAR if where == "far" else None
    with switch.line_held(), pytest.raises(velorin_tool.VelorinError, match="did not end within 1 s"):
        velorin_tool.run_reported(tool("off"), "off", 1, prefix=prefix)
    # The line moves: a leftover would switch now.
    assert none_left()
    assert switch.set_states() == []


def test_far_host_ends_the_command_by_itself_when_the_connection_hangs(switch):
    # The driver never hangs up (its limit is far off), as when the
    # connection hangs; the far host ends the tool in line after its own 1 s.
    with switch.line_held():
        status, _ = velorin_tool.run(FAR + [velorin_tool.far_command(tool("off"), 1)], 50, hangup=1)
    assert status != 0
    assert none_left()
    assert switch.set_states() == []


@pytest.mark.parametrize("argv, status, output", [
    (["sh", "-c", "echo 'a b'; exit 3"], 3, b"a b\n"),
    (["sh", "-c", "echo out; echo err >&2"], 0, b"out\nerr\n"),
    (["printf", "[%s]", "two words", "it's", "$(id)", "a;b", "\\", "é"], 0,
     "[two words][it's][$(id)][a;b][\\][é]".encode()),
])
def test_far_command_keeps_the_status_output_and_words(argv, status, output):
    assert velorin_tool.run(FAR + [velorin_tool.far_command(argv, 30)], 20, hangup=1) == (status, output)
