"""Running the velorin tool with a time limit, for the labgrid and pdudaemon
drivers.

The tool runs in a session (and so a process group) of its own, without a
shell, its stderr merged into its stdout. When it runs past the limit the
whole group is ended, not only the process started: behind a wrapper (a
script that sets the environment, sudo) the real tool is a child, and a
leftover "off" that ends after a later "on" would leave the switch off.
"""

import math
import os
import selectors
import signal
import subprocess
import time

__all__ = ["Timeout", "run", "check_timeout"]

# After SIGTERM the group has this long to end before SIGKILL: sudo passes
# SIGTERM on to its command, while SIGKILL would leave the command behind.
TERM_GRACE = 1.0
# How long to wait for the killed group to be reaped; a process stuck in the
# kernel is left behind rather than stalling the caller.
REAP_BOUND = 5.0
# A tool's whole answer is a few lines; more than this is not kept.
OUTPUT_LIMIT = 64 * 1024


class Timeout(Exception):
    """The tool did not end in time. output: what it printed until then."""

    def __init__(self, output):
        super().__init__("timed out")
        self.output = output


def check_timeout(name, value):
    """A time limit in seconds: a finite number above 0. Returns it as float;
    raises ValueError naming the key."""
    if isinstance(value, bool):
        raise ValueError(f"{name} must be a number of seconds above 0, not {value!r}")
    try:
        seconds = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number of seconds above 0, not {value!r}") from None
    if not math.isfinite(seconds) or seconds <= 0:
        raise ValueError(f"{name} must be a finite number of seconds above 0, not {value!r}")
    return seconds


def _signal_group(process, signum):
    try:
        os.killpg(process.pid, signum)
    except ProcessLookupError:
        pass


def _ended(process, bound):
    """Waits up to bound seconds for the leader to end, without reaping it:
    while it is a zombie its id, and so its group's, cannot be reused."""
    until = time.monotonic() + bound
    while True:
        try:
            if os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None:
                return True
        except ChildProcessError:
            return True
        if time.monotonic() >= until:
            return False
        time.sleep(0.05)


def _end_group(process):
    _signal_group(process, signal.SIGTERM)
    _ended(process, TERM_GRACE)
    _signal_group(process, signal.SIGKILL)
    try:
        process.wait(REAP_BOUND)
    except subprocess.TimeoutExpired:
        pass


def run(argv, timeout):
    """Runs argv; returns (exit status, output bytes) or raises Timeout.

    The limit covers the output too: a child that keeps the pipe open after
    the tool ended is ended with the group when the time is up."""
    deadline = time.monotonic() + timeout
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True)
    output = bytearray()
    # Not "with process": its exit waits for the process without a bound.
    with process.stdout, selectors.DefaultSelector() as waiting:
        waiting.register(process.stdout, selectors.EVENT_READ)
        ended = False
        while not ended:
            left = deadline - time.monotonic()
            if left <= 0 or not waiting.select(left):
                _end_group(process)
                raise Timeout(bytes(output))
            piece = os.read(process.stdout.fileno(), 4096)
            ended = not piece
            output += piece[:max(0, OUTPUT_LIMIT - len(output))]
        if not _ended(process, max(0.0, deadline - time.monotonic())):
            _end_group(process)
            raise Timeout(bytes(output))
        # The tool ended and its pipe is closed; what it left behind in its
        # group goes with it, before the leader is reaped.
        _signal_group(process, signal.SIGKILL)
        status = process.wait()
    return status, bytes(output)
