#!/usr/bin/python3
"""The hand-off scripts against the real engines on this machine's loopback:
a mosquitto with a user and password, and the node exporter reading the
textfile folder. Skipped (77) where Debian's mosquitto, mosquitto-clients or
prometheus-node-exporter are not installed.

usage: handoffs.py HANDOFF_DIR WORK_DIR
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import time
import unittest
import urllib.request

HANDOFF, WORK = sys.argv.pop(1), sys.argv.pop(1)
USER, PASSWORD = "board", "handoff secret"
ENGINES = ("mosquitto", "mosquitto_pub", "mosquitto_sub", "mosquitto_passwd",
           "prometheus-node-exporter")


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def serving(port):
    for _ in range(100):
        try:
            return socket.create_connection(("127.0.0.1", port)).close() or True
        except OSError:
            time.sleep(0.1)
    return False


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def run(script, *args, env=None):
    return subprocess.run([os.path.join(HANDOFF, script)] + list(args), env=env,
                          capture_output=True, text=True)


class Handoffs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
        cls.port = free_port()
        subprocess.run(["mosquitto_passwd", "-b", "-c", cls.path("passwd"), USER, PASSWORD],
                       check=True)
        os.chmod(cls.path("passwd"), 0o644)  # mosquitto leaves root for its own user
        write(cls.path("mosquitto.conf"), "listener %d 127.0.0.1\nallow_anonymous false\n"
              "password_file %s\npersistence false\n" % (cls.port, cls.path("passwd")))
        cls.broker = subprocess.Popen(["mosquitto", "-c", cls.path("mosquitto.conf")],
                                      stderr=subprocess.DEVNULL)
        assert serving(cls.port), "mosquitto did not start"
        # mosquitto_pub through a wrapper that keeps each command line.
        os.makedirs(cls.path("bin"))
        wrapper = write(cls.path("bin/mosquitto_pub"), '#!/bin/sh\necho "$@" >>%s\nexec %s "$@"\n'
                        % (cls.path("cmdlines"), shutil.which("mosquitto_pub")))
        os.chmod(wrapper, 0o755)
        cls.env = dict(os.environ, PATH=cls.path("bin") + ":" + os.environ["PATH"])

    @classmethod
    def tearDownClass(cls):
        cls.broker.terminate()
        cls.broker.wait()

    @classmethod
    def path(cls, name):
        return os.path.join(WORK, name)

    def settings(self, password=PASSWORD, port=None, name="settings"):
        return write(self.path(name), "# a comment\n\nMQTT_HOST=127.0.0.1\nMQTT_PORT=%d\n"
                     "MQTT_USER=%s\nMQTT_PASSWORD=%s\n" % (port or self.port, USER, password))

    def reading(self, line="PM2.5:12.300000 PM10:45.599998", age=0):
        """The reading service's file: the time the reading was taken, AGE
        seconds ago, and the program's line."""
        return write(self.path("reading"), "%d %s\n" % (time.time() - age, line))

    def received(self, ports, *topics, line="PM2.5:12.300000 PM10:45.599998"):
        """Publishes reading LINE for each port while a subscriber listens."""
        sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-u",
                                USER, "-P", PASSWORD, "-v", "-W", "3"] +
                               [a for t in topics for a in ("-t", t)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        time.sleep(0.5)
        for port in ports:
            r = run("mqtt", self.reading(line), port, self.settings(), env=self.env)
            self.assertEqual((r.returncode, r.stderr), (0, ""))
        return dict(line.split(" ", 1) for line in sub.communicate()[0].splitlines())

    def test_mqtt_discovery_and_state(self):
        got = self.received(["ttyAMA0", "serial/by-id/usb-1"], "#")
        configs = [json.loads(v) for k, v in got.items() if k.endswith("/config")]
        states = [v for k, v in got.items() if k.endswith("/state")]
        self.assertEqual(len(configs), 4)
        self.assertEqual(states, ['{"pm25":12.3,"pm10":45.6}'] * 2)
        self.assertEqual(len({c["unique_id"] for c in configs}), 4)
        for c in configs:
            self.assertEqual((c["state_class"], c["unit_of_measurement"], c["expire_after"]),
                             ("measurement", "µg/m³", 180))
            self.assertIn(c["device_class"], c["unique_id"])
            self.assertIn(c["device"]["identifiers"][0], c["state_topic"])
        # The same port keeps its ids; the configurations are retained.
        again = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-u",
                                USER, "-P", PASSWORD, "-t", "homeassistant/#", "--retained-only",
                                "-W", "1", "-v"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               text=True).stdout
        self.assertEqual(sorted(again.splitlines()),
                         sorted("%s %s" % kv for kv in got.items() if kv[0].endswith("config")))
        with open(self.path("cmdlines")) as f:
            self.assertNotIn(PASSWORD, f.read())

    def test_mqtt_values_with_one_decimal(self):
        for line, state in (("PM2.5:1234.099976 PM10:0.100000", '{"pm25":1234.1,"pm10":0.1}'),
                            ("PM2.5:6553.500000 PM10:0.000000", '{"pm25":6553.5,"pm10":0.0}')):
            got = self.received(["ttyAMA0"], "pmsensor/#", line=line)
            self.assertEqual(list(got.values()), [state], line)

    def test_mqtt_failures_say_why(self):
        empty = dict(self.env, PATH="/nonexistent")
        for name, args, env, message in (
                ("wrong password", (self.settings("wrong", name="wrong"),), self.env,
                 "not authorised"),
                ("broker down", (self.settings(port=free_port(), name="down"),), self.env,
                 "Connection refused"),
                ("no client", (self.settings(),), empty, "no mosquitto_pub"),
                ("no settings", (self.path("none"),), self.env, "cannot read the settings")):
            r = run("mqtt", self.reading(), "ttyAMA0", *args, env=env)
            self.assertEqual(r.returncode, 1, name)
            self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
            self.assertTrue(r.stderr.startswith("pmsensor-mqtt: "), r.stderr)
            self.assertIn(message, r.stderr, name)
            self.assertNotIn("wrong", r.stderr, name)

    def test_mqtt_settings_of_any_bytes(self):
        """Awkward values reach the broker exactly; values mosquitto_pub could
        not take as they stand are refused by key and reason, never shown."""
        accepted = ["ab\\ncd\\t\\c", "#not a comment", "  spaces at both ends  ",
                    'say "it\'s" `x` $y', "p" * 1019]
        for i, password in enumerate(accepted):
            subprocess.run(["mosquitto_passwd", "-b", self.path("passwd"), "awkward%d" % i,
                            password], check=True)
        self.broker.send_signal(1)  # reload the password file
        time.sleep(1)
        base = "MQTT_HOST=127.0.0.1\nMQTT_PORT=%d\nMQTT_USER=%s\nMQTT_PASSWORD=%s\n"
        for i, password in enumerate(accepted):
            r = run("mqtt", self.reading(), "ttyAMA0",
                    write(self.path("awkward"), base % (self.port, "awkward%d" % i, password)),
                    env=self.env)
            self.assertEqual((r.returncode, r.stderr), (0, ""), repr(password[:30]))
        secret = "q" * 1100
        for extra, key in (("MQTT_PASSWORD=%s\n" % secret, "MQTT_PASSWORD"),
                           ("MQTT_PASSWORD=%s\r\n" % PASSWORD, "MQTT_PASSWORD"),
                           ("MQTT_PORT=abc\n", "MQTT_PORT"),
                           ("MQTT_PORT=99999999999999999999\n", "MQTT_PORT"),
                           ("MQTT_EXPIRE_AFTER=3m\n", "MQTT_EXPIRE_AFTER"),
                           ("MQTT_TOPIC_PREFIX=a/#\n", "MQTT_TOPIC_PREFIX"),
                           ("MQTT_DISCOVERY_PREFIX=\n", "MQTT_DISCOVERY_PREFIX")):
            r = run("mqtt", self.reading(), "ttyAMA0",
                    write(self.path("refused"), base % (self.port, USER, PASSWORD) + extra),
                    env=self.env)
            self.assertEqual(r.returncode, 1, key)
            self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
            self.assertIn(key, r.stderr)
            for shown in (secret[:8], PASSWORD, "abc", "999", "3m", "a/#"):
                self.assertNotIn(shown, r.stderr.replace(self.path(""), ""))
        # An empty expiry means never: no expire_after; a prefix with quotes
        # and a backslash goes into JSON escaped.
        sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-u",
                                USER, "-P", PASSWORD, "-v", "-R", "-W", "3", "-t", "homeassistant/#"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        time.sleep(0.5)
        r = run("mqtt", self.reading(), "ttyAMA0", write(self.path("odd"), base % (
            self.port, USER, PASSWORD) + 'MQTT_EXPIRE_AFTER=\nMQTT_TOPIC_PREFIX=a"b\\c d\n'),
            env=self.env)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        configs = [json.loads(line.split(" ", 1)[1]) for line in sub.communicate()[0].splitlines()]
        self.assertEqual(len(configs), 2)
        for c in configs:
            self.assertNotIn("expire_after", c)
            self.assertTrue(c["state_topic"].startswith('a"b\\c d/pmsensor_'), c["state_topic"])

    def test_old_or_untimed_readings_not_handed_on(self):
        """A hand-off started by hand, or late, on a reading more than 120 s
        old hands nothing on; nor on a line without its time."""
        folder = self.path("late")
        os.makedirs(folder, exist_ok=True)
        for script, last in (("mqtt", self.settings()), ("textfile", folder)):
            old = run(script, self.reading(age=200), "ttyAMA0", last, env=self.env)
            self.assertEqual(old.returncode, 1, script)
            self.assertRegex(old.stderr, r"^pmsensor-%s: not (published|handed on): the reading "
                             r"in \S+ is 20\d s old \(more than 120\)\n$" % script)
            untimed = run(script, write(self.path("untimed"), "PM2.5:12.300000 PM10:45.599998\n"),
                          "ttyAMA0", last, env=self.env)
            self.assertEqual((untimed.returncode, len(untimed.stderr.splitlines())), (1, 1))
            self.assertIn("not a reading", untimed.stderr)
        self.assertEqual(os.listdir(folder), [])

    def test_textfile_through_the_node_exporter(self):
        folder = self.path("textfile")
        os.makedirs(folder, exist_ok=True)
        for port in ("ttyAMA0", 'by-id/a"b\\c'):
            r = run("textfile", self.reading(age=100), port, folder)
            self.assertEqual((r.returncode, r.stderr), (0, ""))
        # A failed run leaves the files as they were.
        before = sorted(os.listdir(folder))
        r = run("textfile", self.reading("Error reading serial port"), "ttyAMA0", folder)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(sorted(os.listdir(folder)), before)
        self.assertEqual(run("textfile", self.reading(), "x", self.path("none")).stderr,
                         "pmsensor-textfile: no folder %s (is prometheus-node-exporter "
                         "installed?)\n" % self.path("none"))
        port = free_port()
        exporter = subprocess.Popen(["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d"
                                     % port, "--collector.disable-defaults",
                                     "--collector.textfile", "--collector.textfile.directory="
                                     + folder], stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(serving(port))
            with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port) as page:
                metrics = page.read().decode()
        finally:
            exporter.terminate()
            exporter.wait()
        self.assertIn('pmsensor_pm25_micrograms_per_cubic_meter{port="ttyAMA0"} 12.3\n', metrics)
        self.assertIn('pmsensor_pm10_micrograms_per_cubic_meter{port="by-id/a\\"b\\\\c"} 45.6\n',
                      metrics)
        self.assertIn('node_textfile_scrape_error 0', metrics)
        # The time is the reading's, not the hand-off's.
        stamp = [float(line.split()[1]) for line in metrics.splitlines()
                 if line.startswith('pmsensor_last_reading_timestamp_seconds{port="ttyAMA0"}')]
        self.assertAlmostEqual(stamp[0], time.time() - 100, delta=30)


if __name__ == "__main__":
    if not all(shutil.which(e) for e in ENGINES):
        print("skipped: needs mosquitto, mosquitto-clients and prometheus-node-exporter")
        sys.exit(77)
    unittest.main()
