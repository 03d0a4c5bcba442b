"""pdudaemon driver for velorin USB switches, registered as the driver
``velorin`` through the entry point group ``pdudaemon.driver``.

One entry of pdudaemon.conf's "pdus" stands for any number of switches:

    "lab-switches": {"driver": "velorin", "ports": {"1": "AB12CD34", "2": "EF56GH78"}}

Keys: "ports" maps pdudaemon's port numbers to serial numbers; "command" is
the tool (default: velorin on PATH); "timeout" the seconds one run may take
(default 10). The tool runs without a shell, in a process group of its own
that is ended as a whole when it runs past the timeout. Any failure raises VelorinError
with the exit status and the tool's own text, so pdudaemon logs it and tries
again ("retries" times, pdudaemon's own key).
"""

import logging
import shlex

from pdudaemon.drivers.driver import PDUDriver

import velorin_tool

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
        self.ports = {}
        for port, serial in ports.items():
            number = _port(port)
            if number in self.ports:
                raise ValueError(f"{hostname}: \"ports\" names port {number} twice")
            self.ports[number] = _serial(port, serial)
        self.command = settings.get("command", "velorin")
        if not isinstance(self.command, str) or not self.command:
            raise ValueError(f"{hostname}: \"command\" must be the tool's name or path, not {self.command!r}")
        self.timeout = velorin_tool.check_timeout(f"{hostname}: \"timeout\"", settings.get("timeout", 10))

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
            status, output = velorin_tool.run(argv, self.timeout)
        except velorin_tool.Timeout:
            raise VelorinError(f"{shown}: did not end within {self.timeout:g} s") from None
        output = output.decode(errors="replace")
        text = " ".join(line for line in output.splitlines() if line)
        if status != 0:
            raise VelorinError(f"{shown}: exit status {status}: {text}", status, output)
        log.info("%s: %s", shown, text)
