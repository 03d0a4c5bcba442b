"""Running the velorin tool for the labgrid and pdudaemon drivers: the serial
number rule both check, a run with a time limit, and the report of a run.

The tool runs in a session (and so a process group) of its own, without a
shell, its stderr merged into its stdout. When it runs past the limit the
whole group is ended, not only the process started: behind a wrapper (a
script that sets the environment, sudo) the real tool is a child, and a
leftover "off" that ends after a later "on" would leave the switch off.

On another host (through ssh) the tool runs under a watch of the far host's
shell, which ends everything the command started there when the driver hangs
up (ssh's standard input ends) or, should the connection hang, shortly after
the driver's time is up. ssh without a terminal passes no signal on, so
without it a tool waiting in line there would still switch once its turn
came, after the driver had given up.
"""

import math
import os
import selectors
import shlex
import signal
import subprocess
import time

__all__ = ["DEFAULT_TIMEOUT", "VelorinError", "Timeout", "check_serial", "check_timeout", "far_command", "run",
           "run_reported"]

# The tool waits in line at a switch for up to 60 s behind other velorin
# commands and then holds it for about 10 s at worst. A driver's default
# limit is longer, so that it gives up on a tool that hangs, never on one
# waiting for its turn: then the tool's own answer (exit status 3) is the
# one reported.
DEFAULT_TIMEOUT = 80.0
# After SIGTERM the group has this long to end before SIGKILL: sudo passes
# SIGTERM on to its command, while SIGKILL would leave the command behind.
TERM_GRACE = 1.0
# How long to wait for the killed group to be reaped; a process stuck in the
# kernel is left behind rather than stalling the caller.
REAP_BOUND = 5.0
# A tool's whole answer is a few lines; more than this is not kept.
OUTPUT_LIMIT = 64 * 1024
# After hanging up on a far host, how long ssh has to report that the
# command there has ended, before it is ended here all the same.
HANGUP_GRACE = 5.0
# A far host ends the command by itself this many seconds after the time
# that was left when it was sent (counted from its own start): for a
# connection that hangs, so that the hang-up never arrives. Less than
# HANGUP_GRACE, so that it has ended before the driver reports the time out.
FAR_MARGIN = 2


class VelorinError(Exception):
    """The tool failed. status: its exit status (None when it did not end in
    time, or did not run); stdout: the lines it printed; the message: the
    command, the status and the text on one line."""

    def __init__(self, msg, status=None, stdout=None):
        super().__init__(msg)
        self.msg = msg
        self.status = status
        self.stdout = stdout if stdout is not None else []

    def __str__(self):
        return self.msg


class Timeout(Exception):
    """The tool did not end in time. output: what it printed until then."""

    def __init__(self, output):
        super().__init__("timed out")
        self.output = output


def check_serial(name, value):
    """A serial number as the tool takes it. The tool reads at most 8 bytes
    after /N=, so a longer one would silently name another switch; YAML and
    JSON turn an unquoted 12345678 into a number (and YAML 00012345 into
    another one), so only text is taken. Returns it; raises ValueError
    naming the key."""
    if not isinstance(value, str) or not 1 <= len(value.encode()) <= 8:
        raise ValueError(f"{name} must be a quoted serial number of 1 to 8 bytes, not {value!r}")
    return value


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


def far_command(argv, limit):
    """The line for a far host's shell that runs argv and ends everything it
    started (its process group, which sshd gives each command) when the
    line's standard input ends or after limit whole seconds, whichever
    comes first. The exit status and output are argv's own. Two watchers
    wait in the background, their output discarded so that ssh ends with the
    tool; they ignore SIGTERM so that each can follow it with SIGKILL."""
    stop = "kill -TERM 0; sleep 1; kill -KILL 0"
    return (f"exec 3<&0 </dev/null; "
            f"(trap '' TERM; cat <&3; {stop}) >/dev/null 2>&1 & "
            f"(trap '' TERM; sleep {int(limit)}; {stop}) >/dev/null 2>&1 & "
            f"exec 3<&- {shlex.join(argv)}")


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


def _give_up(process, hangup):
    """Past the limit: hangs up first where asked (closes the command's
    standard input, and gives it hangup seconds to end by itself), then ends
    what is left of the group."""
    if hangup is not None:
        process.stdin.close()
        _ended(process, hangup)
    _end_group(process)


def run(argv, timeout, hangup=None):
    """Runs argv; returns (exit status, output bytes) or raises Timeout.

    The limit covers the output too: a child that keeps the pipe open after
    the tool ended is ended with the group when the time is up. With hangup
    (seconds) the command's standard input is a pipe held open while it runs
    and closed first when the time is up (see far_command); otherwise it is
    /dev/null."""
    deadline = time.monotonic() + timeout
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL if hangup is None else subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    output = bytearray()
    # Not "with process": its exit waits for the process without a bound.
    try:
        with process.stdout, selectors.DefaultSelector() as waiting:
            waiting.register(process.stdout, selectors.EVENT_READ)
            ended = False
            while not ended:
                left = deadline - time.monotonic()
                if left <= 0 or not waiting.select(left):
                    _give_up(process, hangup)
                    raise Timeout(bytes(output))
                piece = os.read(process.stdout.fileno(), 4096)
                ended = not piece
                output += piece[:max(0, OUTPUT_LIMIT - len(output))]
            if not _ended(process, max(0.0, deadline - time.monotonic())):
                _give_up(process, hangup)
                raise Timeout(bytes(output))
            # The tool ended and its pipe is closed; what it left behind in
            # its group goes with it, before the leader is reaped.
            _signal_group(process, signal.SIGKILL)
            status = process.wait()
    finally:
        if process.stdin:
            process.stdin.close()
    return status, bytes(output)


def run_reported(argv, shown, timeout, *, deadline=None, prefix=None, error=VelorinError):
    """Runs the tool's argv within timeout seconds (or until deadline, a
    time.monotonic() value, when given) and returns its text. With prefix
    (ssh's command line up to the far command) it runs on that host, as
    far_command says. Raises error (VelorinError or a subclass), its
    message starting with shown, when the tool did not end in time or
    exited with a status other than 0."""
    if deadline is None:
        deadline = time.monotonic() + timeout
    left = max(0.0, deadline - time.monotonic())
    command, hangup = argv, None
    if prefix is not None:
        command = prefix + [far_command(argv, math.ceil(left) + FAR_MARGIN)]
        hangup = HANGUP_GRACE
    try:
        status, output = run(command, left, hangup)
    except Timeout as timed_out:
        lines = [line for line in timed_out.output.decode(errors="replace").splitlines() if line]
        raise error(f"{shown}: did not end within {timeout:g} s", None, lines) from None
    text = output.decode(errors="replace")
    lines = [line for line in text.splitlines() if line]
    if status != 0:
        raise error(f"{shown}: exit status {status}: {' '.join(lines)}", status, lines)
    return text
