"""Debian 12's lava-run with docs/lab.md's device dictionary lines: a
minimal job resets the device through hard_reset_command (and powers it off
at the end) and passes while the switch is there; without it the job fails.

The device dictionary is rendered as lava-server renders it, with the
device-type templates of Debian's lava-server package, fetched with
`apt-get download` into VELORIN_LAVA_CACHE (lava-server itself is not
installed). Environment (ctest sets it): VELORIN_LAB_DOC, VELORIN_TOOL,
VELORIN_LAVA_CACHE."""

import os
import subprocess
from pathlib import Path

import jinja2
import pytest
from velorin_testing import FakeBus, snippet

JOB = """\
device_type: arduino-nano-33-ble
job_name: velorin power
timeouts:
  job: {minutes: 3}
  action: {minutes: 2}
  connection: {minutes: 1}
priority: medium
visibility: public
actions:
- boot:
    method: minimal
    timeout: {minutes: 2}
"""


@pytest.fixture(scope="module")
def device_types():
    cache = Path(os.environ["VELORIN_LAVA_CACHE"])
    types = cache / "usr/share/lava-server/device-types"
    if not (types / "base.jinja2").exists():
        cache.mkdir(parents=True, exist_ok=True)
        subprocess.run(["apt-get", "download", "-q", "lava-server"], cwd=cache, check=True,
                       stdout=subprocess.DEVNULL)
        deb = next(cache.glob("lava-server_*.deb"))
        subprocess.run(["dpkg-deb", "-x", str(deb), str(cache)], check=True)
    return types


@pytest.mark.parametrize("present, status, result", [
    (True, 0, '"result": "pass"'),
    (False, 1, "\"error_msg\": \"Unable to reboot: 'velorin /N=AB12CD34 /S=off' failed\""),
])
def test_job_follows_the_switch(tmp_path, device_types, present, status, result):
    # A minimal boot on a bench device: its connection is `cat`, its
    # power commands are docs/lab.md's lines.
    (tmp_path / "bench.jinja2").write_text("{% extends 'arduino-nano-33-ble.jinja2' %}\n"
                                           "{% set connection_command = 'cat' %}\n" + snippet("lava device") + "\n")
    loader = jinja2.FileSystemLoader([str(tmp_path), str(device_types)])
    device = jinja2.Environment(loader=loader, trim_blocks=True, autoescape=False).get_template("bench.jinja2")
    (tmp_path / "device.yaml").write_text(device.render())
    (tmp_path / "job.yaml").write_text(JOB)
    bus = FakeBus(tmp_path, "serial=AB12CD34\n" if present else "")
    env = bus.env(tool=os.environ["VELORIN_TOOL"])
    # The job id names lava-run's folder under /var/lib/lava/dispatcher/tmp.
    done = subprocess.run(["lava-run", "--device", str(tmp_path / "device.yaml"), "--job-id",
                           f"velorin-{os.getpid()}-{int(present)}", "--output-dir", str(tmp_path / "out"),
                           str(tmp_path / "job.yaml")], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=300, check=False)
    assert done.returncode == status, done.stdout[-3000:]
    job = [line for line in done.stdout.splitlines() if '"case": "job"' in line]
    assert len(job) == 1 and result in job[0], job
    # Off, on (the reset), and off when the job ends.
    assert bus.set_states() == ([0, 1, 0] if present else [])
