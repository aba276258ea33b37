#!/usr/bin/python3
"""The hand-off scripts against the real engines on this machine's loopback:
a mosquitto with a user and password, the node exporter reading the
textfile folder, and for the maps (sensor.community, openSenseMap) curl
against an HTTPS stand-in of their servers (tests/mapstandin.py). Skipped
(77) where Debian's mosquitto, mosquitto-clients, prometheus-node-exporter,
openssl or curl, or systemd (whose systemd-id128 names the device), are not
installed.

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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mapstandin import StandIn  # noqa: E402

HANDOFF, WORK = sys.argv.pop(1), sys.argv.pop(1)
# mosquitto is in /usr/sbin, which a user's PATH may lack.
os.environ["PATH"] += ":/usr/sbin:/sbin"
USER, PASSWORD = "board", "handoff secret"
ENGINES = ("mosquitto", "mosquitto_pub", "mosquitto_sub", "mosquitto_passwd",
           "prometheus-node-exporter", "openssl", "systemd-id128", "curl")
# openSenseMap's box, its sensors and token (awkward bytes, which go as they
# stand), and a second box without a token.
BOX, PM25_ID, PM10_ID, TOKEN = ("5f00000000000000000000b1", "5f000000000000000000a025",
                                "5f000000000000000000a010", "t0k=en#1")
BOX2, PM25_ID2, PM10_ID2 = "5f00000000000000000000b2", "5f000000000000000000b025", \
    "5f000000000000000000b010"


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


def run(script, *args, env=None, prefix=()):
    return subprocess.run(list(prefix) + [os.path.join(HANDOFF, script)] + list(args), env=env,
                          capture_output=True, text=True)


class Handoffs(unittest.TestCase):
    taken = []

    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
        cls.port = free_port()
        subprocess.run(["mosquitto_passwd", "-b", "-c", cls.path("passwd"), USER, PASSWORD],
                       check=True)
        os.chmod(cls.path("passwd"), 0o644)  # mosquitto leaves root for its own user
        # A second listener over TLS, its certificate from a CA made here.
        cls.tls_port = free_port()
        os.makedirs(cls.path("tls"))
        subprocess.run([os.path.join(os.path.dirname(__file__), "test-ca"), cls.path("tls")],
                       check=True)
        write(cls.path("mosquitto.conf"), "listener %d 127.0.0.1\nallow_anonymous false\n"
              "password_file %s\npersistence false\nlistener %d 127.0.0.1\ncertfile %s\n"
              "keyfile %s\n" % (cls.port, cls.path("passwd"), cls.tls_port,
                                 cls.path("tls/broker.pem"), cls.path("tls/broker.key")))
        cls.broker = subprocess.Popen(["mosquitto", "-c", cls.path("mosquitto.conf")],
                                      stderr=subprocess.DEVNULL)
        assert serving(cls.port), "mosquitto did not start"
        # mosquitto_pub and curl through wrappers that keep each command line.
        os.makedirs(cls.path("bin"))
        for client in ("mosquitto_pub", "curl"):
            wrapper = write(cls.path("bin/" + client), '#!/bin/sh\necho "$@" >>%s\nexec %s "$@"\n'
                            % (cls.path("cmdlines"), shutil.which(client)))
            os.chmod(wrapper, 0o755)
        cls.maps = StandIn(cls.path("tls/broker.pem"), cls.path("tls/broker.key"), boxes={
            BOX: (TOKEN, {PM25_ID, PM10_ID}), BOX2: (None, {PM25_ID2, PM10_ID2})})
        cls.maps.start()
        cls.env = dict(os.environ, PATH=cls.path("bin") + ":" + os.environ["PATH"])

    @classmethod
    def tearDownClass(cls):
        cls.maps.stop()
        cls.broker.terminate()
        cls.broker.wait()

    @classmethod
    def path(cls, name):
        os.makedirs(os.path.dirname(os.path.join(WORK, name)), exist_ok=True)
        return os.path.join(WORK, name)

    def settings(self, password=PASSWORD, port=None, name="settings", extra=""):
        return write(self.path(name), "# a comment\n\nMQTT_HOST=127.0.0.1\nMQTT_PORT=%d\n"
                     "MQTT_USER=%s\nMQTT_PASSWORD=%s\n%s" % (port or self.port, USER, password,
                                                           extra))

    def reading(self, line="PM2.5:12.300000 PM10:45.599998", age=0):
        """The reading service's file: the time the reading was taken, AGE
        seconds ago, and the program's line."""
        return write(self.path("reading"), "%d %s\n" % (time.time() - age, line))

    def received(self, ports, *topics, line="PM2.5:12.300000 PM10:45.599998", env=None,
                 settings=None, prefix=(), stderr=""):
        """Publishes reading LINE for each port while a subscriber listens
        (each run exits 0 and says STDERR): {topic: payload bytes}, in the
        order they came."""
        sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-u",
                                USER, "-P", PASSWORD, "-v", "-R", "-W", "2"] +
                               [a for t in topics for a in ("-t", t)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        for port in ports:
            r = run("mqtt", self.reading(line), port, settings or self.settings(),
                    env=env or self.env, prefix=prefix)
            self.assertEqual((r.returncode, r.stderr), (0, stderr))
        return dict(line.split(b" ", 1) for line in sub.communicate()[0].splitlines())

    def kept(self, state="state"):
        """The environment of a unit with its state and runtime folders, which
        every port's instance shares."""
        folder = self.path(state)
        os.makedirs(folder, exist_ok=True)
        os.makedirs(self.path("runtime"), exist_ok=True)
        return dict(self.env, STATE_DIRECTORY=folder, RUNTIME_DIRECTORY=self.path("runtime"),
                    PMSENSOR_VERSION="1.0.0")

    def unwritable(self, folder):
        """A command prefix under which FOLDER cannot be written to: mounted
        read-only for root (whom permissions do not stop), else mode 0555."""
        if os.geteuid() == 0:
            if subprocess.run(["unshare", "--mount", "true"]).returncode:
                self.skipTest("root without the right to mount (a container)")
            return ["unshare", "--mount", "sh", "-c", 'mount --bind -r "$0" "$0" && exec "$@"',
                    folder]
        os.chmod(folder, 0o555)
        self.addCleanup(os.chmod, folder, 0o755)
        return []

    def test_mqtt_discovery_and_state(self):
        """One device config per port, Home Assistant's device discovery; the
        state alone with every reading after it."""
        shutil.rmtree(self.path("state"), ignore_errors=True)
        got = {}
        for port in ("ttyAMA0", "serial/by-id/usb-1"):
            first = self.received([port], "#", env=self.kept())
            # The first run sends the device config and the state, nothing else.
            self.assertEqual(sorted(k.split(b"/")[-1] for k in first), [b"config", b"state"])
            got.update(first)
        configs = {k.decode(): v for k, v in got.items() if k.startswith(b"homeassistant/device/")}
        self.assertEqual(sorted(v for k, v in got.items() if k.endswith(b"/state")),
                         [b'{"pm25":12.3,"pm10":45.6}'] * 2)
        self.assertEqual(len(configs), 2)
        ids = set()
        for topic, payload in configs.items():
            # The units as Home Assistant takes them, byte for byte: U+00B5.
            self.assertEqual(payload.count(b'"unit_of_measurement":"\xc2\xb5g/m\xc2\xb3"'), 2)
            c = json.loads(payload)
            node = c["device"]["identifiers"][0]
            self.assertEqual(topic, "homeassistant/device/%s/config" % node)
            self.assertEqual(c["state_topic"], "pmsensor/%s/state" % node)
            self.assertEqual(c["origin"], {"name": "pmsensor", "sw_version": "1.0.0"})
            self.assertEqual(sorted(c["components"]), ["pm10", "pm25"])
            for key, s in c["components"].items():
                self.assertEqual((s["platform"], s["device_class"], s["state_class"],
                                  s["suggested_display_precision"], s["expire_after"],
                                  s["value_template"]),
                                 ("sensor", key, "measurement", 1, 180,
                                  "{{ value_json.%s }}" % key))
                ids.add(s["unique_id"])
        self.assertEqual(len(ids), 4)
        # mosquitto_pub's options, the password among them, kept no longer
        # than the run.
        for port in ("ttyAMA0", "serial/by-id/usb-1"):
            self.assertEqual(os.path.getsize(self.path("runtime/%s/mosquitto_pub" % port)), 0)

        def count():
            with open(self.path("cmdlines")) as f:
                return len(f.readlines())
        env = self.kept()
        kept_file = os.path.join(env["STATE_DIRECTORY"], "ttyAMA0", "discovery")
        with open(kept_file) as f:
            kept = f.read()
        # Nothing changed: the state alone, over one connection.
        before = count()
        self.assertEqual(list(self.received(["ttyAMA0"], "#", env=env).values()),
                         [b'{"pm25":12.3,"pm10":45.6}'])
        self.assertEqual(count(), before + 1)
        # A day on, a new expiry, a new version, another discovery prefix: the
        # config again (the old prefix's cleared), and no second clearing.
        for name, change, settings in (
                ("a day on", lambda: write(kept_file, "1" + kept[kept.index(" "):]), None),
                ("expiry", None, self.settings(name="expiry", extra="MQTT_EXPIRE_AFTER=900\n")),
                ("version", lambda: env.update(PMSENSOR_VERSION="1.0.1"), None),
                ("prefix", None, self.settings(name="prefix", extra="MQTT_DISCOVERY_PREFIX=ha\n"))):
            change and change()
            got = self.received(["ttyAMA0"], "#", env=env, settings=settings)
            configs = [json.loads(v) for k, v in got.items()
                       if k.endswith(b"/config") and v != b"(null)"]
            self.assertEqual(len(configs), 1, name)
            self.assertEqual(sum(k.endswith(b"/state") for k in got), 1, name)
            c = configs[0]
            if name == "expiry":
                self.assertEqual(c["components"]["pm25"]["expire_after"], 900)
            elif name == "version":
                self.assertEqual(c["origin"]["sw_version"], "1.0.1")
            elif name == "prefix":
                node = c["device"]["identifiers"][0].encode()
                self.assertEqual(got[b"homeassistant/device/%s/config" % node], b"(null)")
                self.assertIn(b"ha/device/%s/config" % node, got)
        # What the broker keeps: the device configs alone.
        again = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-u",
                                USER, "-P", PASSWORD, "-t", "+/+/+/config", "-t", "+/+/+/+/config",
                                "--retained-only", "-W", "1", "-v"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True).stdout
        self.assertEqual([line.split("/")[:2] for line in sorted(again.splitlines())],
                         [["ha", "device"], ["homeassistant", "device"]])
        with open(self.path("cmdlines")) as f:
            self.assertNotIn(PASSWORD, f.read())

    def test_mqtt_state_it_cannot_keep(self):
        """A state folder read-only or full costs a resent discovery: each
        reading's state goes out, with one warning line, and nothing half
        written is left."""
        for name in ("read-only", "full"):
            env = self.kept("state-" + name)
            folder = os.path.join(env["STATE_DIRECTORY"], "ttyAMA0")
            os.makedirs(folder, exist_ok=True)
            prefix = self.unwritable(folder) if name == "read-only" else ()
            warning = ("pmsensor-mqtt: warning: cannot keep the discovery sent in %s/discovery: "
                       "the next reading sends it again\n" % folder)
            for _ in range(2):
                if name == "full":  # what is kept is written beside it first
                    os.symlink("/dev/full", os.path.join(folder, "discovery.new"))
                got = self.received(["ttyAMA0"], "#", env=env, prefix=prefix, stderr=warning)
                self.assertEqual(sorted(k.split(b"/")[-1] for k in got), [b"config", b"state"])
                self.assertEqual(os.listdir(folder), [], name)

    def test_mqtt_every_message_is_json(self):
        """Under awkward settings, port names and versions, every message the
        hand-off sends parses as JSON, with the expiry a number."""
        for extra, port, version, expire in (
                ("MQTT_EXPIRE_AFTER=0\n", "ttyAMA0", "1.0.0+20261210.120000", 0),
                ("MQTT_EXPIRE_AFTER=86400\n", 'by-id/a"b\\c\td\ne', 'v"1\\', 86400),
                ('MQTT_TOPIC_PREFIX=a"b\\c\nMQTT_DISCOVERY_PREFIX=h\\a"\n', "ttyS0", "", 180),
                ("MQTT_TOPIC_PREFIX=\u00b5g/m\u00b3\u00fc\n", "serial/by-path/platform-3f215040.serial",
                 "1.0.0", 180)):
            env = dict(self.env, PMSENSOR_VERSION=version, PMSENSOR_URL='https://x.example/"\\')
            got = self.received([port], "#", env=env,
                                settings=self.settings(name="json", extra=extra))
            self.assertEqual(len(got), 2, extra)
            for topic, payload in got.items():
                message = json.loads(payload)
                for sensor in message.get("components", {}).values():
                    self.assertEqual(sensor["expire_after"], expire, extra)

    def test_mqtt_values_with_one_decimal(self):
        for line, state in (("PM2.5:1234.099976 PM10:0.100000", '{"pm25":1234.1,"pm10":0.1}'),
                            ("PM2.5:6553.500000 PM10:0.000000", '{"pm25":6553.5,"pm10":0.0}')):
            got = self.received(["ttyAMA0"], "pmsensor/#", line=line)
            self.assertEqual(list(got.values()), [state.encode()], line)

    def test_mqtt_failures_say_why(self):
        empty = dict(self.env, PATH="/nonexistent")
        for name, args, env, message in (
                ("wrong password", (self.settings("wrong", name="wrong"),), self.env,
                 "not authorised"),
                ("broker down", (self.settings(port=free_port(), name="down"),), self.env,
                 "Connection refused"),
                ("no client", (self.settings(),), empty, "no mosquitto_pub"),
                ("no settings", (self.path("none"),), self.env, "cannot read the settings"),
                # Under systemd the settings come as a credential: the message
                # names the file the user edits.
                ("from systemd", (), dict(self.env, CREDENTIALS_DIRECTORY=os.path.dirname(
                    write(self.path("settings-credential/settings"), "MQTT_PORT=abc\n"))),
                 "MQTT_PORT in /etc/pmsensor/pmsensor.conf is not a port number")):
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
                           ("MQTT_EXPIRE_AFTER=0300\n", "MQTT_EXPIRE_AFTER"),
                           ("MQTT_TOPIC_PREFIX=a/#\n", "MQTT_TOPIC_PREFIX"),
                           ("MQTT_DISCOVERY_PREFIX=\n", "MQTT_DISCOVERY_PREFIX")):
            r = run("mqtt", self.reading(), "ttyAMA0",
                    write(self.path("refused"), base % (self.port, USER, PASSWORD) + extra),
                    env=self.env)
            self.assertEqual(r.returncode, 1, key)
            self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
            self.assertIn(key, r.stderr)
            for shown in (secret[:8], PASSWORD, "abc", "999", "3m", "0300", "a/#"):
                self.assertNotIn(shown, r.stderr.replace(self.path(""), ""))
        # An empty expiry means never: no expire_after; a prefix with quotes
        # and a backslash goes into JSON escaped.
        got = self.received(["ttyAMA0"], "homeassistant/device/#", settings=write(
            self.path("odd"), base % (self.port, USER, PASSWORD) +
            'MQTT_EXPIRE_AFTER=\nMQTT_TOPIC_PREFIX=a"b\\c d\n'))
        self.assertEqual(len(got), 1)
        c = json.loads(list(got.values())[0])
        self.assertTrue(c["state_topic"].startswith('a"b\\c d/pmsensor_'), c["state_topic"])
        for sensor in c["components"].values():
            self.assertNotIn("expire_after", sensor)

    def test_mqtt_tls(self):
        """TLS with the CA from the settings, from a credential, or from the
        system's store; a CA that did not sign the broker's certificate, and
        settings that cannot work, fail in one line."""
        ca, wrong = self.path("tls/ca.pem"), self.path("tls/wrong-ca.pem")
        credentials = self.path("credentials")
        os.makedirs(credentials, exist_ok=True)
        shutil.copy(ca, os.path.join(credentials, "cafile"))
        for name, extra, env, message in (
                ("CA file", "MQTT_CAFILE=%s\n" % ca, {}, None),
                ("credential", "MQTT_CAFILE=/root/hidden.pem\n",
                 {"CREDENTIALS_DIRECTORY": credentials}, None),
                ("system store", "MQTT_TLS=yes\n", {"SSL_CERT_FILE": ca}, None),
                ("wrong CA", "MQTT_CAFILE=%s\n" % wrong, {}, "vouch for the broker as 127.0.0.1"),
                ("not in the system store", "MQTT_TLS=yes\n", {"SSL_CERT_FILE": wrong},
                 "vouch for the broker as 127.0.0.1"),
                ("no TLS", "", {}, "cannot publish"),
                ("unreadable CA", "MQTT_CAFILE=%s\n" % self.path("none"), {},
                 "MQTT_CAFILE in %s names no file" % self.path("tls.conf")),
                ("not yes", "MQTT_TLS=true\n", {}, "MQTT_TLS in")):
            r = run("mqtt", self.reading(), "ttyAMA0",
                    self.settings(port=self.tls_port, name="tls.conf", extra=extra),
                    env=dict(self.env, **env))
            if message is None:
                self.assertEqual((r.returncode, r.stderr), (0, ""), name)
                continue
            self.assertEqual((r.returncode, len(r.stderr.splitlines())), (1, 1), name + r.stderr)
            self.assertIn(message, r.stderr, name)

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
            for untimed in ("PM2.5:12.300000 PM10:45.599998\n",
                            "0%d PM2.5:12.300000 PM10:45.599998\n" % time.time()):
                r = run(script, write(self.path("untimed"), untimed), "ttyAMA0", last, env=self.env)
                self.assertEqual((r.returncode, len(r.stderr.splitlines())), (1, 1), untimed)
                self.assertIn("not a reading", r.stderr)
            # A value that is no plain decimal would go out as a wrong number.
            for line in ("PM2.5:nan PM10:45.6", "PM2.5:1.2.3 PM10:4.0", "PM2.5:12.3 PM10:",
                         "PM2.5:%s PM10:1.0" % ("9" * 400)):
                garbled = run(script, self.reading(line), "ttyAMA0", last, env=self.env)
                self.assertEqual((garbled.returncode, len(garbled.stderr.splitlines())), (1, 1))
                self.assertIn("not a reading", garbled.stderr)
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
        # A folder it cannot write to: one line of its own, none of the shell's.
        r = run("textfile", self.reading(), "ttyAMA0", folder, prefix=self.unwritable(folder))
        self.assertEqual((r.returncode, r.stderr), (1, "pmsensor-textfile: cannot write "
                                                       "%s/pmsensor-ttyAMA0.prom\n" % folder))
        self.assertEqual(sorted(os.listdir(folder)), before)
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


    def maps_settings(self, extra=""):
        url = "https://127.0.0.1:%d" % self.maps.port
        return write(self.path("maps"), "MQTT_HOST=elsewhere\nSENSORCOMMUNITY_URL=%s/\n"
                     "SENSORCOMMUNITY_CAFILE=%s\nOPENSENSEMAP_URL=%s\nOPENSENSEMAP_CAFILE=%s\n"
                     "OPENSENSEMAP_BOX=%s\nOPENSENSEMAP_TOKEN=%s\nOPENSENSEMAP_PM25_SENSOR=%s\n"
                     "OPENSENSEMAP_PM10_SENSOR=%s\n%s" % (
                         url, self.path("tls/ca.pem"), url, self.path("tls/ca.pem"), BOX, TOKEN,
                         PM25_ID, PM10_ID, extra))

    def post(self, script, port="ttyS0", age=0, settings=None, env=None, prefix=()):
        """Runs map hand-off SCRIPT on a reading AGE seconds old: its exit
        status, what it said and the stand-in's records. The reading's time
        joins self.taken."""
        reading = self.reading(age=age)
        with open(reading) as f:
            self.taken.append(int(f.read().split()[0]))
        r = run(script, reading, port, settings or self.maps_settings(),
                env=env or self.kept("maps-state"), prefix=prefix)
        return r.returncode, r.stderr, self.maps.take()

    def answering(self):
        """The stand-in back, answering."""
        self.maps.stop()
        self.maps.mode = "answer"
        self.maps.start()

    def backdate(self, port, name, seconds):
        """Moves the time kept in the state's PORT/NAME SECONDS back."""
        path = self.path("maps-state/%s/%s" % (port, name))
        with open(path) as f:
            write(path, "%d\n" % (int(f.read()) - seconds))

    def test_sensorcommunity_node_values_and_pace(self):
        """An unregistered node is told which id to register; registered,
        the values go as the network's strings, P1 PM10 and P2 PM2.5, once
        every 145 s at most, whatever the timer; each port is a node."""
        shutil.rmtree(self.path("maps-state"), ignore_errors=True)
        status, said, got = self.post("sensorcommunity")
        self.assertEqual((status, [g["status"] for g in got]), (1, [403]))
        node = said.split()[2]
        self.assertRegex(node, "^raspi-[0-9a-f]{16}$")
        self.assertEqual(said, "pmsensor-sensorcommunity: node %s is not registered: register it "
                         "at https://devices.sensor.community with Sensor Board raspi and Sensor "
                         "ID %s (the server said: Node not found in database.)\n" % (node, node[6:]))
        self.maps.nodes.add(node)
        status, said, got = self.post("sensorcommunity")
        self.assertEqual((status, said), (0, ""))
        self.assertEqual([(g["status"], g["node"], g["pin"], g["software_version"], g["values"])
                          for g in got], [(201, node, "1", "pmsensor-1.0.0",
                                           {"P1": "45.6", "P2": "12.3"})])
        # (143 s back leaves a second or two for the runs between)
        for moved, pushed in ((0, False), (143, False), (2, True), (-1000, True)):
            if moved:
                self.backdate("ttyS0", "pushed", moved)
            status, said, got = self.post("sensorcommunity", age=moved % 7)
            self.assertEqual((status, said, len(got)), (0, "", int(pushed)), moved)
        other = self.post("sensorcommunity", port="ttyUSB1")[1].split()[2]
        self.assertNotIn(other, (node, "raspi-"))
        # A Raspberry Pi (its device tree's model, in a folder mounted over
        # /sys/firmware) is named by its serial number for the port the
        # package was built for: the device tree's, else /proc/cpuinfo's
        # (a file mounted over it); none (a 32-bit kernel's zeros), another
        # board or another port, the hand-off's own id.
        if os.geteuid() != 0 or subprocess.run(["unshare", "--mount", "true"]).returncode:
            self.skipTest("mounting over /proc/cpuinfo needs root")
        pi = "Raspberry Pi 4 Model B Rev 1.4"
        for model, tree, serial, built, port, expected in (
                (pi, "10000000abcdef12", "", None, "ttyS0", "raspi-10000000abcdef12"),
                (pi, None, "00000000abcdef12", "serial0", "serial0", "raspi-00000000abcdef12"),
                (pi, "10000000abcdef12", "", "serial0", "ttyS0", node),
                (pi, None, "0000000000000000", None, "ttyS0", node),
                ("Another board", "10000000abcdef12", "10000000abcdef12", None, "ttyS0", node)):
            shutil.rmtree(self.path("firmware"), ignore_errors=True)
            for name, value in (("model", model), ("serial-number", tree)):
                if value:
                    write(self.path("firmware/devicetree/base/" + name), value + "\0")
            cpuinfo = write(self.path("cpuinfo"), "processor\t: 0\nHardware\t: BCM2835\n"
                            "Serial\t\t: %s\nModel\t\t: %s\n" % (serial, model))
            env = dict(self.kept("pi-state"), **({"PMSENSOR_DEFAULT_PORT": built} if built else {}))
            status, said, got = self.post("sensorcommunity", port=port, env=env, prefix=[
                "unshare", "--mount", "sh", "-c", 'mount --bind "$0" /proc/cpuinfo && '
                'mount --bind "$1" /sys/firmware && shift && exec "$@"', cpuinfo,
                self.path("firmware")])
            self.assertEqual(got[0]["node"], expected, (model, tree, serial, built, port, said))
            shutil.rmtree(self.path("pi-state"))

    def test_opensensemap_kept_while_down(self):
        """Each reading with its own time; while the server is away (refused,
        its 5xx) readings are kept, and go once, in order, when it
        answers; a port posts once in 10 s at most, keeping the rest."""
        shutil.rmtree(self.path("maps-state"), ignore_errors=True)
        sent, self.taken = [], []

        def measured(got):
            """Each reading's time, its two measurements checked."""
            pairs = [m for g in got for m in g["measurements"]]
            self.assertEqual([m[:2] for m in pairs], [(PM25_ID, "12.3"), (PM10_ID, "45.6")] *
                             (len(pairs) // 2))
            self.assertEqual([m[2] for m in pairs[::2]], [m[2] for m in pairs[1::2]])
            return [m[2] for m in pairs[::2]]
        status, said, got = self.post("opensensemap", age=110)
        self.assertEqual((status, said, [g["status"] for g in got]), (0, "", [201]))
        sent += measured(got)
        created = got[0]["measurements"][0][2]
        self.assertEqual(got[0]["measurements"], [(PM25_ID, "12.3", created),
                                                  (PM10_ID, "45.6", created)])
        self.assertEqual(created, time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(self.taken[0])))
        url = "https://127.0.0.1:%d" % self.maps.port
        self.addCleanup(self.answering)
        for age, kept, state, message in ((100, 1, "stopped", "Failed to connect"),
                                          (90, 2, "stopped", "Failed to connect"),
                                          (80, 3, "error", "Service Unavailable")):
            self.maps.stop()
            if state != "stopped":
                self.maps.mode = state
                self.maps.start()
            self.backdate("ttyS0", "posted", 10)
            status, said, got = self.post("opensensemap", age=age)
            self.assertEqual(status, 1, said)
            self.assertRegex(said, r"^pmsensor-opensensemap: cannot post to %s: .*%s.* \(readings "
                             r"kept for the next run: %d\)\n$" % (url, message, kept))
        self.answering()
        self.backdate("ttyS0", "posted", 10)
        status, said, got = self.post("opensensemap", age=60)
        self.assertEqual((status, said, len(got)), (0, "", 1))
        sent += measured(got)
        # Within 10 s of the last post: kept for the next.
        self.assertEqual(self.post("opensensemap", age=50), (0, "", []))
        self.backdate("ttyS0", "posted", 10)
        got = self.post("opensensemap", age=40)[2]
        sent += measured(got)
        self.assertEqual(sent, [time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(t))
                                for t in self.taken])
        # A refusal: the server's message, nothing kept for it; the box's
        # token on no command line.
        for extra, message in (
                ("OPENSENSEMAP_TOKEN=wrong\n", "Box access token not valid!"),
                ("OPENSENSEMAP_PM10_SENSOR=%s\n" % PM10_ID2,
                 "Measurement for sensor with id %s does not belong to box" % PM10_ID2)):
            self.backdate("ttyS0", "posted", 10)
            status, said, got = self.post("opensensemap", settings=self.maps_settings(extra))
            self.assertEqual((status, said), (1, "pmsensor-opensensemap: refused by %s: %s "
                                                 "(readings not kept: 1)\n" % (url, message)))
            self.assertEqual(os.path.getsize(self.path("maps-state/ttyS0/queue")), 0)
        with open(self.path("cmdlines")) as f:
            self.assertNotIn(TOKEN, f.read())

    def test_opensensemap_bound(self):
        """A day of readings kept at most, the oldest dropped first; they go
        2,500 measurements a request, in order, each once; lines a broken
        write left (a time past any clock, half a line) are passed over."""
        shutil.rmtree(self.path("maps-state"), ignore_errors=True)
        os.makedirs(self.path("maps-state/ttyS0"))
        start = int(time.time()) - 100000
        write(self.path("maps-state/ttyS0/queue"),
              "".join("%d %d.5 %d.0\n" % (start + 60 * i, i % 100, i % 7) for i in range(1445)) +
              "99999999999999999999 1.0 2.0\n%d 1.\n" % start)
        status, said, got = self.post("opensensemap", age=1)  # the next's a second later
        self.assertEqual((status, said), (0, "pmsensor-opensensemap: warning: the 8 oldest "
                                             "readings kept dropped (1,440 at most)\n"))
        self.backdate("ttyS0", "posted", 10)
        got += self.post("opensensemap")[2]
        self.assertEqual([len(g["measurements"]) for g in got], [2500, 378])
        times = [m[2] for g in got for m in g["measurements"][::2]]
        self.assertEqual(times[0], time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(start + 480)))
        self.assertEqual((len(set(times)), times), (1439, sorted(times)))
        self.assertEqual(os.path.getsize(self.path("maps-state/ttyS0/queue")), 0)

    def test_map_settings(self):
        """Each port's own box (KEY@PORT, wherever it stands, for a port
        whose name holds a "="); the CA from a credential in a by-id
        instance's folder; the other hand-offs' settings passed over; what the
        hand-offs cannot use refused by key and reason, never shown."""
        shutil.rmtree(self.path("maps-state"), ignore_errors=True)
        with open(self.maps_settings()) as f:
            settings = write(self.path("maps-ports"), "".join(
                "%s@a=b=%s\n" % pair for pair in (
                    ("OPENSENSEMAP_BOX", BOX2), ("OPENSENSEMAP_PM25_SENSOR", PM25_ID2),
                    ("OPENSENSEMAP_PM10_SENSOR", PM10_ID2), ("OPENSENSEMAP_TOKEN", ""))) +
                "OPENSENSEMAP_BOX@ttyS7=%s\n" % BOX2 + f.read())
        # (the settings' own CA did not sign the stand-in's certificate)
        credentials = self.path("credentials/pmsensor-opensensemap@serial-by\\x2did.service")
        os.makedirs(credentials, exist_ok=True)
        shutil.copy(self.path("tls/ca.pem"), os.path.join(credentials, "cafile"))
        with open(settings) as f:
            wrong_ca = write(self.path("maps-wrong-ca"), f.read().replace("tls/ca.pem",
                                                                          "tls/wrong-ca.pem"))
        for port, box, given, env in (
                ("ttyS0", BOX, settings, None), ("a=b", BOX2, settings, None),
                ("serial/by-id", BOX, wrong_ca, dict(self.kept("maps-state"),
                                                     CREDENTIALS_DIRECTORY=credentials))):
            status, said, got = self.post("opensensemap", port=port, settings=given, env=env)
            self.assertEqual((status, said, [(g["status"], g["box"]) for g in got]),
                             (0, "", [(201, box)]), port)
        with open(settings) as f:
            maps = f.read().replace("MQTT_HOST=elsewhere\n", "")
        got = self.received(["ttyAMA0"], "pmsensor/#", settings=self.settings(extra=maps))
        self.assertEqual(len(got), 1)
        for script, extra, key in (
                ("sensorcommunity", "SENSORCOMMUNITY_URL=http://x.org\n", "SENSORCOMMUNITY_URL"),
                ("sensorcommunity", "SENSORCOMMUNITY_URL=https://bad host\n", "SENSORCOMMUNITY_URL"),
                ("sensorcommunity", "SENSORCOMMUNITY_PIN=7\n", "SENSORCOMMUNITY_PIN"),
                ("sensorcommunity", "SENSORCOMMUNITY_CAFILE=/none\n", "SENSORCOMMUNITY_CAFILE"),
                ("opensensemap", 'OPENSENSEMAP_TOKEN=a"b\n', "OPENSENSEMAP_TOKEN"),
                ("opensensemap", "OPENSENSEMAP_TOKEN=%s\r\n" % TOKEN, "OPENSENSEMAP_TOKEN"),
                ("opensensemap", "OPENSENSEMAP_BOX=../me\n", "OPENSENSEMAP_BOX"),
                ("opensensemap", "OPENSENSEMAP_PM10_SENSOR=\n", "OPENSENSEMAP_PM10_SENSOR")):
            status, said, got = self.post(script, settings=self.maps_settings(extra))
            self.assertEqual((status, len(said.splitlines()), got), (1, 1, []), said)
            self.assertTrue(said.startswith("pmsensor-%s: %s" % (script, key)) or
                            "'%s'" % key in said, said)
            for shown in ("x.org", "bad host", "a\"b", TOKEN, "../me"):
                self.assertNotIn(shown, said)

if __name__ == "__main__":
    if not all(shutil.which(e) for e in ENGINES):
        print("skipped: needs mosquitto, mosquitto-clients, prometheus-node-exporter, openssl, "
              "curl and systemd")
        sys.exit(77)
    unittest.main()
