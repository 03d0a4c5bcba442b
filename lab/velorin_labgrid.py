"""labgrid support for velorin USB switches.

An env file imports this module (``imports: [velorin_labgrid]``) and then
names the switch and the driver:

    VelorinSwitch: {serial: "AB12CD34"}      # resource: a switch by serial number
    VelorinPowerDriver: {delay: 2.0}         # driver: PowerProtocol and ResetProtocol

With labgrid's coordinator, the exporter on the switch's host exports it as

    NetworkVelorinSwitch: {host: "{{ hostname }}", serial: "AB12CD34"}

and the driver runs the tool on that host, through ssh (the resource's
command_prefix), as labgrid's own drivers for USB switches do.

The driver runs the velorin tool (``tools: velorin:`` in the env file, else
``velorin`` on PATH; on the switch's host for a NetworkVelorinSwitch),
without a shell and with a time limit. Every failure raises VelorinError, a
labgrid ExecutionError that carries the tool's exit status and its own text.
"""

import logging
import math
import re
import shlex
import threading
import time

import attr

from labgrid.driver.common import Driver
from labgrid.driver.exception import ExecutionError
from labgrid.driver.powerdriver import PowerResetMixin
from labgrid.factory import target_factory
from labgrid.protocol import PowerProtocol
from labgrid.resource.common import NetworkResource, Resource
from labgrid.step import step

import velorin_tool

__all__ = ["VelorinSwitch", "NetworkVelorinSwitch", "VelorinPowerDriver", "VelorinError"]

log = logging.getLogger("velorin")


def _check_serial(_instance, attribute, value):
    velorin_tool.check_serial(attribute.name, value)


# What ssh takes as a destination and nothing more: a name or an address,
# optionally with user@. A leading "-" would be read as an ssh option.
_HOST = re.compile(r"[A-Za-z0-9_:\[][A-Za-z0-9_.:@%\[\]-]*")


def _check_host(_instance, attribute, value):
    # The host comes from an exporter, through the coordinator, which anyone
    # on the network may feed.
    if not isinstance(value, str) or len(value) > 255 or not _HOST.fullmatch(value):
        raise ValueError(f"{attribute.name} must be a host name or address, not {value!r}")


def _check_timeout(_instance, attribute, value):
    velorin_tool.check_timeout(attribute.name, value)


def _check_delay(_instance, attribute, value):
    # A delay of inf or NaN would leave the board off for good in cycle().
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"{attribute.name} must be a finite number of seconds of 0 or more, not {value!r}")


def _seconds(value):
    # Converted only when it is a number or its text; anything else is left
    # for the validator to name.
    if isinstance(value, (int, float, str)) and not isinstance(value, bool):
        try:
            return float(value)
        except ValueError:
            pass
    return value


class VelorinError(velorin_tool.VelorinError, ExecutionError):
    """The tool failed: a labgrid ExecutionError. status: its exit status
    (None when it did not end in time); stdout: the lines it printed; msg:
    the command, the status and the text on one line."""


@target_factory.reg_resource
@attr.s(eq=False)
class VelorinSwitch(Resource):
    """A velorin switch, by its serial number. It needs neither udev nor
    sysfs: the tool finds the switch whenever it is used."""

    serial = attr.ib(validator=_check_serial)


@target_factory.reg_resource
@attr.s(eq=False)
class NetworkVelorinSwitch(NetworkResource):
    """A velorin switch on another host (host), by its serial number. An
    exporter exports it with host: "{{ hostname }}"; the driver runs the tool
    there."""

    host = attr.ib(validator=_check_host)
    serial = attr.ib(validator=_check_serial)


@target_factory.reg_driver
@attr.s(eq=False)
class VelorinPowerDriver(Driver, PowerResetMixin, PowerProtocol):
    """Switches the target's power with a velorin switch.

    delay: seconds between off and on in cycle() (and reset());
    timeout: seconds one run of the tool may take before it is ended, with
    all it started, here and on a NetworkVelorinSwitch's host (by default
    longer than the tool waits in line at a switch)."""

    bindings = {"switch": {"VelorinSwitch", "NetworkVelorinSwitch"}}
    delay = attr.ib(default=2.0, converter=_seconds, validator=[attr.validators.instance_of(float), _check_delay])
    timeout = attr.ib(default=velorin_tool.DEFAULT_TIMEOUT, converter=_seconds, validator=_check_timeout)

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        tool = self.target.env.config.get_tool("velorin") if self.target.env else None
        self.tool = tool or "velorin"

    def _prefix(self, shown, deadline):
        """The resource's command prefix (ssh to its host), within the time
        left. labgrid connects to the host the first time it is asked, with a
        time limit of its own (LG_SSH_CONNECT_TIMEOUT, 30 s by default), so
        the asking runs beside the driver, which gives up at its own limit.
        The thread is a daemon: a program that gives up does not wait for it
        when it ends."""
        answer = {}

        def ask():
            try:
                answer["prefix"] = self.switch.command_prefix
            except Exception as error:  # pylint: disable=broad-except
                answer["error"] = error

        asking = threading.Thread(target=ask, name="velorin-ssh", daemon=True)
        asking.start()
        asking.join(max(0.0, deadline - time.monotonic()))
        host = self.switch.host
        if "prefix" in answer:
            return answer["prefix"]
        if "error" in answer:
            raise VelorinError(f"{shown}: {host} could not be reached: {answer['error']}")
        raise VelorinError(f"{shown}: {host} could not be reached within {self.timeout:g} s")

    def _shown(self, request):
        """The command as a message shows it: on a NetworkVelorinSwitch,
        after its host."""
        shown = shlex.join([self.tool, f"/N={self.switch.serial}", f"/S={request}"])
        if isinstance(self.switch, NetworkResource):
            shown = f"{self.switch.host}: {shown}"
        return shown

    def _run(self, request):
        deadline = time.monotonic() + self.timeout
        argv = [self.tool, f"/N={self.switch.serial}", f"/S={request}"]
        shown = self._shown(request)
        # ssh hands the host's shell one line: the words are quoted, so a
        # serial number from the exporter stays one argument.
        prefix = self._prefix(shown, deadline) if isinstance(self.switch, NetworkResource) else None
        log.debug("running %s", shown)
        text = velorin_tool.run_reported(argv, shown, self.timeout, deadline=deadline, prefix=prefix,
                                         error=VelorinError)
        log.debug("%s: %s", shown, " ".join(line for line in text.splitlines() if line))
        return text

    @Driver.check_active
    @step()
    def on(self):
        self._run("on")

    @Driver.check_active
    @step()
    def off(self):
        self._run("off")

    @Driver.check_active
    @step()
    def cycle(self):
        self.off()
        time.sleep(self.delay)
        self.on()

    @Driver.check_active
    @step(result=True)
    def get(self):
        """True when the switch is on, False when it is off."""
        text = self._run("query").rstrip("\n")
        if text.endswith(" is turned on"):
            return True
        if text.endswith(" is turned off"):
            return False
        raise VelorinError(f"{self._shown('query')}: unexpected answer {text!r}", 0, text.splitlines())
