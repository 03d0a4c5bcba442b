"""velorin-mqtt against a real mosquitto, with switches on the fake USB
library: commands, polls, plugging, broker faults, bursts, hostile input,
TLS and passwords, and a clean stop."""

import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from harness import BRIDGE, WAIT, Bridge, Broker, RefusingBroker, Watcher, wait_until  # noqa: E402

PLAIN = "kind=1"


class BridgeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="velorin-mqtt-")
        cls.broker = Broker(Path(cls.tmp.name) / "broker")

    @classmethod
    def tearDownClass(cls):
        cls.broker.stop()
        cls.tmp.cleanup()

    def setUp(self):
        self.base = "velorin/" + self.id().rsplit(".", 1)[1]
        self.watcher = Watcher(self.broker.plain)
        self.bridges = []

    def tearDown(self):
        for bridge in self.bridges:
            bridge.stop()
        self.watcher.stop()

    def bridge(self, switches, **options):
        folder = Path(self.tmp.name) / f"{self.base.split('/')[1]}-{len(self.bridges)}"
        options.setdefault("broker", self.broker)
        bridge = Bridge(folder, switches, base=self.base, **options)
        self.bridges.append(bridge)
        return bridge

    def topic(self, serial, leaf):
        return f"{self.base}/{serial}/{leaf}"

    def discovery(self, serial):
        return f"ha/{self.base}/switch/velorin_{serial}/config"

    def assertOnline(self, serial):
        self.assertTrue(self.watcher.wait_last(f"{self.base}/status", b"online"), "bridge not online")
        self.assertTrue(self.watcher.wait_last(self.topic(serial, "availability"), b"online"), serial)

    def test_command_reaches_the_switch_and_its_read_back_state_is_published(self):
        bridge = self.bridge({"AB12CD34": "kind=2 name=Desk\\x20lamp"}).start()
        self.assertOnline("AB12CD34")
        self.assertEqual(self.watcher.last(self.topic("AB12CD34", "state")), b"OFF")
        attributes = self.watcher.json(self.topic("AB12CD34", "attributes"))
        self.assertEqual(attributes, {"name": "Desk lamp", "kind": 2, "firmware_version": "1.0", "bus": 1,
                                      "device": 1})
        config = self.watcher.json(self.discovery("AB12CD34"))
        self.assertEqual(config["unique_id"], "velorin_AB12CD34")
        self.assertEqual(config["device"]["name"], "Desk lamp")
        self.assertEqual(config["device"]["model"], "USB switch with a name (kind 2)")
        self.assertEqual(config["device_class"], "outlet")
        self.assertEqual(config["origin"]["name"], "velorin-mqtt")
        self.assertEqual(config["availability_mode"], "all")
        self.assertEqual([a["topic"] for a in config["availability"]],
                         [f"{self.base}/status", self.topic("AB12CD34", "availability")])
        for word, on in (("ON", True), ("OFF", False), ("ON", True)):
            before = len(self.watcher.payloads(self.topic("AB12CD34", "state")))
            self.watcher.publish(self.topic("AB12CD34", "set"), word)
            self.assertTrue(wait_until(lambda: len(self.watcher.payloads(self.topic("AB12CD34", "state"))) > before))
            self.assertEqual(self.watcher.last(self.topic("AB12CD34", "state")), word.encode())
            self.assertEqual(bridge.on("AB12CD34"), on)
        # The state a command sees is the one read back after it.
        self.assertEqual(len(bridge.bus.set_states()), 3)

    def test_command_for_an_unattached_switch_changes_nothing_and_says_why(self):
        bridge = self.bridge({"AB12CD34": PLAIN, "GONE0001": PLAIN}, installed=["AB12CD34", "GONE0001"])
        bridge.unplug("GONE0001")
        bridge.start()
        self.assertOnline("AB12CD34")
        self.assertTrue(self.watcher.wait_last(self.topic("GONE0001", "availability"), b"offline"))
        self.watcher.publish(self.topic("GONE0001", "set"), "ON")
        self.assertTrue(wait_until(lambda: "GONE0001" in bridge.log() and "not attached" in bridge.log()))
        time.sleep(1.5)
        self.assertEqual(self.watcher.payloads(self.topic("GONE0001", "state")), [])
        self.assertIsNone(bridge.on("GONE0001"))
        # Home Assistant shows why, until a command is carried out.
        error = self.watcher.json(self.topic("GONE0001", "attributes"))
        self.assertEqual(error["last_error"], "the switch is not attached")
        self.assertRegex(error["last_error_time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        bridge.plug("GONE0001")
        self.assertTrue(self.watcher.wait_last(self.topic("GONE0001", "availability"), b"online", timeout=WAIT))
        self.watcher.publish(self.topic("GONE0001", "set"), "ON")
        self.assertTrue(self.watcher.wait_last(self.topic("GONE0001", "state"), b"ON"))
        self.assertTrue(wait_until(lambda: "last_error" not in self.watcher.json(self.topic("GONE0001", "attributes"))))

    def test_a_held_switch_delays_only_its_own_commands(self):
        bridge = self.bridge({"HELD0001": PLAIN, "FREE0001": PLAIN, "LATE0001": PLAIN})
        bridge.unplug("LATE0001")
        bridge.start()
        self.assertOnline("FREE0001")
        with bridge.hold("HELD0001"):
            self.watcher.publish(self.topic("HELD0001", "set"), "ON")
            self.watcher.publish(self.topic("FREE0001", "set"), "ON")
            bridge.plug("LATE0001")
            # Well inside the 60 s the held switch's command may wait.
            self.assertTrue(self.watcher.wait_last(self.topic("FREE0001", "state"), b"ON"))
            self.assertTrue(self.watcher.wait_last(self.topic("LATE0001", "availability"), b"online"))
            self.assertNotEqual(self.watcher.last(self.topic("HELD0001", "state")), b"ON")
            self.assertIsNone(bridge.on("HELD0001"))
        # Its turn comes: carried out once, after waiting once.
        self.assertTrue(self.watcher.wait_last(self.topic("HELD0001", "state"), b"ON"))
        self.assertTrue(bridge.on("HELD0001"))
        self.assertEqual(bridge.bus.set_states(), [1])
        self.assertNotIn("not carried out", bridge.log())

    def test_a_retained_command_is_not_carried_out_and_is_removed(self):
        bridge = self.bridge({"AB12CD34": PLAIN})
        self.watcher.publish(self.topic("AB12CD34", "set"), "ON", retain=True)
        bridge.start()
        self.assertOnline("AB12CD34")
        self.assertTrue(wait_until(lambda: "retained command" in bridge.log()), bridge.log())
        self.assertTrue(self.watcher.wait_last(self.topic("AB12CD34", "set"), b""))
        time.sleep(1)
        self.assertIsNone(bridge.on("AB12CD34"))
        self.assertEqual(self.watcher.payloads(self.topic("AB12CD34", "state")), [b"OFF"])
        # A bridge started again finds nothing to ignore.
        bridge.stop()
        again = self.bridge({"AB12CD34": PLAIN}).start()
        self.assertTrue(wait_until(lambda: "connected" in again.log()))
        time.sleep(1)
        self.assertNotIn("retained command", again.log())
        self.assertIsNone(again.on("AB12CD34"))

    def test_switch_changed_by_the_tool_shows_within_a_poll_and_only_changes_are_published(self):
        bridge = self.bridge({"AB12CD34": PLAIN}).start()
        self.assertOnline("AB12CD34")
        time.sleep(2.5)  # two polls without a change
        self.assertEqual(self.watcher.payloads(self.topic("AB12CD34", "state")), [b"OFF"])
        result = bridge.velorin("/N=AB12CD34", "/S=on")
        self.assertEqual(result.returncode, 0, result)
        self.assertTrue(self.watcher.wait_last(self.topic("AB12CD34", "state"), b"ON", timeout=3))

    def test_plug_and_unplug_show_in_availability(self):
        bridge = self.bridge({"AB12CD34": PLAIN, "EF56AB78": PLAIN})
        bridge.unplug("EF56AB78")
        bridge.start()
        self.assertOnline("AB12CD34")
        self.assertTrue(self.watcher.wait_last(self.topic("EF56AB78", "availability"), b"offline"))
        for action, word in ((bridge.plug, b"online"), (bridge.unplug, b"offline"), (bridge.plug, b"online")):
            action("EF56AB78")
            # Fake sysfs sends no kernel events: the next poll (1 s here) sees it.
            self.assertTrue(self.watcher.wait_last(self.topic("EF56AB78", "availability"), word, timeout=2.5), word)
        self.assertEqual(self.watcher.json(self.topic("EF56AB78", "attributes"))["device"], 2)

    def test_switch_that_cannot_be_opened_at_first_is_read_once_it_can(self):
        # As a node is before udev has given the group access to it.
        self.bridge({"AB12CD34": "kind=2 name=Late failopens=5"}).start()
        self.assertOnline("AB12CD34")
        self.assertTrue(wait_until(lambda: self.watcher.json(self.topic("AB12CD34", "attributes"))))
        self.assertEqual(self.watcher.json(self.topic("AB12CD34", "attributes"))["name"], "Late")
        self.assertEqual(self.watcher.json(self.discovery("AB12CD34"))["device"]["name"], "Late")
        self.assertEqual(self.watcher.last(self.topic("AB12CD34", "state")), b"OFF")

    def test_a_switch_that_cannot_be_used_says_why_once_per_plug(self):
        reasons = {"KIND0003": ("kind=3", "kind 3 not supported"),
                   "FIRM0002": ("kind=1 version=2.0", "firmware version 2.0 not supported")}
        bridge = self.bridge({serial: fields for serial, (fields, _) in reasons.items()}).start()
        self.assertTrue(self.watcher.wait_last(f"{self.base}/status", b"online"))
        time.sleep(2.5)  # two polls more

        def said(serial):
            return [line for line in bridge.log().splitlines() if f'"{serial}": attached at' in line and 'cannot' in line]

        for serial, (_, reason) in reasons.items():
            self.assertEqual(self.watcher.last(self.topic(serial, "availability")), b"offline")
            self.assertEqual(len(said(serial)), 1, bridge.log())
            self.assertIn(f"cannot be used (bus 001 device 00{bridge.order.index(serial) + 1}: {reason})",
                          said(serial)[0])
        bridge.unplug("KIND0003")
        time.sleep(1.5)
        bridge.plug("KIND0003")
        self.assertTrue(wait_until(lambda: len(said("KIND0003")) == 2), bridge.log())

    def test_a_kept_switch_costs_one_transfer_per_poll_and_two_per_command(self):
        bridge = self.bridge({f"SW{n:06d}": PLAIN for n in range(4)}).start()
        for n in range(4):
            self.assertOnline(f"SW{n:06d}")
        opened = len(bridge.calls())
        time.sleep(3.5)  # three polls or so, 1 s apart
        self.watcher.publish(self.topic("SW000000", "set"), "ON")
        self.assertTrue(self.watcher.wait_last(self.topic("SW000000", "state"), b"ON"))
        # While the switches are opened, every request goes to the one just
        # opened: none is asked for its serial number on another's behalf.
        current, strays = None, []
        for call in bridge.calls()[:opened]:
            words = call.split()
            if words[0] == "open":
                current = words[1]
            elif words[0] in ("string", "control") and words[1] != current:
                strays.append(call)
        self.assertEqual(strays, [])
        # Once open, a switch is asked only for its state (request 0), and
        # set (request 1) once for the command: no open, serial number,
        # configuration, version or kind again.
        later = [c.split() for c in bridge.calls()[opened:] if not c.startswith(("claim ", "release "))]
        self.assertEqual([c for c in later if c[0] != "control" or c[3] not in ("0", "1")], [])
        self.assertEqual([c[1] for c in later if c[3] == "1"], ["1.1"])
        reads = {d: sum(1 for c in later if c[1] == d and c[3] == "0") for d in ("1.1", "1.2", "1.3", "1.4")}
        self.assertGreaterEqual(min(reads.values()), 2, reads)
        self.assertLessEqual(reads["1.1"] - min(reads.values()), 2, reads)  # the command's read back, a round apart

    def test_broker_restart_brings_the_topics_back_and_a_waiting_command_is_applied(self):
        broker = Broker(Path(self.tmp.name) / "restart-broker")
        try:
            self.watcher.stop()
            self.watcher = Watcher(broker.plain)
            bridge = self.bridge({"AB12CD34": PLAIN}, broker=broker).start()
            self.assertOnline("AB12CD34")
            self.watcher.stop()
            broker.stop()
            time.sleep(1)
            broker.start()
            # Sent while the bridge is still waiting to reconnect: the broker keeps it for the bridge's session.
            sender = Watcher(broker.plain, subscribe="unused/none")
            sender.publish(self.topic("AB12CD34", "set"), "ON")
            sender.stop()
            self.watcher = Watcher(broker.plain)
            self.assertTrue(self.watcher.wait_last(self.topic("AB12CD34", "state"), b"ON", timeout=40))
            self.assertTrue(bridge.on("AB12CD34"))
            self.assertOnline("AB12CD34")
            self.assertIn("lost", bridge.log())
        finally:
            self.watcher.stop()
            for b in self.bridges:
                b.stop()
            self.bridges = []
            broker.stop()
            self.watcher = Watcher(self.broker.plain)

    def test_burst_of_commands_each_gets_its_state(self):
        serials = [f"BURST{n:03d}" for n in range(4)]
        bridge = self.bridge({s: PLAIN for s in serials}).start()
        for serial in serials:
            self.assertOnline(serial)
        rng = random.Random(19)
        commands = [(rng.choice(serials), rng.choice(["ON", "OFF"])) for _ in range(1000)]
        before = {s: len(self.watcher.payloads(self.topic(s, "state"))) for s in serials}
        for serial, word in commands:
            self.watcher.client.publish(self.topic(serial, "set"), word, qos=1)
        expected = {s: [w.encode() for c, w in commands if c == s] for s in serials}

        def answered():
            return all(self.watcher.payloads(self.topic(s, "state"))[before[s]:] == expected[s] for s in serials)

        self.assertTrue(wait_until(answered, timeout=60),
                        {s: len(self.watcher.payloads(self.topic(s, "state"))) - before[s] for s in serials})
        for serial in serials:
            self.assertEqual(bridge.on(serial), expected[serial][-1] == b"ON")

    def test_bad_payloads_change_nothing_and_are_logged_once_in_a_while(self):
        bridge = self.bridge({"AB12CD34": PLAIN}).start()
        self.assertOnline("AB12CD34")
        bad = ["on", "ON\n", "TOGGLE", "", "1", "ON\x00", "\xff", "x" * (1 << 20)]
        for payload in bad * 5:
            self.watcher.publish(self.topic("AB12CD34", "set"), payload)
        self.watcher.publish(self.topic("AB12CD34", "set"), "ON")
        self.assertTrue(self.watcher.wait_last(self.topic("AB12CD34", "state"), b"ON"))
        self.assertEqual(self.watcher.payloads(self.topic("AB12CD34", "state")), [b"OFF", b"ON"])
        self.assertEqual(bridge.log().count("ignoring command"), 1, bridge.log())
        self.assertTrue(bridge.process.poll() is None)

    def test_hostile_serial_numbers_and_names(self):
        named = "kind=2 name=Desk\\x22lamp\\x22\\x5c\\x01\\xff\\x1b[2J"
        bridge = self.bridge({"AB12CD34": named}, installed=[
            "AB12CD34", "bad+one", "bad#", "a/b", b"\xff\xfe", b"tab\there", "x" * 200, "SP ACE.1"])
        bridge.start()
        self.assertOnline("AB12CD34")
        log = bridge.log()
        for shown in ('"bad+one"', '"bad#"', '"a/b"', '"tab?here"', '"\ufffd\ufffd"'):
            self.assertIn(f"skipping the installed switch {shown}", log)
        self.assertEqual(log.count("skipping the installed switch"), 6, log)
        attributes = self.watcher.json(self.topic("AB12CD34", "attributes"))
        self.assertEqual(attributes["name"], 'Desk"lamp"\\?\ufffd?[2J')
        config = self.watcher.json(self.discovery("AB12CD34"))
        self.assertEqual(config["device"]["name"], attributes["name"])
        # A serial that is a topic level but not a Home Assistant object id gets one made of allowed bytes.
        spaced = f"ha/{self.base}/switch/velorin_SP_20ACE_2e1/config"
        self.assertTrue(wait_until(lambda: self.watcher.last(spaced)))
        self.assertEqual(self.watcher.json(spaced)["unique_id"], "velorin_SP_20ACE_2e1")
        wild = [t for t, _, _ in self.watcher.messages if t.startswith(self.base) and ("+" in t or "#" in t)]
        self.assertEqual(wild, [])
        # No wildcard subscription: a command on another switch's topic is not taken for "bad+one".
        self.watcher.publish(f"{self.base}/badXone/set", "ON")
        time.sleep(1)
        self.assertEqual(self.watcher.payloads(f"{self.base}/badXone/state"), [])

    def test_discovery_is_repeated_for_home_assistant_and_removed_with_the_switch(self):
        bridge = self.bridge({"AB12CD34": PLAIN, "EF56AB78": PLAIN})
        # A config this bridge left behind in an earlier run, and one of another bridge.
        self.watcher.publish(self.discovery("OLD00001"), json.dumps({"state_topic": self.topic("OLD00001", "state")}),
                             retain=True)
        self.watcher.publish(self.discovery("OTHER001"), json.dumps({"state_topic": "velorin/elsewhere/x/state"}),
                             retain=True)
        # and the rest of what that run left: every retained topic of a switch not shown goes.
        left = {self.topic("OLD00001", "state"): "ON", self.topic("OLD00001", "availability"): "online",
                self.topic("OLD00001", "attributes"): "{}"}
        for topic, payload in left.items():
            self.watcher.publish(topic, payload, retain=True)
        bridge.start()
        self.assertOnline("EF56AB78")
        self.assertTrue(self.watcher.wait_last(self.discovery("OLD00001"), b""))
        for topic in left:
            self.assertTrue(self.watcher.wait_last(topic, b""), topic)
        self.assertEqual(self.watcher.last(self.topic("EF56AB78", "availability")), b"online")
        count = len(self.watcher.payloads(self.discovery("AB12CD34")))
        self.watcher.publish(f"ha/{self.base}/status", "online")
        self.assertTrue(wait_until(lambda: len(self.watcher.payloads(self.discovery("AB12CD34"))) > count))
        bridge.write_record(["AB12CD34"])
        bridge.unplug("EF56AB78")
        self.assertTrue(self.watcher.wait_last(self.discovery("EF56AB78"), b""))
        self.assertNotEqual(self.watcher.last(self.discovery("OTHER001")), b"")
        self.watcher.publish(self.discovery("OTHER001"), "", retain=True)

    def test_sigterm_publishes_offline_and_exits_promptly(self):
        # Idle; and in the middle of a burst of commands to a slow switch
        # (each request answered after 300 ms, some 3 s a command).
        for what, fields, burst in (("idle", PLAIN, 0), ("busy with a slow switch", "kind=1 answerms=300", 20)):
            with self.subTest(what):
                self.base = f"velorin/stop{len(self.bridges)}"
                bridge = self.bridge({"AB12CD34": fields}).start()
                self.assertOnline("AB12CD34")
                states = len(self.watcher.payloads(self.topic("AB12CD34", "state")))
                for n in range(burst):
                    self.watcher.publish(self.topic("AB12CD34", "set"), "ON" if n % 2 else "OFF")
                if burst:  # stopped in the middle of the burst, once its first command is done
                    self.assertTrue(wait_until(lambda: len(self.watcher.payloads(self.topic("AB12CD34", "state")))
                                               > states + 1))
                started = time.monotonic()
                bridge.process.send_signal(signal.SIGTERM)
                self.assertEqual(bridge.process.wait(WAIT), 0)
                self.assertLess(time.monotonic() - started, 2.5)  # 2 s and room for a loaded machine
                self.assertTrue(self.watcher.wait_last(f"{self.base}/status", b"offline"))

    def test_a_subscription_the_broker_refuses_is_logged(self):
        broker = RefusingBroker("DENIED01")
        try:
            bridge = self.bridge({"AB12CD34": PLAIN, "DENIED01": PLAIN}, config={"port": broker.port}).start()
            self.assertTrue(wait_until(lambda: "refused the subscription" in bridge.log()), bridge.log())
            self.assertIn(f'refused the subscription to "{self.topic("DENIED01", "set")}"', bridge.log())
            self.assertEqual(bridge.log().count("refused"), 1, bridge.log())
        finally:
            broker.stop()

    def test_tls_and_password(self):
        folder = self.broker.folder
        (folder / "pw").write_text("s3cret\n")
        (folder / "wrong-pw").write_text("guess\n")
        cases = [
            ("right CA", {"port": self.broker.tls, "tls_ca_file": folder / "ca.crt", "host": "localhost"}, None),
            ("wrong CA", {"port": self.broker.tls, "tls_ca_file": folder / "other-ca.crt", "host": "localhost"},
             "certificate verify failed"),
            ("right password", {"port": self.broker.password, "username": "bridge", "password_file": folder / "pw"},
             None),
            ("wrong password", {"port": self.broker.password, "username": "bridge",
                                "password_file": folder / "wrong-pw"}, "refused the connection"),
        ]
        for what, config, reason in cases:
            with self.subTest(what):
                self.base = f"velorin/tls{len(self.bridges)}"
                # The broker logs a connection that failed its TLS handshake at
                # once as a failure only, without naming the port.
                def attempts(listener=f"on port {config['port']}."):
                    log = self.broker.log()
                    return log.count(listener) + log.count("Client connection from 127.0.0.1 failed")
                attempts_before = attempts()
                bridge = self.bridge({"AB12CD34": PLAIN}, config=config).start()
                if reason is None:
                    self.assertOnline("AB12CD34")
                else:
                    self.assertTrue(wait_until(lambda: reason in bridge.log()), bridge.log())
                    # Retried with a growing pause (1 s, then 2 s): the broker sees a second attempt.
                    self.assertTrue(wait_until(lambda: attempts() >= attempts_before + 2,
                                               timeout=15), self.broker.log())
                    self.assertIsNone(self.watcher.last(f"{self.base}/status"))
                    self.assertIsNone(bridge.process.poll(), "the bridge gave up")
                bridge.stop()


class ConfigCheckTest(unittest.TestCase):
    def test_check_names_file_line_and_reason_without_connecting(self):
        cases = [
            ("host = 127.0.0.1\nport = 1883\n", 0, "valid"),
            ("host = 127.0.0.1\n\nport = 99999\n", 1, ":3: port is not a number"),
            ("poll = 5\n", 1, ':1: unknown key "poll"'),
            ("base_topic = a/+/b\n", 1, ":1: base_topic cannot be a topic"),
            ("username = u\n", 1, ":1: username and password_file go together"),
            ("tls_ca_file = /nonexistent/ca.crt\n", 1, ":1: /nonexistent/ca.crt cannot be read"),
            # The first line is the password; a note below it is not read.
            ("username = u\npassword_file = noted\n", 0, "valid"),
            ("username = u\npassword_file = nul\n", 1, ":2: the password file's first line is longer than 65535"),
        ]
        with tempfile.TemporaryDirectory() as folder:
            (Path(folder) / "noted").write_text("s3cret\n# rotated 2026-01\n")
            (Path(folder) / "nul").write_bytes(b"s3\x00cret\n")
            for text, status, output in cases:
                with self.subTest(text):
                    path = Path(folder) / "mqtt.conf"
                    path.write_text(text)
                    result = subprocess.run([BRIDGE, "--check", "--config", str(path)], capture_output=True,
                                            timeout=WAIT)
                    self.assertEqual(result.returncode, status, result)
                    self.assertIn(output, (result.stdout + result.stderr).decode())
                    if status:
                        self.assertIn(str(path), result.stderr.decode())


if __name__ == "__main__":
    unittest.main(verbosity=2)
