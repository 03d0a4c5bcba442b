"""labgrid support for velorin USB switches.

An env file imports this module (``imports: [velorin_labgrid]``) and then
names the switch and the driver:

    VelorinSwitch: {serial: "AB12CD34"}      # resource: a switch by serial number
    VelorinPowerDriver: {delay: 2.0}         # driver: PowerProtocol and ResetProtocol

The driver runs the velorin tool (``tools: velorin:`` in the env file, else
``velorin`` on PATH), without a shell and with a time limit. Every failure
raises VelorinError, a labgrid ExecutionError that carries the tool's exit
status and its own text.
"""

import logging
import shlex
import subprocess
import time

import attr

from labgrid.driver.common import Driver
from labgrid.driver.exception import ExecutionError
from labgrid.driver.powerdriver import PowerResetMixin
from labgrid.factory import target_factory
from labgrid.protocol import PowerProtocol
from labgrid.resource.common import Resource
from labgrid.step import step

__all__ = ["VelorinSwitch", "VelorinPowerDriver", "VelorinError"]

log = logging.getLogger("velorin")


def _check_serial(_instance, attribute, value):
    # The tool reads at most 8 bytes after /N=, so a longer serial number
    # would silently name another switch. YAML turns an unquoted 12345678
    # into a number (and 00012345 into another one), so only text is taken.
    if not isinstance(value, str) or not 1 <= len(value.encode()) <= 8:
        raise ValueError(f"{attribute.name} must be a quoted serial number of 1 to 8 bytes, not {value!r}")


@attr.s(eq=False)
class VelorinError(ExecutionError):
    """The tool failed. status: its exit status (None when it did not end in
    time); stdout: the lines it printed; msg: the command, the status and the
    text on one line."""

    status = attr.ib(default=None)

    def __str__(self):
        return self.msg


@target_factory.reg_resource
@attr.s(eq=False)
class VelorinSwitch(Resource):
    """A velorin switch, by its serial number. It needs neither udev nor
    sysfs: the tool finds the switch whenever it is used."""

    serial = attr.ib(validator=_check_serial)


@target_factory.reg_driver
@attr.s(eq=False)
class VelorinPowerDriver(Driver, PowerResetMixin, PowerProtocol):
    """Switches the target's power with a velorin switch.

    delay: seconds between off and on in cycle() (and reset());
    timeout: seconds one run of the tool may take before it is killed."""

    bindings = {"switch": "VelorinSwitch"}
    delay = attr.ib(default=2.0, converter=float, validator=attr.validators.ge(0))
    timeout = attr.ib(default=10.0, converter=float, validator=attr.validators.gt(0))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        tool = self.target.env.config.get_tool("velorin") if self.target.env else None
        self.tool = tool or "velorin"

    def _run(self, request):
        command = [self.tool, f"/N={self.switch.serial}", f"/S={request}"]
        shown = shlex.join(command)
        log.debug("running %s", shown)
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=self.timeout, check=False)
        except subprocess.TimeoutExpired as error:
            lines = (error.output or b"").decode(errors="replace").splitlines()
            raise VelorinError(f"{shown}: did not end within {self.timeout:g} s", stdout=lines) from None
        text = done.stdout.decode(errors="replace")
        lines = [line for line in text.splitlines() if line]
        log.debug("%s: exit status %d: %s", shown, done.returncode, " ".join(lines))
        if done.returncode != 0:
            raise VelorinError(f"{shown}: exit status {done.returncode}: {' '.join(lines)}", stdout=lines,
                               status=done.returncode)
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
        shown = shlex.join([self.tool, f"/N={self.switch.serial}", "/S=query"])
        raise VelorinError(f"{shown}: unexpected answer {text!r}", stdout=text.splitlines(), status=0)
