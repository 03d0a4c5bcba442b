"""The pieces the bridge's tests are made of: a real mosquitto on 127.0.0.1
(plain, TLS and password listeners at free ports), the bridge over the fake
USB library with fixture sysfs and record folders, and a watching client."""

import getpass
import json
import os
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

import paho.mqtt.client as paho
from velorin_testing import WAIT, FakeBus, free_port, wait_until  # noqa: F401

BRIDGE = os.environ["VELORIN_MQTT"]
TOOL = os.environ["VELORIN"]
FAKEUSB_DIR = os.environ["FAKEUSB_DIR"]
WITH_FIXTURE = os.environ["WITH_FIXTURE"]
BASE = "velorin/test"
def run(*command, cwd=None):
    subprocess.run(command, cwd=cwd, check=True, capture_output=True)


class Broker:
    """mosquitto with persistence, so a restart keeps the bridge's session."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.plain, self.tls, self.password = free_port(), free_port(), free_port()
        self.make_certificates()
        run("mosquitto_passwd", "-b", "-c", str(self.folder / "passwd"), "bridge", "s3cret")
        os.chmod(self.folder / "passwd", 0o600)
        f = self.folder
        (f / "mosquitto.conf").write_text(
            f"""per_listener_settings true
user {getpass.getuser()}
persistence true
persistence_location {f}/
log_dest file {f}/log
log_type all
max_queued_messages 100000
listener {self.plain} 127.0.0.1
allow_anonymous true
listener {self.tls} 127.0.0.1
allow_anonymous true
cafile {f}/ca.crt
certfile {f}/server.crt
keyfile {f}/server.key
listener {self.password} 127.0.0.1
allow_anonymous false
password_file {f}/passwd
""")
        self.process = None
        self.start()

    def make_certificates(self):
        f = str(self.folder)
        for ca in ("ca", "other-ca"):
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN={ca}",
                "-keyout", f"{f}/{ca}.key", "-out", f"{f}/{ca}.crt")
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout",
            f"{f}/server.key", "-out", f"{f}/server.csr")
        (self.folder / "san").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
        run("openssl", "x509", "-req", "-in", f"{f}/server.csr", "-CA", f"{f}/ca.crt", "-CAkey", f"{f}/ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", f"{f}/san", "-out", f"{f}/server.crt")

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", str(self.folder / "mosquitto.conf")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.plain), timeout=1).close()
                return True
            except OSError:
                return False

        assert wait_until(listening), "mosquitto did not start"

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()  # saves the sessions
            self.process.wait(WAIT)

    def log(self):
        path = self.folder / "log"
        return path.read_text(errors="replace") if path.exists() else ""


class Watcher:
    """A client that records every message (topic, payload, retained) and can publish."""

    def __init__(self, port, subscribe="#"):
        self.messages = []
        self.lock = threading.Lock()
        self.client = paho.Client(client_id=f"watcher-{os.getpid()}-{id(self)}", clean_session=True)
        self.client.on_message = self.on_message
        connected = threading.Event()
        self.client.on_connect = lambda c, u, f, rc: (c.subscribe(subscribe, 1), connected.set())
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        assert connected.wait(WAIT), "watcher did not connect"
        time.sleep(0.2)  # the subscription is in place

    def on_message(self, client, userdata, message):
        with self.lock:
            self.messages.append((message.topic, bytes(message.payload), bool(message.retain)))

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()

    def payloads(self, topic):
        with self.lock:
            return [p for t, p, _ in self.messages if t == topic]

    def last(self, topic):
        payloads = self.payloads(topic)
        return payloads[-1] if payloads else None

    def wait_last(self, topic, payload, timeout=WAIT):
        return wait_until(lambda: self.last(topic) == payload, timeout)

    def publish(self, topic, payload, qos=1, retain=False):
        info = self.client.publish(topic, payload, qos=qos, retain=retain)
        info.wait_for_publish(WAIT)

    def json(self, topic):
        payload = self.last(topic)
        return json.loads(payload.decode("utf-8")) if payload else None


class Bridge:
    """velorin-mqtt in a sandbox: record/installed, devices/ (sysfs), the fake bus's scenario and state."""

    def __init__(self, folder, switches, installed=None, config=None, broker=None, base=BASE):
        self.folder = Path(folder)
        self.base = base
        for sub in ("record", "devices"):
            (self.folder / sub).mkdir(parents=True, exist_ok=True)
        # switches: serial -> scenario fields; all on bus 1, in this order.
        self.switches = dict(switches)
        self.order = list(self.switches)
        self.bus = FakeBus(self.folder, b"".join(f"serial={s} {fields}\n".encode() for s, fields in self.switches.items()))
        self.write_record(installed if installed is not None else self.order)
        for serial in self.order:
            self.plug(serial)
        settings = {"host": "127.0.0.1", "port": broker.plain if broker else 1883, "base_topic": base, "discovery_prefix": f"ha/{base}",
                    "poll_interval": 1, "client_id": f"bridge-{os.getpid()}"}
        settings.update(config or {})
        self.config = self.folder / "mqtt.conf"
        self.config.write_text("".join(f"{k} = {v}\n" for k, v in settings.items() if v is not None))
        self.process = None

    def env(self):
        env = self.bus.env(LD_LIBRARY_PATH=FAKEUSB_DIR)
        env.pop("VELORIN_DEBUG", None)
        return env

    def fixture(self, *command):
        return [WITH_FIXTURE, str(self.folder / "record"), str(self.folder / "devices"), "--", *command]

    def start(self):
        self.stderr = open(self.folder / "stderr", "wb")
        self.process = subprocess.Popen(self.fixture(BRIDGE, "--config", str(self.config)), env=self.env(),
                                        stdout=subprocess.DEVNULL, stderr=self.stderr)
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process:
            self.stderr.close()

    def log(self):
        return (self.folder / "stderr").read_bytes().decode("utf-8", "replace")

    def write_record(self, serials):
        data = b"".join((s if isinstance(s, bytes) else s.encode()) + b"\n" for s in serials)
        (self.folder / "record" / "installed").write_bytes(data)

    def plug(self, serial):
        device = self.order.index(serial) + 1
        folder = self.folder / "devices" / f"1-{device}"
        folder.mkdir(exist_ok=True)
        for name, value in (("idVendor", "16c0"), ("idProduct", "2823"), ("serial", serial), ("busnum", "1"),
                            ("devnum", str(device))):
            (folder / name).write_text(value + "\n")

    def unplug(self, serial):
        folder = self.folder / "devices" / f"1-{self.order.index(serial) + 1}"
        for child in folder.iterdir():
            child.unlink()
        folder.rmdir()

    def on(self, serial):
        """The switch's own state, as the fake bus keeps it; None before any set."""
        path = self.folder / "state" / f"1.{self.order.index(serial) + 1}"
        return path.read_text() == "on\n" if path.exists() else None

    def velorin(self, *args):
        return subprocess.run(self.fixture(TOOL, *args), env=self.env(), capture_output=True)

    def calls(self):
        return self.bus.calls()
