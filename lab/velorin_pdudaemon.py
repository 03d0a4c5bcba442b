"""pdudaemon driver for velorin USB switches, registered as the driver
``velorin`` through the entry point group ``pdudaemon.driver``.

One entry of pdudaemon.conf's "pdus" stands for any number of switches:

    "lab-switches": {"driver": "velorin", "ports": {"1": "AB12CD34", "2": "EF56GH78"}}

Keys: "ports" maps pdudaemon's port numbers to serial numbers; "command" is
the tool (default: velorin on PATH); "timeout" the seconds one run may take
(default 10). The tool runs without a shell. Any failure raises VelorinError
with the exit status and the tool's own text, so pdudaemon logs it and tries
again ("retries" times, pdudaemon's own key).
"""

import logging
import shlex
import subprocess

from pdudaemon.drivers.driver import PDUDriver

log = logging.getLogger("pdud.drivers.velorin")


class VelorinError(Exception):
    """The tool failed. status: its exit status (None when it did not end in
    time or the entry has no such port); output: its text."""

    def __init__(self, message, status=None, output=""):
        super().__init__(message)
        self.status = status
        self.output = output


def _port(value):
    try:
        return int(value)
    except (TypeError, ValueError):
        raise ValueError(f"port {value!r} is not a whole number") from None


def _serial(port, value):
    # The tool reads at most 8 bytes after /N=; a longer serial number would
    # silently name another switch.
    if not isinstance(value, str) or not 1 <= len(value.encode()) <= 8:
        raise ValueError(f"port {port}: the serial number must be a string of 1 to 8 bytes, not {value!r}")
    return value


class VelorinDriver(PDUDriver):
    def __init__(self, hostname, settings):
        super().__init__()
        self.hostname = hostname
        ports = settings.get("ports")
        if not isinstance(ports, dict) or not ports:
            raise ValueError(f"{hostname}: \"ports\" must map port numbers to serial numbers")
        self.ports = {_port(port): _serial(port, serial) for port, serial in ports.items()}
        self.command = settings.get("command", "velorin")
        self.timeout = float(settings.get("timeout", 10))

    @classmethod
    def accepts(cls, drivername):
        return drivername == "velorin"

    def port_interaction(self, command, port_number):
        serial = self.ports.get(_port(port_number))
        if serial is None:
            raise VelorinError(f"PDU {self.hostname} has no port {port_number} (it has {sorted(self.ports)})")
        argv = [self.command, f"/N={serial}", f"/S={command}"]
        shown = shlex.join(argv)
        log.debug("running %s", shown)
        try:
            done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=self.timeout, check=False)
        except subprocess.TimeoutExpired:
            raise VelorinError(f"{shown}: did not end within {self.timeout:g} s") from None
        output = done.stdout.decode(errors="replace")
        text = " ".join(line for line in output.splitlines() if line)
        if done.returncode != 0:
            raise VelorinError(f"{shown}: exit status {done.returncode}: {text}", done.returncode, output)
        log.info("%s: %s", shown, text)
