"""pdudaemon driver for velorin USB switches, registered as the driver
``velorin`` through the entry point group ``pdudaemon.driver``.

One entry of pdudaemon.conf's "pdus" stands for any number of switches:

    "lab-switches": {"driver": "velorin", "ports": {"1": "AB12CD34", "2": "EF56GH78"}}

Keys: "ports" maps pdudaemon's port numbers to serial numbers; "command" is
the tool (default: velorin on PATH); "timeout" the seconds one run may take
(default 80: longer than the tool waits in line at a switch). The tool runs
without a shell, in a process group of its own that is ended as a whole when
it runs past the timeout. Any failure raises VelorinError (velorin_tool's)
with the exit status and the tool's own text, so pdudaemon logs it and tries
again ("retries" times, pdudaemon's own key).
"""

import logging
import shlex

from pdudaemon.drivers.driver import PDUDriver

import velorin_tool

log = logging.getLogger("pdud.drivers.velorin")

# The driver's failures; the class is shared with the labgrid module.
VelorinError = velorin_tool.VelorinError


class VelorinDriver(PDUDriver):
    def __init__(self, hostname, settings):
        super().__init__()
        self.hostname = hostname
        ports = settings.get("ports")
        if not isinstance(ports, dict) or not ports:
            raise ValueError(f"{hostname}: \"ports\" must map port numbers to serial numbers")
        self.ports = {}
        for port, serial in ports.items():
            number = self._port(port)
            if number is None:
                raise ValueError(f"{hostname}: port {port!r} is not a whole number")
            if number in self.ports:
                raise ValueError(f"{hostname}: \"ports\" names port {number} twice")
            self.ports[number] = velorin_tool.check_serial(f"{hostname}: port {port}", serial)
        self.command = settings.get("command", "velorin")
        if not isinstance(self.command, str) or not self.command:
            raise ValueError(f"{hostname}: \"command\" must be the tool's name or path, not {self.command!r}")
        self.timeout = velorin_tool.check_timeout(f"{hostname}: \"timeout\"",
                                                  settings.get("timeout", velorin_tool.DEFAULT_TIMEOUT))

    @staticmethod
    def _port(value):
        """A port number as a whole number, None when it is none."""
        try:
            return int(value)
        except (TypeError, ValueError):
            return None

    @classmethod
    def accepts(cls, drivername):
        return drivername == "velorin"

    def port_interaction(self, command, port_number):
        serial = self.ports.get(self._port(port_number))
        if serial is None:
            raise VelorinError(f"{self.hostname}: no port {port_number} (it has {sorted(self.ports)})")
        argv = [self.command, f"/N={serial}", f"/S={command}"]
        shown = shlex.join(argv)
        log.debug("running %s", shown)
        text = velorin_tool.run_reported(argv, shown, self.timeout)
        log.info("%s: %s", shown, " ".join(line for line in text.splitlines() if line))
