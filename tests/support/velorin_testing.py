"""What the Python tests share: the fake USB bus that a run of the tool sees
(its scenario, the states it keeps from one run to the next and the log of
the requests it got), waiting for a condition, a free port, and the blocks
that the docs quote and the tests run."""

import contextlib
import fcntl
import os
import socket
import time
from pathlib import Path

# Generous bounds: the machine is shared.
WAIT = 10


class FakeBus:
    """One host's fake USB bus in FOLDER: the fake library's scenario, its
    state folder and its log. Switch AB12CD34, off, unless told otherwise.
    With line, the switch at 1.1 has a node where velorin commands wait in
    line for it (USB_DEVFS_PATH's layout; only root may use it)."""

    def __init__(self, folder, scenario="serial=AB12CD34\n", line=False):
        self.folder = Path(folder)
        (self.folder / "state").mkdir(parents=True, exist_ok=True)
        self.scenario = self.folder / "scenario"
        self.scenario.write_bytes(scenario if isinstance(scenario, bytes) else scenario.encode())
        self.log = self.folder / "calls"
        self.node = self.folder / "usb" / "001" / "001" if line else None
        if line:
            self.node.parent.mkdir(parents=True, exist_ok=True)
            self.node.touch(mode=0o600)

    def variables(self):
        """The fake library's environment variables."""
        variables = {"FAKEUSB_SCENARIO": str(self.scenario), "FAKEUSB_STATE": str(self.folder / "state"),
                     "FAKEUSB_LOG": str(self.log)}
        if self.node:
            variables["USB_DEVFS_PATH"] = str(self.folder / "usb")
        return variables

    @contextlib.contextmanager
    def line_held(self):
        """Holds the line at the switch at 1.1 as a velorin command using it
        does, so that the others wait."""
        with open(self.node, "rb") as node:
            fcntl.flock(node, fcntl.LOCK_EX | fcntl.LOCK_NB)
            yield

    def env(self, tool=None, **more):
        """This process's environment with the fake bus; with TOOL, also a
        `velorin` on PATH that is TOOL."""
        env = dict(os.environ, **self.variables(), **more)
        if tool is not None:
            folder = self.folder / "bin"
            folder.mkdir(exist_ok=True)
            if not (folder / "velorin").exists():
                (folder / "velorin").symlink_to(tool)
            env["PATH"] = f"{folder}:{env['PATH']}"
        return env

    def unplug(self):
        self.scenario.write_text("")

    def calls(self):
        return self.log.read_text().splitlines() if self.log.exists() else []

    def set_states(self, device="1.1"):
        """The states the switch at DEVICE was set to, in order (1 on, 0 off)."""
        return [int(call.split()[4]) for call in self.calls() if call.startswith(f"control {device} c0 1 ")]

    def on(self, device="1.1"):
        return (self.folder / "state" / device).read_text() == "on\n"

    def states(self):
        """Each switch's state file and its text; the fake library's claim
        files beside them are no states."""
        files = sorted(file for file in (self.folder / "state").iterdir() if file.suffix != ".claim")
        return [(file.name, file.read_text()) for file in files]


def snippet(marker, doc=None):
    """The code block after `<!-- lab: MARKER -->` in DOC (VELORIN_LAB_DOC)."""
    text = Path(doc or os.environ["VELORIN_LAB_DOC"]).read_text()
    block = text.split(f"<!-- lab: {marker} -->\n", 1)[1]
    return block.split("\n", 1)[1].split("\n```\n", 1)[0]


def wait_until(check, timeout=WAIT, step=0.05):
    """CHECK's first true value within TIMEOUT seconds, else its last value."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(step)
    return check()


def running_with(argument, pids=None):
    """The processes (of PIDS, by default all) that have ARGUMENT as an
    argument of their own, such as "/N=AB12CD34"."""
    found = []
    for pid in pids if pids is not None else [entry.name for entry in Path("/proc").iterdir()]:
        try:
            if argument.encode() in Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0"):
                found.append(int(pid))
        except (OSError, ValueError):
            pass
    return found


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
